#!/usr/bin/env bash
# Fuzzes every parser of outside input for a bounded time: builds the fuzz preset (clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each tests/fuzz/NAME_fuzz.cpp target on
# its kept seeds in tests/fuzz/corpus/NAME, writing what it finds to a scratch folder only.
# Fails when a target crashes or a checked property fails, and prints the reproducer's path and
# bytes; otherwise prints each target's executions and coverage.
# Usage: tests/fuzz/run.sh [NAME...] (default: every target), from anywhere.
# Environment: FUZZ_SECONDS per target (default 60), FUZZ_MAX_LEN bytes per input (default 256).
# A target may add libFuzzer flags of its own with a line "// fuzz run flags: -max_len=4096 ..."
# in its source.
set -uo pipefail
cd "$(dirname "$0")/../.."
packages="clang libfuzzer-14-dev"

seconds=${FUZZ_SECONDS:-60}
max_len=${FUZZ_MAX_LEN:-256}
build=build/fuzz
artifacts=$build/artifacts

missing=
for package in $packages; do
  dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "fuzz: FAILED: missing packages:$missing (install with: apt-get install -y$missing)"
  exit 1
fi

mkdir -p build
started=$(date +%s)
echo "==== fuzz: building the targets (preset fuzz, $build) ===="
if ! { nice cmake --preset fuzz && nice cmake --build --preset fuzz -j2; } >"$build.log" 2>&1; then
  tail -40 "$build.log"
  echo "fuzz: FAILED: the build failed (whole log in $build.log)"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
summary=()

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" _fuzz.cpp)"); done
fi

for name in "${targets[@]}"; do
  source=tests/fuzz/${name}_fuzz.cpp
  binary=$build/tests/fuzz/${name}_fuzz
  kept=tests/fuzz/corpus/$name
  if [ ! -f "$source" ] || [ ! -x "$binary" ]; then
    echo "FAILED: $name: no target $source built as $binary"
    failed=$((failed + 1))
    continue
  fi
  [ -d "$kept" ] || echo "note: $name has no kept seeds in $kept; it starts from nothing"
  # New inputs go to the first folder, the scratch one; the kept seeds are only read.
  scratch=$work/$name
  mkdir -p "$scratch" "$artifacts/$name"
  rm -f "$artifacts/$name"/*
  read -r -a own_flags <<<"$(sed -n 's|^// fuzz run flags: ||p' "$source")"
  echo "==== fuzz: $name for $seconds s ===="
  log=$work/$name.log
  # The outer limit only catches a target that stops answering altogether.
  timeout --kill-after=10 $((seconds + 120)) nice "$binary" -max_total_time="$seconds" \
    -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$name/" "${own_flags[@]}" "$scratch" \
    $([ -d "$kept" ] && echo "$kept") >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log")
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  reproducers=$(find "$artifacts/$name" -type f 2>/dev/null)
  if [ $status -eq 0 ] && [ -z "$reproducers" ] && [ -n "$runs" ]; then
    line="$name: ${runs} runs (${rate}/s), ${coverage:-no coverage line}, $added new inputs"
    echo "ok: $line"
    summary+=("ok      $line")
    passed=$((passed + 1))
  else
    # What the target said about the fault: the property that failed or the sanitizer's report,
    # and the top of the stack.
    grep -m1 -A24 -E '^property failed:|^==[0-9]+==ERROR|runtime error:' "$log" || tail -25 "$log"
    echo "FAILED: $name: exit status $status after ${runs:-?} runs"
    for file in $reproducers; do
      echo "reproducer: $file (base64 $(base64 -w0 "$file"))"
      echo "replay: $binary $file"
    done
    [ -n "$reproducers" ] || echo "no reproducer written; the last lines of the log are above"
    summary+=("FAILED  $name: exit status $status, reproducer ${reproducers:-none}")
    failed=$((failed + 1))
  fi
done

echo "==== fuzz: summary ($(($(date +%s) - started)) s, $seconds s per target, inputs up to $max_len bytes unless a target says) ===="
printf '%s\n' "${summary[@]}"
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ] && [ $passed -gt 0 ]
