# Sourced by the QEMU machine stages. fetch_kernel META DIR MODULE...: gets the kernel that
# Debian's metapackage META (linux-image-amd64, linux-image-arm64:arm64) currently stands for and
# unpacks it, never installing it, into DIR/<package>/: vmlinuz and each MODULE.ko, uncompressed.
# Sets kernel_package and kernel (that folder). A kernel unpacked before is used as it is, unless a
# module asked for now is missing from it. The .deb comes through fetch_deb (tests/apt.sh): retried,
# and kept in /var/cache/serial-tools outside the clone, whose copy serves when the archive does not
# answer; the kernel META stood for last is remembered there for when the package lists are gone.
apt_who=vm
. "$(dirname "${BASH_SOURCE[0]}")/../apt.sh"

# kernel_of META: the kernel package META depends on, by the package lists; nothing without lists.
kernel_of() {
  { apt-cache depends "$1" 2>/dev/null || true; } |
    sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1
}

fetch_kernel() {
  local meta=$1 dir=$2 module file deb record last candidates=() candidate
  shift 2
  record=$(apt_cache_dir)/$meta.kernel
  last=$(cat "$record" 2>/dev/null || true)
  candidate=$(kernel_of "$meta")
  if [ -z "$candidate" ]; then
    apt_update || true
    candidate=$(kernel_of "$meta")
  fi
  # The kernel the lists name, then the one fetched last (whose copy the cache holds) should the
  # archive not give the first, or the lists not name one.
  [ -z "$candidate" ] || candidates+=("$candidate")
  [ -z "$last" ] || [ "$last" = "$candidate" ] || candidates+=("$last")
  [ ${#candidates[@]} -gt 0 ] || { apt_say "no kernel package for $meta"; return 1; }
  for kernel_package in "${candidates[@]}"; do
    [ "$kernel_package" = "$candidate" ] ||
      apt_say "using the kernel $meta stood for last, $kernel_package"
    kernel=$dir/${kernel_package%%:*}
    local missing=
    for module in "$@"; do [ -e "$kernel/$module.ko" ] || missing=yes; done
    [ -e "$kernel/vmlinuz" ] && [ -z "$missing" ] && return 0
    rm -rf "$kernel" && mkdir -p "$kernel/unpacked"
    deb=$(fetch_deb "$kernel_package" "$kernel") && break
    deb=
  done
  [ -n "$deb" ] || return 1
  echo "$kernel_package" >"$record"
  dpkg-deb -x "$deb" "$kernel/unpacked"
  cp "$kernel"/unpacked/boot/vmlinuz-* "$kernel/vmlinuz.tmp"
  for module in "$@"; do
    file=$(find "$kernel/unpacked/lib/modules" -name "$module.ko*" | head -1)
    [ -n "$file" ] || { apt_say "$kernel_package has no module $module"; return 1; }
    case $file in
      *.xz) xz -dc "$file" >"$kernel/$module.ko" ;;
      *) cp "$file" "$kernel/$module.ko" ;;
    esac
  done
  rm -rf "$kernel/unpacked" "$kernel"/*.deb
  mv "$kernel/vmlinuz.tmp" "$kernel/vmlinuz"
}
