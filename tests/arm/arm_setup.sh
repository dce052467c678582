# Sourced by the scripts that build or run the ARM programs on this (amd64) machine.
# arm_setup ARCH...: installs Debian's cross g++, qemu-user, Ninja, and for each Debian
# architecture (arm64, armhf) its C and C++ runtimes (dpkg-shlibdeps reads the dependencies of
# the package from them; qemu-user runs the programs with them), then has binfmt_misc hand that
# architecture's programs to qemu-user.

# The GNU triplet and the qemu-user program of a Debian architecture.
arm_triplet() { case $1 in arm64) echo aarch64-linux-gnu ;; armhf) echo arm-linux-gnueabihf ;; esac; }
arm_qemu() { case $1 in arm64) echo qemu-aarch64 ;; armhf) echo qemu-arm ;; esac; }

arm_setup() {
  local arch packages=(cmake ninja-build libgtest-dev googletest dpkg-dev qemu-user qemu-user-static
                       binfmt-support)
  for arch in "$@"; do
    [ -n "$(arm_triplet "$arch")" ] || { echo "arm: no such architecture: $arch" >&2; return 1; }
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
    packages+=("g++-$(arm_triplet "$arch")" "libc6:$arch" "libstdc++6:$arch" "libgcc-s1:$arch")
  done
  local need=() package
  for package in "${packages[@]}"; do
    dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || need+=("$package")
  done
  if [ ${#need[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null >/dev/null
  fi
  # The test programs start the tools by path: the kernel must know to run ARM programs in qemu.
  if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
    mount binfmt_misc -t binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  local entry
  for arch in "$@"; do
    entry=/proc/sys/fs/binfmt_misc/$(arm_qemu "$arch")
    [ "$(head -1 "$entry" 2>/dev/null)" = enabled ] || update-binfmts --enable "$(arm_qemu "$arch")"
    [ "$(head -1 "$entry")" = enabled ] ||
      { echo "arm: binfmt_misc does not hand $arch programs to qemu" >&2; return 1; }
  done
}
