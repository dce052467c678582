#!/usr/bin/env bash
packages="cmake ninja-build g++ python3 ser2net sredird socat wine wine64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64"
# The programs on a remote port (rfc2217://127.0.0.1:PORT): ser2net and sredird serve
# pseudo-terminals on the loopback, and tests/remote/remote_check.py, holding each pty's master end,
# checks what the remote line carries: tessik's bursts byte for byte, wendro's and kadrel's streams
# at the line rate of their settings, kadrel's report of a returned stream, lorvel's refusal, the
# failures (bad URLs, nobody listening, a server that does not serve), and tessik.exe under Wine.
# Usage: tests/remote/run.sh [build dir, default build/release]; the Windows build is build/windows.
# Run from anywhere as root (it installs what is missing). Ends with `remote: N passed, M failed`.
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/release}

fail() { printf 'remote: FAILED: %s\n' "$*" >&2; exit 1; }

scratch=$(mktemp -d /tmp/serial-tools-remote.XXXXXX)
driver= wineboot= policy=
# Every process the checks start leads a process group of its own; remote_check.py lists them in
# $REMOTE_CHECK_PIDS and ends them itself, so the list only matters when it was stopped or killed.
cleanup() {
  [ -n "$policy" ] && rm -f "$policy"
  [ -n "$driver" ] && kill -TERM "$driver" 2>/dev/null && sleep 1
  [ -n "$wineboot" ] && kill -TERM "$wineboot" 2>/dev/null
  if [ -s "$scratch/pids" ]; then
    while read -r group; do kill -KILL -- "-$group" 2>/dev/null; done <"$scratch/pids"
  fi
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

missing=$(for p in $packages; do dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null |
  grep -q 'install ok installed' || echo "$p"; done)
if [ -n "$missing" ]; then
  # ser2net's package would start its service, whose own configuration serves /dev/ttyS0, the
  # machine's console: a policy that refuses every service start holds while it is installed.
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy"
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq &&
    apt-get install -y -qq --no-install-recommends $missing </dev/null >/dev/null ||
    fail "could not install $missing"
  case " $missing " in
    *" ser2net "*) systemctl disable ser2net >/dev/null 2>&1 ;;  # nor at the next boot
  esac
  [ -n "$policy" ] && rm -f "$policy" && policy=
fi

# Build what is missing or stale: the four Linux programs, and tessik.exe for Windows.
if [ ! -f "$build/CMakeCache.txt" ]; then
  [ "$build" = build/release ] || fail "$build is not a configured build folder"
  cmake --preset tools </dev/null >/dev/null || fail "cmake --preset tools"
fi
nice cmake --build "$build" -j2 --target lorvel tessik wendro kadrel </dev/null >/dev/null ||
  fail "building the programs in $build"
if [ ! -f build/windows/CMakeCache.txt ]; then
  cmake --preset windows </dev/null >/dev/null || fail "cmake --preset windows"
fi
nice cmake --build --preset windows -j2 --target tessik </dev/null >/dev/null ||
  fail "building tessik.exe in build/windows"

# A fresh Wine prefix, made while the Linux programs run (at a lower priority: their streams are
# paced in real time); its status lands in wine-ready.
. tests/windows/wine_prefix.sh
export REMOTE_CHECK_PIDS="$scratch/pids" REMOTE_CHECK_WINE_READY="$scratch/wine-ready"
( renice -n 10 -p "$BASHPID" >/dev/null
  (fresh_wine_prefix "$scratch/prefix") >"$scratch/wineboot.log" 2>&1
  echo $? >"$REMOTE_CHECK_WINE_READY" ) &
wineboot=$!
export WINEPREFIX="$scratch/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

python3 tests/remote/remote_check.py "$build" build/windows </dev/null &
driver=$!
wait "$driver"
status=$?
driver=
exit "$status"
