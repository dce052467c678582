# Sourced by the scripts that build or run the ARM programs on this (amd64) machine.
# arm_setup ARCH...: has tests/install.sh install Debian's cross g++, qemu-user, Ninja, and for each
# Debian architecture (arm64, armhf) its C and C++ runtimes (dpkg-shlibdeps reads the dependencies
# of the package from them; qemu-user runs the programs with them), then has binfmt_misc hand that
# architecture's programs to qemu-user.

# The GNU triplet and the qemu-user program of a Debian architecture.
arm_triplet() { case $1 in arm64) echo aarch64-linux-gnu ;; armhf) echo arm-linux-gnueabihf ;; esac; }
arm_qemu() { case $1 in arm64) echo qemu-aarch64 ;; armhf) echo qemu-arm ;; esac; }

arm_setup() {
  local arch
  for arch in "$@"; do
    [ -n "$(arm_triplet "$arch")" ] || { echo "arm: no such architecture: $arch" >&2; return 1; }
  done
  bash "$(dirname "${BASH_SOURCE[0]}")/../install.sh" "$@"
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
