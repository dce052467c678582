#!/usr/bin/env bash
# The one install step: the Debian packages every test stage needs, installed when missing, as
# root. Usage: bash tests/install.sh [--update] [STAGE...]   (no stage: every stage)
# Stages: format release sanitize sim windows arm arm64 armhf packages vm vm-arm64 fuzz remote.
# When every package is installed it touches neither apt nor the network. Otherwise it adds the
# foreign architectures (arm64, armhf) the packages need, refreshes the package lists (three tries
# about 30 s apart), and installs (three tries). A failed refresh is not fatal by itself: the lists
# at hand may do. A package that still cannot be had fails the run, named. --update refreshes the
# lists even when nothing is missing. Installing never starts a service: without a policy-rc.d
# one that refuses every start is put in place for the install and removed after; a newly
# installed ser2net is not started at boot either.
# SERIAL_TOOLS_EXTRA_PACKAGES (space-separated) adds packages, as tests/install_check.sh does.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
apt_who=install
. "$here/apt.sh"

all_stages=(format release sanitize sim windows arm packages vm vm-arm64 fuzz remote)

# arm_packages ARCH: the cross g++ and the ARM C and C++ runtimes (dpkg-shlibdeps reads a package's
# dependencies from them; qemu-user runs the programs with them), with qemu-user and binfmt_misc.
arm_packages() {
  local triplet
  case $1 in
    arm64) triplet=aarch64-linux-gnu ;;
    armhf) triplet=arm-linux-gnueabihf ;;
  esac
  echo cmake ninja-build libgtest-dev googletest dpkg-dev qemu-user qemu-user-static binfmt-support \
    "g++-$triplet" "libc6:$1" "libstdc++6:$1" "libgcc-s1:$1"
}

stage_packages() {
  case $1 in
    format) echo git clang-format ;;
    release | sanitize) echo cmake ninja-build g++ libgtest-dev googletest ;;
    # The programs on the simulated port; their waveforms decoded by sigrok-cli.
    sim) echo cmake ninja-build g++ libgtest-dev googletest sigrok-cli ;;
    windows) echo cmake ninja-build python3 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
      googletest wine wine64 ;;
    arm64 | armhf) arm_packages "$1" ;;
    arm) arm_packages arm64 && arm_packages armhf ;;
    # The packages take their time from git; their programs run natively, in qemu-user and in Wine.
    packages) echo cmake ninja-build g++ git python3 dpkg-dev lintian man-db strip-nondeterminism wine wine64 \
      && arm_packages arm64 && arm_packages armhf ;;
    vm) echo qemu-system-x86 busybox-static cpio gzip xz-utils cmake make g++ python3 ;;
    vm-arm64) echo qemu-system-arm cpio gzip xz-utils python3 && arm_packages arm64 ;;
    fuzz) echo cmake ninja-build clang libfuzzer-14-dev ;;
    # Remote serial ports through ser2net and sredird, with socat on the other end.
    remote) echo cmake ninja-build g++ python3 ser2net sredird socat ;;
    *) return 1 ;;
  esac
}

update=
stages=()
for argument in "$@"; do
  case $argument in
    --update) update=yes ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' && exit 0 ;;
    *) stages+=("$argument") ;;
  esac
done
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")

wanted=()
for stage in "${stages[@]}"; do
  list=$(stage_packages "$stage") || { apt_say "no such stage: $stage (stages: ${all_stages[*]} arm64 armhf)"; exit 2; }
  read -ra packages <<<"${list//$'\n'/ }"
  wanted+=("${packages[@]}")
done
read -ra extra <<<"${SERIAL_TOOLS_EXTRA_PACKAGES:-}"
wanted+=("${extra[@]}")
mapfile -t wanted < <(printf '%s\n' "${wanted[@]}" | sort -u)

# missing: the wanted packages dpkg does not have installed, one a line. A name without an
# architecture means this machine's own (or an architecture-independent package).
missing() {
  dpkg-query -W -f '${Package} ${Architecture} ${db:Status-Status}\n' 2>/dev/null |
    awk -v native="$(dpkg --print-architecture)" -v wanted="${wanted[*]}" '
      $3 == "installed" { have[$1 ":" $2] = 1; if ($2 == native || $2 == "all") have[$1] = 1 }
      END { n = split(wanted, w, " "); for (i = 1; i <= n; i++) if (!(w[i] in have)) print w[i] }'
}
mapfile -t need < <(missing)
if [ ${#need[@]} -eq 0 ] && [ -z "$update" ]; then
  echo "install: all ${#wanted[@]} packages of ${stages[*]} are installed"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  apt_say "must run as root to install: ${need[*]}"
  exit 1
fi

# The ARM runtimes come from foreign architectures that dpkg must know before the lists name them.
for package in "${need[@]}"; do
  case $package in
    *:arm64 | *:armhf)
      arch=${package#*:}
      if [ "$arch" != "$(dpkg --print-architecture)" ] &&
         ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        echo "install: adding the $arch architecture"
        dpkg --add-architecture "$arch"
      fi
      ;;
  esac
done

if ! apt_update; then
  if [ ${#need[@]} -eq 0 ]; then
    echo "install: apt-get update failed, but every package needed is installed; going on"
    exit 0
  fi
  echo "install: apt-get update failed; trying the package lists at hand for: ${need[*]}"
fi
[ ${#need[@]} -gt 0 ] || { echo "install: package lists refreshed; all ${#wanted[@]} packages installed"; exit 0; }

# A package's maintainer scripts must not start its service here (ser2net's would serve the
# machine's console port): invoke-rc.d asks policy-rc.d, and 101 means "not allowed".
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  trap 'rm -f "$policy"' EXIT
  printf '#!/bin/sh\n# Put here by tests/install.sh while it installs: no service starts.\nexit 101\n' >"$policy"
  chmod 755 "$policy"
fi

echo "install: installing ${need[*]}"
started=$(date +%s)
apt_retry "apt-get install" apt-get install -y -q --no-install-recommends \
  -o DPkg::Lock::Timeout=600 "${need[@]}" || true

mapfile -t still < <(missing)
if [ ${#still[@]} -gt 0 ]; then
  for package in "${still[@]}"; do
    candidate=$(apt-cache policy "$package" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
      apt_say "FAILED: cannot install $package: no configured archive offers it"
    else
      apt_say "FAILED: cannot install $package (candidate $candidate): see apt's output above"
    fi
  done
  exit 1
fi
# policy-rc.d kept ser2net from starting now; its package still enables it for the next boot, where
# its default configuration would take the console port. The tests start it themselves, with a
# configuration of their own.
for package in "${need[@]}"; do
  if [ "$package" = ser2net ]; then
    deb-systemd-helper disable ser2net.service >/dev/null 2>&1 || true
    update-rc.d ser2net disable >/dev/null 2>&1 || true
    echo "install: ser2net's service disabled at boot"
  fi
done
echo "install: installed ${#need[@]} packages in $(($(date +%s) - started)) s"
