#!/usr/bin/env bash
# The four programs on the Linux kernel's own serial drivers: a 16550 on the 8250 driver and QEMU's
# FTDI adapter on ftdi_sio, in a QEMU machine booted from Debian's packaged kernel (downloaded and
# unpacked, never installed) and a busybox initramfs holding the statically linked programs.
# USB serial chips QEMU has no model of (CH341, CP210x, PL2303, an Arduino board's bridge) are posed
# by usb_chip.c on FunctionFS gadgets behind dummy_hcd, so that their own drivers bind to them.
# drive.py boots it, plays the scenarios and checks them. Then remote.sh plays tessik, wendro and
# kadrel through ser2net in a machine of its own.
# Usage: bash tests/vm/run.sh          everything
#        bash tests/vm/run.sh chips    the posed USB chips alone
#        bash tests/vm/run.sh remote   the programs through ser2net alone
set -euo pipefail
cd "$(dirname "$0")/../.."
part=${1:-all}
case $part in
  all | chips) ;;
  remote) exec bash tests/vm/remote.sh ;;
  *) echo "usage: bash tests/vm/run.sh [chips|remote]" >&2 && exit 2 ;;
esac
out=build/vm
started=$(date +%s.%N)

bash tests/install.sh vm

# The kernel the linux-image-amd64 package currently stands for, its USB serial drivers and the
# gadget side that poses the chips (dependencies before their users, the order they load in).
. tests/vm/kernel.sh
fetch_kernel linux-image-amd64 "$out/kernel" usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio \
  configfs udc-core libcomposite usb_f_fs dummy_hcd ch341 cp210x pl2303 cdc-acm

# The programs, statically linked for the initramfs, in a build folder of their own; VM_SOURCE
# names another tree to build them from (an older commit, to see a scenario fail without a change).
build=$out/build${VM_SOURCE:+-other}
cmake -S "${VM_SOURCE:-.}" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSERIAL_TOOLS_TESTS=OFF \
  -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
cmake --build "$build" -j2 >/dev/null

root=$out/initramfs
rm -rf "$root" && mkdir -p "$root/bin" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev" "$root/tmp"
cp /bin/busybox "$root/bin/busybox"
cp tests/vm/init "$root/init" && chmod +x "$root/init"
cp "$kernel"/*.ko "$root/lib/modules/"
for program in lorvel tessik wendro kadrel; do cp "$build/$program/$program" "$root/bin/"; done
gcc -static -O2 -Wall -Wextra -o "$root/bin/modem_loop" tests/vm/modem_loop.c
gcc -static -O2 -Wall -Wextra -pthread -o "$root/bin/usb_chip" tests/vm/usb_chip.c
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$out/initramfs.cpio.gz"
echo "vm: kernel $kernel_package, initramfs $(du -k "$out/initramfs.cpio.gz" | cut -f1) KiB"

status=0
VM_STAGE_STARTED=$started python3 tests/vm/drive.py "$kernel/vmlinuz" "$out/initramfs.cpio.gz" "$out/run" "$part" ||
  status=1
if [ "$part" = all ]; then bash tests/vm/remote.sh || status=1; fi
exit $status
