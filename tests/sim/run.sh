#!/usr/bin/env bash
# Runs each tool on the built-in simulated port from a script on stdin, checks its exit status and
# what the bench saw against first principles, and decodes the waveform files with sigrok-cli's
# UART decoder. Usage: tests/sim/run.sh [build dir, default build/release]. Exits non-zero on any
# failure.
set -uo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/release}

bash tests/install.sh sim || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

ok() {
  echo "ok: $1"
  passed=$((passed + 1))
}
fail() {
  echo "FAILED: $1"
  failed=$((failed + 1))
}
expect() {  # expect NAME COMMAND...: the command's success is the check
  local name=$1
  shift
  if "$@"; then ok "$name"; else fail "$name"; fi
}
show() {  # the files of a failed run, for the log
  for f in "$@"; do echo "--- $f"; cat "$f"; done
}
# The data bytes sigrok-cli's UART decoder finds on tx, one per line; any other annotation (a
# framing or parity error) comes out as a line of its own and spoils the comparison.
decode() {  # decode FILE DECODER_OPTIONS
  sigrok-cli -i "$1" -I vcd:downsample=1000 -P "uart:rx=tx:$2" -A uart=rx-data:rx-warnings \
    2>&1 | sed 's/^uart-1: //'
}

# --- tessik: bursts of 12, 7 and 1280 pulses at 600 baud 8N1 ---
printf '12\n7\n1280\nq\n' | "$build/tessik/tessik" "sim:$work/t.vcd" >"$work/t.out" 2>"$work/t.err"
expect "tessik quits with status 0" test $? -eq 0
expect "tessik prints only its prompts" test "$(cat "$work/t.out")" = ">>>>"
# N pulses of one bit at 0 and one at 1: from the first fall to the last rise 2N - 1 bit times.
for n in 12 7 1280; do
  want=$(awk -v n="$n" 'BEGIN { printf "burst: %d pulses in %.3f ms", n, (2 * n - 1) * 1000 / 600 }')
  expect "tessik burst of $n: $want" grep -q "^\[sim\] $want " "$work/t.err"
done
# 12 = 5 + 5 + 2 pulses: 0x55 0x55 0xFD; 7 = 5 + 2: 0x55 0xFD; 1280: 256 bytes of 0x55.
{ printf '55\n55\nFD\n55\nFD\n'; for _ in $(seq 256); do echo 55; done; } >"$work/t.want"
decode "$work/t.vcd" baudrate=600 >"$work/t.got"
expect "tessik waveform decodes to exactly the bytes written" cmp -s "$work/t.want" "$work/t.got"
[ $failed -eq 0 ] || show "$work/t.out" "$work/t.err"

# --- wendro: the start row, 4800 baud with even parity and two stop bits, byte 0x1C ---
(sleep 2; printf q) | "$build/wendro/wendro" "sim:$work/w.vcd" >"$work/w.out" 2>"$work/w.err"
expect "wendro quits with status 0" test $? -eq 0
expect "wendro prints its start row" test "$(cat "$work/w.out")" = "   800 Hz"
# 0x1C framed 8E2 is 0 0 0 1 1 1 0 0 0 1 1 1: two periods in 12 bits, baud / 6.
expect "wendro wave at 4800 / 6 Hz, even, busy" \
  grep -q '^\[sim\] wave: 800.000 Hz, duty 50.0 %, line busy (4800 baud 8E2' "$work/w.err"
sent=$(sed -n 's/^\[sim\] port closed after \([0-9]*\) bytes sent$/\1/p' "$work/w.err")
decode "$work/w.vcd" baudrate=4800:parity=even:stop_bits=2.0 >"$work/w.got"
expect "wendro waveform decodes to the $sent bytes 0x1C written, no errors" \
  test -n "$sent" -a "$(grep -c . "$work/w.got")" = "$sent" -a "$(sort -u "$work/w.got")" = "1C"
[ $failed -eq 0 ] || show "$work/w.out" "$work/w.err"

# --- wendro: a step up, two down ---
(sleep 1.5; printf +; sleep 1.5; printf -; sleep 1.5; printf -; sleep 1.5; printf q) |
  "$build/wendro/wendro" sim >"$work/s.out" 2>"$work/s.err"
expect "wendro stepping quits with status 0" test $? -eq 0
grep '^\[sim\] wave' "$work/s.err" | sed 's/^\[sim\] wave: \([0-9.]* Hz, duty [0-9.]* %, line busy\) (\([0-9]*\) baud \(...\), byte \(..\).*/\1 \2 \3 \4/' >"$work/s.got"
# baud / 6 for 0x1C 8E2, baud / 10 for 0xF0 8N1, baud / 2 for 0x55 8N1.
# Fields: frequency "Hz," "duty" duty "%," "line" "busy" baud framing byte.
awk '{ baud = $8; d = $10 == "1c" ? 6 : $10 == "f0" ? 10 : 2;
       if ($1 + 0 != baud / d || $4 != "50.0" || $7 != "busy") { print "bad: " $0; exit 1 } }
     END { if (NR != 4) { print "want 4 waves, got " NR; exit 1 } }' "$work/s.got"
expect "wendro each step's frequency is its baud over the bits per period, line busy" test $? -eq 0
[ $failed -eq 0 ] || show "$work/s.out" "$work/s.err" "$work/s.got"

# --- kadrel: the loop-back switch's true closed time beside the tool's report ---
(sleep 12; printf q) | "$build/kadrel/kadrel" sim >"$work/k.out" 2>"$work/k.err"
expect "kadrel quits with status 0" test $? -eq 0
sed -n 's/^\[sim\] loop-back switch open again: it was closed \([0-9.]*\) s$/\1/p' "$work/k.err" >"$work/k.truth"
sed -n 's/^\.*  *\([0-9.]*\) Sec\.$/\1/p' "$work/k.out" >"$work/k.report"
# Both are printed to the millisecond, so a time within one frame (0.26 ms) of the truth can still
# print one last digit apart (0.4864 and 0.4866 print 0.486 and 0.487): allow that digit, not two.
paste "$work/k.truth" "$work/k.report" | awk -F '\t' '
  $2 != "" { n++; d = $1 - $2; if (d < 0) d = -d; if (d > 0.0015) { print "off: " $0; exit 1 } }
  END { if (n < 1) { print "no closure reported"; exit 1 } }'
expect "kadrel reports each closure within one frame of the true time" test $? -eq 0
[ $failed -eq 0 ] || show "$work/k.out" "$work/k.err"

# --- lorvel: the display counts in hexadecimal, the tool prints the switches ---
(sleep 7; printf x) | "$build/lorvel/lorvel" sim >"$work/l.log" 2>&1
expect "lorvel quits with status 0" test $? -eq 0
awk '
  BEGIN { ns = 0; nd = 0; np = 0; printed_since = 0 }
  /^\[sim\] input switches/ { switches[ns++] = $NF; next }
  /^\[sim\] display / { d = $3; want = substr("0123456789AbCdEF", nd % 16 + 1, 1)
    if (substr(d, 1, 1) != want) { print "display " nd " shows " d; exit 1 }
    # The point is lit in the cycle after a printed change, and only then.
    if ((substr(d, 2, 1) == ".") != (printed_since == 1)) { print "point wrong at " nd; exit 1 }
    nd++; printed_since = 0; next }
  /^  [0-9a-f][0-9a-f]$/ { if ($1 != switches[np]) { print "printed " $1 " for " switches[np]; exit 1 }
    np++; printed_since = 1; next }
  END { if (nd < 8 || np < 1 || np < ns - 1) { print nd " displays, " np " of " ns " inputs"; exit 1 } }
' "$work/l.log"
expect "lorvel shows each digit in turn and prints every switch setting" test $? -eq 0
[ $failed -eq 0 ] || show "$work/l.log"

echo "simulated port: $passed passed, $failed failed"
[ $failed -eq 0 ]
