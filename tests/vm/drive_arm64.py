#!/usr/bin/env python3
"""Boots QEMU's arm64 `virt` machine once: runs the pty tests on its real kernel, then steps wendro
through all its rows on the machine's PL011 and holds every printed frequency to the divisor QEMU
traces and the framing the PL011 holds, with the byte on the line. Every check prints one line;
the last line counts them. Usage: drive_arm64.py VMLINUZ INITRAMFS WORK_DIR, with PTY_TESTS naming
the pty test program's path in the guest."""

import os
import re
import sys
import time

from drive import ROWS, SEVEN_SEGMENTS, TOLERANCE, Program, play, wendro_steps
from line import wave_hz
from machine import Arm64Machine

PL011 = "/dev/ttyAMA0"
PL011_CLOCK = 24000000  # the virt board's UART clock
# The rows the PL011 cannot make: none, its 16-bit divisor with 6 fraction bits reaches all.
REFUSED = set()


def pl011_baud(ibrd, fbrd):
    """The rate a divisor makes: the clock over 16 times IBRD + FBRD/64."""
    return PL011_CLOCK * 4 / (64 * ibrd + fbrd)


def pl011_framing(lcr_h):
    """(parity, data bits, stop bits) from the line control register."""
    parity = "N" if not lcr_h & 0x02 else ("E" if lcr_h & 0x04 else "O")
    return parity, 5 + ((lcr_h >> 5) & 3), 2 if lcr_h & 0x08 else 1


def traced_divisors(events):
    """[(time, ibrd, fbrd)]: each divisor QEMU's trace shows the driver writing."""
    found = []
    for when, name, args in events:
        if name == "pl011_baudrate_change":
            divisor = re.search(r"ibrd: (\d+), fbrd: (\d+)", args)
            found.append((when, int(divisor.group(1)), int(divisor.group(2))))
    return found


# Left out in this machine, and shown natively: the completion needs bash, which the busybox
# initramfs has not, and is no arm64 code; a program's share of a core says nothing of its rest
# where every instruction is emulated (TCG).
NOT_HERE = "-BashCompletion.*:KadrelOnPty.RestsWhileItMeasuresAndOnceTheLineHasHungUp"


def pty_tests(machine, checks):
    path = os.environ["PTY_TESTS"]
    started = time.time()
    status, text = machine.console.sh(
        f"cd /tmp && {path} --gtest_brief=1 --gtest_color=no --gtest_filter='{NOT_HERE}' </dev/null", 900)
    took = time.time() - started
    ran = re.search(r"\[==========\] (\d+) tests? from", text)
    passed = re.search(r"\[  PASSED  \] (\d+) test", text)
    skipped = re.search(r"\[  SKIPPED \] (\d+) test", text)
    failures = re.findall(r"(?m)^\[  FAILED  \] (\S+)", text)
    print(text.rstrip())
    ran, passed = (int(m.group(1)) if m else 0 for m in (ran, passed))
    checks.check("the pty tests pass on the arm64 kernel, none skipped",
                 status == 0 and ran > 0 and passed == ran and not skipped,
                 f"{passed} of {ran} passed in {took:.0f} s, {skipped.group(1) if skipped else 0} skipped"
                 + (f", failed: {' '.join(sorted(set(failures)))}" if failures else ""))


def lorvel_lines(machine, checks):
    """lorvel on the PL011 for a few exchanges, with QEMU tracing every register write (wendro,
    which writes bytes without end, has quit; lorvel writes none)."""
    machine.hmp("trace-event pl011_write on")
    lorvel = Program(machine, "lorvel", PL011, 3)
    time.sleep(4)
    status = lorvel.quit("x")
    machine.hmp("trace-event pl011_write off")
    output = lorvel.output()
    # QEMU's PL011 has no modem inputs: CTS reads as not asserted, every input bit 1.
    checks.check("lorvel on the PL011 prints ff once and quits with status 0 on a key",
                 status == 0 and re.findall(r"(?m)^  ([0-9a-f]{2})$", output) == ["ff"],
                 f"status {status}, output {output.strip()!r}")


def check_lorvel(checks, events):
    """The exchanges lorvel clocked out, read from the traced writes to the control register (DTR,
    RTS) and the line control register (break): each is DTR dropped around one break pulse, then
    eight break pulses, each shifting the RTS level in, most significant bit first."""
    dtr = rts = brk = None
    exchanges = []  # [load pulses while DTR was low, [RTS at each pulse after]]
    for _, name, args in events:
        found = re.search(r"addr 0x([0-9a-f]+) value 0x([0-9a-f]+)", args) if name == "pl011_write" else None
        if not found:
            continue
        addr, value = int(found.group(1), 16), int(found.group(2), 16)
        if addr == 0x30:  # UARTCR: DTR bit 10, RTS bit 11
            if dtr and not value & 0x400:
                exchanges.append([0, []])
            dtr, rts = bool(value & 0x400), bool(value & 0x800)
        elif addr == 0x2C:  # UARTLCR_H: BRK bit 0
            rising = brk is False and value & 1
            brk = bool(value & 1)
            if rising and exchanges:
                if dtr:
                    exchanges[-1][1].append(int(rts))
                else:
                    exchanges[-1][0] += 1
    # The port's close drops DTR too: that last "exchange" has no pulses.
    whole = [(load, bits) for load, bits in exchanges if load or bits]
    got = [sum(bit << (7 - i) for i, bit in enumerate(bits)) if load == 1 and len(bits) == 8 else None
           for load, bits in whole]
    # The input never changes after the first exchange, so only the second shows the point.
    want = [SEVEN_SEGMENTS[n % 16] | (0x80 if n == 1 else 0) for n in range(len(got))]
    print("--- lorvel on the PL011: the bytes its break pulses clocked out on RTS")
    print("  " + " ".join("??" if g is None else f"{g:02x}" for g in got))
    checks.check("lorvel on the PL011: every exchange is one load pulse with DTR low and eight break "
                 "pulses shifting the counting digit out on RTS", len(got) >= 3 and got == want,
                 f"{len(got)} exchanges, want {' '.join(f'{w:02x}' for w in want)}")


def check_pl011(checks, steps, samples, events):
    """Each label against the divisor traced before it, and the framing the PL011 held after it."""
    divisors = traced_divisors(events)
    print("--- wendro on the PL011: row, label, traced divisor, what it makes with the framing and byte")
    bad, refused, previous = [], set(), None
    for (row, label, label_time, byte, _), (sampled, registers) in zip(steps, samples):
        ibrd, fbrd, lcr_h = registers
        parity, data, stop = pl011_framing(lcr_h)
        line = f"IBRD {ibrd:5} FBRD {fbrd:2} {data}{parity}{stop} byte {byte:02X}"
        if label is None:
            refused.add(row)
            print(f"  row {row:2}: refused, prints nothing; line still {line}")
            if (registers, byte) != previous:
                bad.append(f"row {row} refused but the line changed")
            continue
        traced = [d for d in divisors if d[0] <= label_time]
        if not traced or traced[-1][1:] != (ibrd, fbrd):
            bad.append(f"row {row}: traced divisor {traced[-1][1:] if traced else None}, "
                       f"the PL011 holds {ibrd}/{fbrd}")
        baud = pl011_baud(ibrd, fbrd)
        hz = wave_hz(baud, parity, data, stop, byte)
        off = (label - hz) / hz
        print(f"  row {row:2}: label {label:5} Hz, {line} = {baud:9.1f} baud, {hz:9.2f} Hz ({off:+.2%})")
        if abs(off) > TOLERANCE:
            bad.append(f"row {row} label {label} Hz, line {hz:.2f} Hz")
        previous = (registers, byte)
    visited = {row for row, *_ in steps}
    checks.check(f"wendro on the PL011 visits all {ROWS} rows", visited == set(range(ROWS)))
    checks.check("wendro on the PL011: every label is the traced divisor's wave within 2 %, a refused "
                 "row leaves the old wave", not bad, "; ".join(bad))
    checks.check(f"wendro on the PL011 refuses rows {sorted(REFUSED)} only", refused == REFUSED,
                 f"refused {sorted(refused)}")


def main():
    kernel, initramfs, work = sys.argv[1:4]
    steps, samples = [], []

    def scenarios(machine, checks):
        return [
            ("the pty tests", lambda: pty_tests(machine, checks)),
            # The kernel's console and init's output go to the virtio console: nothing but the
            # programs uses the PL011's line.
            ("the PL011 is free", lambda: checks.check(
                "the PL011's line stayed silent through the boot and the pty tests",
                machine.uart.received == 0, f"{machine.uart.received} bytes")),
            ("wendro on the PL011", lambda: steps.extend(wendro_steps(
                machine, checks, "PL011", PL011, machine.uart,
                lambda: samples.append((time.time(), machine.pl011_registers())))[0])),
            ("lorvel on the PL011", lambda: lorvel_lines(machine, checks)),
        ]

    def afterwards(machine, checks, events):
        if steps:
            check_pl011(checks, steps, samples, events)
        check_lorvel(checks, events)

    return play("vm-arm64", lambda: Arm64Machine(kernel, initramfs, work), scenarios, afterwards)


if __name__ == "__main__":
    sys.exit(main())
