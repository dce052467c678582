# Sourced by the QEMU machine stages. fetch_kernel META DIR MODULE...: downloads the kernel that
# Debian's metapackage META (linux-image-amd64, linux-image-arm64:arm64) currently stands for and
# unpacks it, never installing it, into DIR/<package>/: vmlinuz and each MODULE.ko, uncompressed.
# Sets kernel_package and kernel (that folder). A kernel fetched before is used as it is, unless a
# module asked for now is missing from it.
fetch_kernel() {
  local meta=$1 dir=$2 module file
  shift 2
  kernel_package=$(apt-cache depends "$meta" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)
  if [ -z "$kernel_package" ]; then
    apt-get update -qq
    kernel_package=$(apt-cache depends "$meta" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)
  fi
  [ -n "$kernel_package" ] || { echo "vm: no kernel package for $meta" >&2; return 1; }
  kernel=$dir/${kernel_package%%:*}
  local missing=
  for module in "$@"; do [ -e "$kernel/$module.ko" ] || missing=yes; done
  [ -e "$kernel/vmlinuz" ] && [ -z "$missing" ] && return 0
  rm -rf "$kernel" && mkdir -p "$kernel/unpacked"
  (cd "$kernel" && apt-get download -qq "$kernel_package" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
  dpkg-deb -x "$kernel"/*.deb "$kernel/unpacked"
  cp "$kernel"/unpacked/boot/vmlinuz-* "$kernel/vmlinuz.tmp"
  for module in "$@"; do
    file=$(find "$kernel/unpacked/lib/modules" -name "$module.ko*" | head -1)
    [ -n "$file" ] || { echo "vm: $kernel_package has no module $module" >&2; return 1; }
    case $file in
      *.xz) xz -dc "$file" >"$kernel/$module.ko" ;;
      *) cp "$file" "$kernel/$module.ko" ;;
    esac
  done
  rm -rf "$kernel/unpacked" "$kernel"/*.deb
  mv "$kernel/vmlinuz.tmp" "$kernel/vmlinuz"
}
