#!/usr/bin/env bash
# The packages for colleagues, made with CPack: the Debian packages of the Linux builds (this
# machine's, arm64 and armhf) and the ZIP of the Windows build. Checks what each holds (the four
# programs; in each .deb their manual pages, the bash completion by each program's name,
# copyright, changelog and README; in the ZIP README.txt and LICENSE.txt, no completion),
# that lintian finds no error or warning in a .deb, that its manual pages render without a
# warning, and that the packaged programs run (ARM ones in qemu-user): the usage line
# with status 1, help and version with status 0, status 2 for an argument that names no port, and
# a session on the simulated port with status 0. Then builds every package again from a second
# clone in another folder, with umask 0002 and another time zone, and checks that each is the same
# bytes as the first (the time in them is the last commit's).
# Run from the repository root as root after tests/windows/run.sh, which builds build/windows and
# installs Wine, and tests/arm/run.sh, which builds build/arm64 and build/armhf and installs qemu-user.
set -euo pipefail
cd "$(dirname "$0")/../.."

step() { printf '\n==== packages: %s ====\n' "$*"; }
fail() { printf 'packages: FAILED: %s\n' "$*" >&2; exit 1; }

step "install dpkg-dev (dpkg-shlibdeps computes the Debian package's dependencies), lintian, man-db"
bash tests/install.sh packages

programs=(lorvel tessik wendro kadrel)
scratch=$(mktemp -d /tmp/serial-tools-packages.XXXXXX)
cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k >/dev/null 2>&1 || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# check_files ARCHIVE WANT GOT: GOT, the sorted files the archive holds, one a line, must be WANT.
check_files() {
  local want
  want=$(sort <<<"$2")
  if [ "$want" != "$3" ]; then
    printf 'want:\n%s\ngot:\n%s\n' "$want" "$3"
    fail "$1 does not hold what it should"
  fi
  echo "$1 holds exactly:" $3
}

# What Wine itself prints on stderr when it, not the program, failed a call ("wine client error:",
# "wine: ...", "0024:err:..."). The programs print nothing on stderr off the simulated port.
wine_failure='^(wine( client error)?:|wineserver:|[0-9a-f]{4}:err:)'

# run_program EXPECT INPUT EXE [ARGUMENT...]: runs EXE through $runner (such as wine) with INPUT
# (a command whose output is the program's stdin) and sets status, out (stdout without CRs) and
# err. A Wine run that ends with another status than EXPECT while Wine reports its own failure on
# stderr is Wine's failure, not the program's: it runs again, at most three times in all.
run_program() {
  local expect=$1 input=$2 attempt
  shift 2
  for attempt in 1 2 3; do
    status=0
    $input | timeout 120 "${runner[@]}" "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
    out=$(tr -d '\r' <"$scratch/out")
    err=$(tr -d '\r' <"$scratch/err")
    if [ ${#runner[@]} -eq 0 ] || [ "$status" -eq "$expect" ] || [ "$attempt" -eq 3 ] ||
       ! grep -Eq "$wine_failure" <<<"$err"; then
      return 0
    fi
    echo "  (Wine failed $*, status $status: $(grep -Em1 "$wine_failure" <<<"$err"); again)"
  done
}

no_input() { true; }

# check_programs DIR SUFFIX [RUNNER...]: runs each program DIR/NAME SUFFIX (through RUNNER, such as
# wine) without an argument, with --help and -V, with an argument that names no port, and on the
# simulated port with keys from a pipe.
check_programs() {
  local dir=$1 suffix=$2 name
  shift 2
  runner=("$@")
  for name in "${programs[@]}"; do
    local exe=$dir/$name$suffix
    run_program 1 no_input "$exe"
    [ "$status" -eq 1 ] || fail "$exe without an argument: status $status, want 1"
    [ "$out" = "  usage: $name port" ] || fail "$exe without an argument printed '$out'"

    run_program 0 no_input "$exe" --help
    [ "$status" -eq 0 ] && [ "$(head -n1 <<<"$out")" = "Usage: $name PORT" ] &&
      grep -q '^  4  its settings were refused$' <<<"$out" ||
      fail "$exe --help: status $status and '$out'"
    run_program 0 no_input "$exe" -V
    [ "$status" -eq 0 ] && [ "$out" = "$name $version" ] ||
      fail "$exe -V: status $status and '$out', want 0 and '$name $version'"

    # COMn, where n is the first character, which no machine has.
    run_program 2 no_input "$exe" nosuchport
    [ "$status" -eq 2 ] && [ -z "$out" ] && [ -z "$err" ] ||
      fail "$exe nosuchport: status $status and '$out' '$err', want 2 and nothing"

    # Keys wait in the pipe until the program reads them; the pause lets each run a while.
    case $name in
      tessik) keys() { printf '3\nq\n'; } ;;
      lorvel) keys() { sleep 1; printf x; } ;;
      *) keys() { sleep 1; printf q; } ;;
    esac
    run_program 0 keys "$exe" sim
    if [ "$status" -ne 0 ] || ! grep -q '^\[sim\] port closed after [0-9]* byte' <<<"$err"; then
      printf '%s\n%s\n' "$out" "$err"
      fail "$exe sim: status $status, want 0 and the port closed"
    fi
    case $name in
      tessik)
        [ "$out" = ">>" ] || fail "$exe sim: prompts '$out', want '>>'"
        grep -q '^\[sim\] burst: 3 pulses in' <<<"$err" || fail "$exe sim: no burst of 3"
        ;;
      wendro) [ "$out" = "   800 Hz" ] || fail "$exe sim: '$out', want the 800 Hz row" ;;
    esac
    echo "ok: $exe: usage line and status 1, --help and -V status 0, nosuchport status 2, sim status 0"
  done
}

version=$(sed -n 's/^project(serial_tools VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"

# check_deb ARCH [RUNNER...]: the one Debian package for ARCH in build/packages: marked ARCH, holding
# the four programs, their manual pages, the bash completion and the package's documents,
# depending on the C and C++ runtimes, installable here by apt, clean for lintian, its manual
# pages rendering without a warning, and its programs, unpacked into a scratch root, running
# (through RUNNER, qemu-user for ARM).
check_deb() {
  local arch=$1 deb debs depends files library lintian_status name page warnings
  shift
  debs=(build/packages/serial-tools_*_"$arch".deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "want one $arch .deb, found: ${debs[*]}"
  deb=${debs[0]}
  dpkg-deb --info "$deb"
  dpkg-deb --contents "$deb"
  [ "$(dpkg-deb --field "$deb" Architecture)" = "$arch" ] || fail "$deb is not marked $arch"
  files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
  check_files "$deb" "$(printf './usr/bin/%s\n' "${programs[@]}"
                        printf './usr/share/man/man1/%s.1.gz\n' "${programs[@]}"
                        printf './usr/share/bash-completion/completions/%s\n' serial-tools \
                          "${programs[@]}"
                        printf './usr/share/doc/serial-tools/%s\n' copyright changelog.gz README.md)" \
    "$files"
  # The dependencies dpkg-shlibdeps found, names without versions: the C and C++ runtimes at least.
  depends=$(dpkg-deb --field "$deb" Depends | tr ',' '\n' | awk '{ print $1 }')
  for library in libc6 libstdc++6; do
    grep -Fxq "$library" <<<"$depends" || fail "$deb does not depend on $library:" $depends
  done
  # What `apt install ./serial-tools_...deb` would do on this machine, without doing it.
  apt-get install --simulate "./$deb" </dev/null >"$scratch/apt.log" 2>&1 ||
    { cat "$scratch/apt.log"; fail "apt cannot install $deb"; }

  # Root gets a note that lintian would rather not run as root; the tags are what counts.
  lintian_status=0
  lintian --info --fail-on error,warning "$deb" >"$scratch/lintian.log" 2>&1 || lintian_status=$?
  grep -v 'running with root privileges' "$scratch/lintian.log" || true
  [ "$lintian_status" -eq 0 ] || fail "lintian found errors or warnings in $deb"
  echo "lintian: no error and no warning in $deb"

  rm -rf "$scratch/root"
  dpkg-deb --extract "$deb" "$scratch/root"
  for name in "${programs[@]}"; do
    page=$scratch/root/usr/share/man/man1/$name.1.gz
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page renders with warnings: $warnings"
    MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^NAME" || fail "$page renders no NAME section"
    echo "ok: $name.1.gz renders without a warning"
  done
  check_programs "$scratch/root/usr/bin" "" "$@"
  checked+=("$deb")
}
checked=()

step "the Debian package of the Linux build, its packaged programs"
rm -f build/packages/serial-tools_*_"$(dpkg --print-architecture)".deb
cmake --workflow --preset deb
check_deb "$(dpkg --print-architecture)"

# The ARM packages come from the builds tests/arm/run.sh made and tested; their programs run in qemu-user.
. tests/arm/arm_setup.sh
for arch in arm64 armhf; do
  step "the Debian package of the $arch build, its programs under qemu-user"
  [ -f "build/$arch/CMakeCache.txt" ] || fail "no build/$arch: run tests/arm/run.sh first"
  rm -f build/packages/serial-tools_*_"$arch".deb
  # Configured again, so that a build folder made before a change to the packaging packs with it.
  cmake --preset "$arch" >/dev/null
  cpack --preset "$arch"
  check_deb "$arch" "$(arm_qemu "$arch")"
done


step "the ZIP of the Windows build"
[ -f build/windows/CMakeCache.txt ] || fail "no build/windows: run tests/windows/run.sh first"
rm -f build/packages/serial-tools-*-win64.zip
cmake --preset windows >/dev/null
cpack --preset windows
zips=(build/packages/serial-tools-*-win64.zip)
[ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || fail "want one .zip, found: ${zips[*]}"
zip=${zips[0]}
top=$(basename "$zip" .zip)
cmake -E tar tvf "$zip"
files=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
check_files "$zip" "$(printf "$top/bin/%s.exe\n" "${programs[@]}"
                      printf "$top/%s\n" README.txt LICENSE.txt)" "$files"

step "the packaged Windows programs under Wine"
zip_path=$(realpath "$zip")
mkdir "$scratch/zip"
(cd "$scratch/zip" && cmake -E tar xf "$zip_path")
grep -q '^MIT License' "$scratch/zip/$top/LICENSE.txt" || fail "$zip: LICENSE.txt is no MIT licence"
for name in "${programs[@]}" 'Exit status'; do
  grep -q "$name" "$scratch/zip/$top/README.txt" || fail "$zip: README.txt does not tell of $name"
done
. tests/windows/wine_prefix.sh
fresh_wine_prefix "$scratch/prefix"
check_programs "$scratch/zip/$top/bin" .exe wine

step "every package built again from another clone, umask 0002, another time zone: the same bytes"
# The clone holds the last commit and, over it, what the work tree changed or added, so that a run
# before a commit compares like with like. The programs alone are built, without the tests.
again=$scratch/again
(
  umask 0002
  git clone -q --no-hardlinks . "$again"
  git ls-files -z --modified --others --exclude-standard |
    while IFS= read -r -d '' file; do [ ! -e "$file" ] || printf '%s\0' "$file"; done |
    tar --null -T - -cf - | tar -xf - --no-same-permissions -C "$again"
  git ls-files -z --deleted | (cd "$again" && xargs -0r rm -f --)
  cd "$again"
  # A time zone no machine here is set to, written out so that it needs no zone files.
  export TZ=XST-12:45 CMAKE_BUILD_PARALLEL_LEVEL=2
  nice cmake --workflow --preset deb >"$scratch/again.log" 2>&1
  for preset in windows arm64 armhf; do
    cmake --preset "$preset" -DSERIAL_TOOLS_TESTS=OFF >>"$scratch/again.log" 2>&1
    nice cmake --build --preset "$preset" >>"$scratch/again.log" 2>&1
    cpack --preset "$preset" >>"$scratch/again.log" 2>&1
  done
) || { tail -n 30 "$scratch/again.log"; fail "the second build of the packages failed"; }

# describe PACKAGE: each member with its mode, owner, size and time, and what is inside each.
describe() {
  case $1 in
    *.deb)
      ar tv "$1"
      dpkg-deb --ctrl-tarfile "$1" | tar -tv --full-time
      dpkg-deb --fsys-tarfile "$1" | tar -tv --full-time
      dpkg-deb --ctrl-tarfile "$1" | tar -xO ./md5sums
      ;;
    *.zip)
      python3 -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    print(i.filename, oct(i.external_attr >> 16), i.date_time, i.create_system, i.extra.hex(),
          i.compress_type, i.compress_size, i.file_size, format(i.CRC, "08x"))' "$1"
      ;;
  esac
}
different=()
for package in "${checked[@]}" "$zip"; do
  second=$again/$package
  if cmp "$package" "$second"; then
    echo "ok: $package: the same bytes from both builds"
  else
    echo "--- what differs between $package and $second (< first, > second):"
    diff <(describe "$package") <(describe "$second") || true
    different+=("$package")
  fi
done
[ ${#different[@]} -eq 0 ] || fail "packages differ between two builds: ${different[*]}"

step "packages checked: ${checked[*]} $zip"
