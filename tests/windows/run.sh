#!/usr/bin/env bash
# The Windows build: cross-compiled with mingw-w64, its tests and the real programs run under
# Wine in a fresh prefix. Run from the repository root as root (CI runs it after the Linux tests).
set -euo pipefail
cd "$(dirname "$0")/../.."

step() { printf '\n==== windows: %s ====\n' "$*"; }
fail() { printf 'windows: FAILED: %s\n' "$*" >&2; exit 1; }

step "install the cross compiler, Wine and the GoogleTest sources"
bash tests/install.sh windows

step "a fresh Wine prefix"
scratch=$(mktemp -d /tmp/serial-tools-wine.XXXXXX)
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
. tests/windows/wine_prefix.sh
fresh_wine_prefix "$scratch/prefix"
echo "prefix ready: $WINEPREFIX ($(wine --version 2>/dev/null))"

step "configure and build the windows preset"
cmake --preset windows </dev/null
cmake --build --preset windows -j2 </dev/null

programs=(build/windows/lorvel/lorvel.exe build/windows/tessik/tessik.exe
          build/windows/wendro/wendro.exe build/windows/kadrel/kadrel.exe)

step "the programs import only DLLs that every Windows system has"
# The C and C++ runtimes are linked in (-static); a libstdc++-6.dll, libgcc_s_seh-1.dll or
# libwinpthread-1.dll here would make the .exe fail on a machine without MinGW.
system_dlls='^(kernel32|msvcrt|user32|advapi32|ws2_32|ntdll|shell32|ole32|setupapi|api-ms-win-.*)\.dll$'
for exe in "${programs[@]}" build/windows/tests/*.exe; do
  [ -f "$exe" ] || fail "$exe was not built"
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  [ -n "$dlls" ] || fail "$exe: no imports found"
  while read -r dll; do
    echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$system_dlls" || fail "$exe imports $dll"
  done <<<"$dlls"
  printf '%-40s %s\n' "$exe" "$(echo $dlls)"
done

# Both test steps run even when the first fails, so one run shows every failure.
failed_steps=()

step "bench and port layer tests under Wine"
ctest --preset windows </dev/null || failed_steps+=("ctest under Wine")

step "the real programs under Wine on a pseudo-terminal as COM5"
python3 tests/windows/wine_smoke.py build/windows </dev/null || failed_steps+=("smoke tests of the programs")

if [ ${#failed_steps[@]} -ne 0 ]; then
  fail "$(printf '%s; ' "${failed_steps[@]}")"
fi
step "windows checks passed"
