#!/usr/bin/env bash
# The arm64 build on a real kernel: Debian's arm64 kernel (downloaded and unpacked, never
# installed) in QEMU's arm64 `virt` machine, with a busybox initramfs holding the programs and the
# pty tests of build/arm64 and the ARM C and C++ runtimes they link. The guest's console is a
# virtio console, so the machine's PL011 UART is free for the programs. drive_arm64.py boots it,
# runs the pty tests and steps wendro through its rows on the PL011. Usage: bash tests/vm/arm64.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build/vm-arm64
started=$(date +%s.%N)
. tests/arm/arm_setup.sh
. tests/vm/kernel.sh

bash tests/install.sh vm-arm64
arm_setup arm64

# The virtio console's drivers are modules in Debian's arm64 kernel; the PL011's is built in.
modules=(virtio_mmio virtio_console)
fetch_kernel linux-image-arm64:arm64 "$out/kernel" "${modules[@]}"
# busybox for arm64, from Debian's busybox-static:arm64, unpacked, never installed (it would
# replace this machine's own); its .deb is cached like the kernel's.
if [ ! -x "$out/busybox" ]; then
  rm -rf "$out/busybox.unpacked" && mkdir -p "$out/busybox.unpacked"
  deb=$(fetch_deb busybox-static:arm64 "$out/busybox.unpacked")
  dpkg-deb -x "$deb" "$out/busybox.unpacked"
  cp "$out/busybox.unpacked/bin/busybox" "$out/busybox"
  rm -rf "$out/busybox.unpacked"
fi

# The release build tests/arm/run.sh made and tested (built here if it is missing). The pty tests start
# the programs by the paths they were built at, so the initramfs holds them at the same paths.
CMAKE_BUILD_PARALLEL_LEVEL=2 nice cmake --preset arm64 >/dev/null
CMAKE_BUILD_PARALLEL_LEVEL=2 nice cmake --build --preset arm64 --target pty_tests >/dev/null
build=$(realpath build/arm64)

root=$out/initramfs
rm -rf "$root" && mkdir -p "$root/bin" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev" "$root/tmp"
cp "$out/busybox" "$root/bin/busybox"
cp tests/vm/init "$root/init" && chmod +x "$root/init"
for module in "${modules[@]}"; do cp "$kernel/$module.ko" "$root/lib/modules/"; done
mkdir -p "$root$build/tests" "$root$build/man"
cp "$build/tests/pty_tests" "$root$build/tests/"
# The built manual pages, which the help test holds --help against.
cp "$build"/man/*.1 "$root$build/man/"
for program in lorvel tessik wendro kadrel; do
  mkdir -p "$root$build/$program"
  cp "$build/$program/$program" "$root$build/$program/"
  ln -s "$build/$program/$program" "$root/bin/$program"
done
# Debian's arm64 C library and C++ runtime, the ones the programs ran with under qemu-user.
mkdir -p "$root/lib/aarch64-linux-gnu"
cp -L /lib/ld-linux-aarch64.so.1 "$root/lib/"
for library in libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1; do
  cp -L "/lib/aarch64-linux-gnu/$library" "$root/lib/aarch64-linux-gnu/"
done
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out/initramfs.cpio.gz"
echo "vm-arm64: kernel $kernel_package, initramfs $(du -k "$out/initramfs.cpio.gz" | cut -f1) KiB"

VM_STAGE_STARTED=$started PTY_TESTS=$build/tests/pty_tests \
  exec python3 tests/vm/drive_arm64.py "$kernel/vmlinuz" "$out/initramfs.cpio.gz" "$out/run"
