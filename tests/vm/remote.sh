#!/usr/bin/env bash
# tessik, wendro and kadrel on a remote port: Debian's ser2net runs in the QEMU machine and serves
# its 16550 on a TCP port that QEMU forwards to 127.0.0.1 on this host, where the programs run with
# rfc2217://127.0.0.1:PORT. The same programs also run in the guest on the same 16550, for
# comparison. remote.py boots the machine, plays both and replays QEMU's trace of the UART.
# Usage: bash tests/vm/remote.sh [HOST_BUILD]
#   HOST_BUILD: a build folder whose tessik/, wendro/ and kadrel/ hold the programs to run on this
#   host (by default the stage's own static build, the same programs the guest runs)
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build/vm
started=$(date +%s.%N)

need=()
for package in qemu-system-x86 busybox-static ser2net cpio cmake make g++ python3; do
  dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || need+=("$package")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# A kernel folder of its own: the console on a virtio console, so that the only 16550 the guest
# writes to is the one under test, and the e1000 network card. (fetch_kernel fetches afresh
# whenever a module is missing, so a folder shared with run.sh's module list would swing between
# the two.)
. tests/vm/kernel.sh
fetch_kernel linux-image-amd64 "$out/remote-kernel" virtio_ring virtio virtio_pci_modern_dev \
  virtio_pci_legacy_dev virtio_pci virtio_console e1000

# The programs, statically linked, in the same build folder as run.sh's.
cmake -S . -B "$out/build" -DCMAKE_BUILD_TYPE=Release -DSERIAL_TOOLS_TESTS=OFF \
  -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
cmake --build "$out/build" -j2 >/dev/null
host_build=$(realpath "${1:-$out/build}")

root=$out/remote-initramfs
rm -rf "$root" && mkdir -p "$root/bin" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev" "$root/tmp"
cp /bin/busybox "$root/bin/busybox"
cp tests/vm/init "$root/init" && chmod +x "$root/init"
cp "$kernel"/*.ko "$root/lib/modules/"
for program in tessik wendro kadrel; do cp "$out/build/$program/$program" "$root/bin/"; done
# ser2net as Debian ships it, with the gensio plugins its configuration names (tcp, telnet,
# serialdev) and every library these load, at the paths the host's dynamic loader finds them.
plugins=$(dirname "$(dpkg -L libgensio4 | grep '/libgensio_telnet\.so$')")
files=(/usr/sbin/ser2net "$plugins"/libgensio_net.so "$plugins"/libgensio_telnet.so "$plugins"/libgensio_serialdev.so)
libraries=$(for file in "${files[@]}"; do ldd "$file"; done |
  sed -n 's/^.*=> \(\/[^ ]*\) .*$/\1/p; s/^[[:space:]]*\(\/[^ ]*\) .*$/\1/p' | sort -u)
for file in "${files[@]}" $libraries; do
  mkdir -p "$root$(dirname "$file")" && cp -L "$file" "$root$file"
done
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out/remote-initramfs.cpio.gz"
echo "vm remote: kernel $kernel_package, initramfs $(du -k "$out/remote-initramfs.cpio.gz" | cut -f1) KiB"

VM_STAGE_STARTED=$started exec python3 tests/vm/remote.py "$kernel/vmlinuz" "$out/remote-initramfs.cpio.gz" \
  "$out/remote-run" "$host_build"
