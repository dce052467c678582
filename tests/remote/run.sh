#!/usr/bin/env bash
# The programs on a remote port (rfc2217://127.0.0.1:PORT): ser2net and sredird serve
# pseudo-terminals on the loopback, and tests/remote/remote_check.py, holding each pty's master end,
# checks what the remote line carries: tessik's bursts byte for byte, wendro's and kadrel's streams
# at the line rate of their settings, kadrel's report of a returned stream, lorvel's refusal, the
# failures (bad URLs, nobody listening, a server that does not serve), wendro's row again after
# ser2net is ended and started anew, and tessik.exe under Wine.
# Usage: tests/remote/run.sh [build dir, default build/release]; the Windows build is build/windows.
# Run from anywhere as root (it installs what is missing). Ends with `remote: N passed, M failed`.
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/release}

fail() { printf 'remote: FAILED: %s\n' "$*" >&2; exit 1; }

scratch=$(mktemp -d /tmp/serial-tools-remote.XXXXXX)
driver= wineboot=
# Every process the checks start leads a process group of its own; remote_check.py lists them in
# $REMOTE_CHECK_PIDS and ends them itself, so the list only matters when it was stopped or killed.
cleanup() {
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

# The shared install step: ser2net, sredird and socat, and the Windows build's tools for the
# tessik.exe check. It never lets ser2net's own service (which serves /dev/ttyS0) start.
bash tests/install.sh remote windows || exit 1

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
