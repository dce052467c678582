#!/usr/bin/env bash
# The packages for colleagues, made with CPack: the Debian packages of the Linux builds (this
# machine's, arm64 and armhf) and the ZIP of the Windows build. Checks that each holds exactly the
# four programs and that the packaged programs run: the usage line with status 1, status 2 for
# arguments that name no port, and a session on the simulated port with status 0.
# Run from the repository root as root after .ci/windows.sh, which builds build/windows and
# installs Wine, and .ci/arm.sh, which builds build/arm64 and build/armhf and installs qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==== packages: %s ====\n' "$*"; }
fail() { printf 'packages: FAILED: %s\n' "$*" >&2; exit 1; }

step "install dpkg-dev (dpkg-shlibdeps computes the Debian package's dependencies)"
export DEBIAN_FRONTEND=noninteractive
if ! command -v dpkg-shlibdeps >/dev/null; then
  apt-get update -qq
fi
apt-get install -y -qq --no-install-recommends cmake make g++ dpkg-dev </dev/null >/dev/null

programs=(lorvel tessik wendro kadrel)
scratch=$(mktemp -d /tmp/serial-tools-packages.XXXXXX)
cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k >/dev/null 2>&1 || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# check_files ARCHIVE PATTERN GOT: GOT, the sorted files the archive holds, one a line, must be the
# four programs, each named by PATTERN (a printf format for the program's name) and nothing else.
check_files() {
  local want
  want=$(printf "$2\n" "${programs[@]}" | sort)
  if [ "$want" != "$3" ]; then
    printf 'want:\n%s\ngot:\n%s\n' "$want" "$3"
    fail "$1 does not hold exactly the four programs"
  fi
  echo "$1 holds exactly:" $3
}

# check_programs DIR SUFFIX [RUNNER...]: runs each program DIR/NAME SUFFIX (through RUNNER, such as
# wine) without an argument, with port arguments that name no port, and on the simulated port with
# keys from a pipe.
check_programs() {
  local dir=$1 suffix=$2 name status out
  shift 2
  for name in "${programs[@]}"; do
    local exe=$dir/$name$suffix
    status=0
    out=$(timeout 120 "$@" "$exe" </dev/null 2>&1 | tr -d '\r') || status=$?
    [ "$status" -eq 1 ] || fail "$exe without an argument: status $status, want 1"
    [ "$out" = "  usage: $name port" ] || fail "$exe without an argument printed '$out'"

    # Only the first character names the port: these are "COMC" and "COM-", which do not exist.
    for argument in COM1 --help; do
      status=0
      out=$(timeout 120 "$@" "$exe" "$argument" </dev/null 2>&1) || status=$?
      [ "$status" -eq 2 ] && [ -z "$out" ] ||
        fail "$exe $argument: status $status and '$out', want 2 and nothing"
    done

    # Keys wait in the pipe until the program reads them; the pause lets each run a while.
    status=0
    case $name in
      tessik) printf '3\nq\n' ;;
      lorvel) sleep 1; printf x ;;
      *) sleep 1; printf q ;;
    esac | timeout 120 "$@" "$exe" sim >"$scratch/out" 2>"$scratch/err" || status=$?
    out=$(tr -d '\r' <"$scratch/out")
    if [ "$status" -ne 0 ] || ! grep -q '^\[sim\] port closed after [0-9]* byte' "$scratch/err"; then
      printf '%s\n' "$out"
      cat "$scratch/err"
      fail "$exe sim: status $status, want 0 and the port closed"
    fi
    case $name in
      tessik)
        [ "$out" = ">>" ] || fail "$exe sim: prompts '$out', want '>>'"
        grep -q '^\[sim\] burst: 3 pulses in' "$scratch/err" || fail "$exe sim: no burst of 3"
        ;;
      wendro) [ "$out" = "   800 Hz" ] || fail "$exe sim: '$out', want the 800 Hz row" ;;
    esac
    echo "ok: $exe: usage line and status 1, COM1 and --help status 2, sim status 0"
  done
}

# check_deb ARCH [RUNNER...]: the one Debian package for ARCH in build/packages: marked ARCH, holding
# the four programs, depending on the C and C++ runtimes, installable here by apt, and its
# programs, unpacked into a scratch root, running (through RUNNER, qemu-user for ARM).
check_deb() {
  local arch=$1 deb debs depends files library
  shift
  debs=(build/packages/serial-tools_*_"$arch".deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "want one $arch .deb, found: ${debs[*]}"
  deb=${debs[0]}
  dpkg-deb --info "$deb"
  dpkg-deb --contents "$deb"
  [ "$(dpkg-deb --field "$deb" Architecture)" = "$arch" ] || fail "$deb is not marked $arch"
  files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
  check_files "$deb" ./usr/bin/%s "$files"
  # The dependencies dpkg-shlibdeps found, names without versions: the C and C++ runtimes at least.
  depends=$(dpkg-deb --field "$deb" Depends | tr ',' '\n' | awk '{ print $1 }')
  for library in libc6 libstdc++6; do
    grep -Fxq "$library" <<<"$depends" || fail "$deb does not depend on $library:" $depends
  done
  # What `apt install ./serial-tools_...deb` would do on this machine, without doing it.
  apt-get install --simulate "./$deb" </dev/null >"$scratch/apt.log" 2>&1 ||
    { cat "$scratch/apt.log"; fail "apt cannot install $deb"; }
  rm -rf "$scratch/root"
  dpkg-deb --extract "$deb" "$scratch/root"
  check_programs "$scratch/root/usr/bin" "" "$@"
  checked+=("$deb")
}
checked=()

step "the Debian package of the Linux build, its packaged programs"
rm -f build/packages/serial-tools_*_"$(dpkg --print-architecture)".deb
cmake --workflow --preset deb
check_deb "$(dpkg --print-architecture)"

# The ARM packages come from the builds .ci/arm.sh made and tested; their programs run in qemu-user.
. .ci/arm_setup.sh
for arch in arm64 armhf; do
  step "the Debian package of the $arch build, its programs under qemu-user"
  [ -f "build/$arch/CMakeCache.txt" ] || fail "no build/$arch: run .ci/arm.sh first"
  rm -f build/packages/serial-tools_*_"$arch".deb
  cpack --preset "$arch"
  check_deb "$arch" "$(arm_qemu "$arch")"
done

step "the ZIP of the Windows build"
[ -f build/windows/CMakeCache.txt ] || fail "no build/windows: run .ci/windows.sh first"
rm -f build/packages/serial-tools-*-win64.zip
cpack --preset windows
zips=(build/packages/serial-tools-*-win64.zip)
[ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || fail "want one .zip, found: ${zips[*]}"
zip=${zips[0]}
top=$(basename "$zip" .zip)
cmake -E tar tvf "$zip"
files=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
check_files "$zip" "$top/bin/%s.exe" "$files"

step "the packaged Windows programs under Wine"
zip_path=$(realpath "$zip")
mkdir "$scratch/zip"
(cd "$scratch/zip" && cmake -E tar xf "$zip_path")
. .ci/wine_prefix.sh
fresh_wine_prefix "$scratch/prefix"
check_programs "$scratch/zip/$top/bin" .exe wine

step "packages checked: ${checked[*]} $zip"
