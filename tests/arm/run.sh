#!/usr/bin/env bash
# The ARM builds: cross-compiled for Debian's arm64 and armhf with Debian's cross g++, the whole
# suite run under qemu-user (the tests start the programs themselves, so binfmt_misc hands ARM
# programs to qemu), and each build's Debian package made. Installs what it needs, including the
# ARM C and C++ runtimes that dpkg-shlibdeps reads the package's dependencies from.
# Run from the repository root as root: bash tests/arm/run.sh [arm64|armhf ...] (default: both).
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/arm/arm_setup.sh

architectures=("$@")
[ ${#architectures[@]} -gt 0 ] || architectures=(arm64 armhf)
arm_setup "${architectures[@]}"

export CMAKE_BUILD_PARALLEL_LEVEL=2
for arch in "${architectures[@]}"; do
  started=$(date +%s)
  printf '\n==== arm: %s build, tests under qemu-user, package ====\n' "$arch"
  rm -f "build/packages/serial-tools_"*"_$arch.deb"
  nice cmake --workflow --preset "$arch"
  echo "arm: $arch took $(($(date +%s) - started)) s"
done
