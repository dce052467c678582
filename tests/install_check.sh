#!/usr/bin/env bash
# Checks tests/install.sh against an archive that does not answer, in a few seconds and without
# touching the machine's apt setup: apt runs with a configuration of its own (APT_CONFIG) whose only
# source is a folder that does not exist and whose package lists and cache are scratch folders.
#  1. Everything installed, nothing missing: it goes on without apt.
#  2. Everything installed, lists refreshed on request (--update): the refresh fails three times,
#     and it goes on, saying so.
#  3. A package no archive offers: it fails and names that package.
#  4. fetch_deb (the kernel download of the QEMU stages) with the archive gone: it takes the cached
#     copy, and without one fails naming the package.
# Run as root after tests/install.sh has installed every stage's packages (.ci/run does).
set -uo pipefail
cd "$(dirname "$0")/.."

scratch=$(mktemp -d /tmp/serial-tools-install-check.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/lists/partial" "$scratch/cache/archives/partial" "$scratch/sources.list.d" \
  "$scratch/kept/debs" "$scratch/out"
echo 'deb [trusted=yes] file:/nonexistent ./' >"$scratch/sources.list"
cat >"$scratch/apt.conf" <<CONF
Dir::Etc::sourcelist "$scratch/sources.list";
Dir::Etc::sourceparts "$scratch/sources.list.d";
Dir::State::Lists "$scratch/lists";
Dir::Cache "$scratch/cache";
CONF
export APT_CONFIG=$scratch/apt.conf APT_RETRY_DELAY=1 SERIAL_TOOLS_CACHE=$scratch/kept
passed=0
failed=0
check() {  # check NAME CONDITION...: CONDITION's success is the check; the output shown on failure
  local name=$1
  shift
  if "$@"; then
    echo "ok: $name"
    passed=$((passed + 1))
  else
    echo "FAILED: $name; its output:"
    sed 's/^/    /' "$scratch/log"
    failed=$((failed + 1))
  fi
}

# The sources really are broken: apt-get update fails with this configuration.
apt-get update -q >"$scratch/log" 2>&1 </dev/null
check "apt-get update fails with the broken source" test $? -ne 0

bash tests/install.sh >"$scratch/log" 2>&1
status=$?
check "every stage's packages installed: status 0 without apt" \
  eval '[ $status -eq 0 ] && grep -q "^install: all [0-9]* packages of .* are installed$" "$scratch/log"'

bash tests/install.sh --update format >"$scratch/log" 2>&1
status=$?
check "lists refreshed on request: three failed tries, then it goes on, status 0" \
  eval '[ $status -eq 0 ] && [ "$(grep -c "^install: apt-get update failed (try" "$scratch/log")" -eq 2 ] &&
        grep -q "^install: apt-get update failed, but every package needed is installed; going on$" "$scratch/log"'

SERIAL_TOOLS_EXTRA_PACKAGES=serial-tools-no-such-package bash tests/install.sh format >"$scratch/log" 2>&1
status=$?
check "a package no archive offers: status 1, named" \
  eval '[ $status -eq 1 ] &&
        grep -q "^install: FAILED: cannot install serial-tools-no-such-package: no configured archive offers it$" "$scratch/log"'

# fetch_deb with a cached copy, then without one.
printf 'a cached package\n' >"$scratch/kept/debs/serial-tools-cached_1.0_arm64.deb"
(. tests/apt.sh && fetch_deb serial-tools-cached:arm64 "$scratch/out") >"$scratch/log" 2>&1
status=$?
check "fetch_deb, archive gone: the cached copy is used and said so" \
  eval '[ $status -eq 0 ] && cmp -s "$scratch/kept/debs/serial-tools-cached_1.0_arm64.deb" "$scratch/out/serial-tools-cached_1.0_arm64.deb" &&
        grep -q "using the cached .*serial-tools-cached_1.0_arm64.deb$" "$scratch/log"'
(. tests/apt.sh && fetch_deb serial-tools-uncached "$scratch/out") >"$scratch/log" 2>&1
status=$?
check "fetch_deb, archive gone and nothing cached: fails naming the package" \
  eval '[ $status -ne 0 ] && grep -q "cannot get serial-tools-uncached: " "$scratch/log"'

echo "install step: $passed passed, $failed failed"
[ $failed -eq 0 ]
