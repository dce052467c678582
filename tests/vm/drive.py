#!/usr/bin/env python3
"""Boots the QEMU machine once and plays the programs on the kernel's 8250 and ftdi_sio drivers:
wendro through all rows on both devices, tessik's bursts, kadrel with a loop-back plug, lorvel in
the 16550's modem loopback, and the FTDI adapters unplugged under running programs; then on the
USB serial chips posed behind dummy_hcd (chips.py). Every check prints one line; the last line
counts them. Usage: drive.py VMLINUZ INITRAMFS WORK_DIR [all|chips]"""

import os
import re
import sys
import time
import traceback

import chips
from line import pulses, setting_at, wave_hz
from machine import USB_ADAPTERS, Machine

UART = "/dev/ttyS1"
TOLERANCE = 0.02
# The rows that the port's hardware cannot make within the tolerance: on a 16550 (baud_base
# 115200) 56000 baud runs 57600; the FTDI divisor cannot go below about 183 baud.
REFUSED = {"16550": {23}, "FTDI": {0}}
WENDRO_START_ROW = 13
ROWS = 30
LABEL = r"(?m)^ *(\d+) Hz$"
LABEL_TIMEOUT = 8  # a key waits for the write in progress: up to 2.2 s at the slowest row
CLOCK_TICKS = 100  # the guest's USER_HZ, the unit of /proc/PID/stat's times


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, good, detail=""):
        print(f"{'ok' if good else 'FAILED'}: {name}" + (f" ({detail})" if detail else ""), flush=True)
        if good:
            self.passed += 1
        else:
            self.failed += 1
        return good


class Program:
    """A program running in the guest on a device, its keys coming from a FIFO that the guest's
    shell holds open on descriptor `fd`; its output goes to the console unless `out` names a
    file."""

    def __init__(self, machine, name, device, fd, out=None):
        self.fd, self.out = fd, out
        self.console = machine.console
        self.since = self.console.mark()
        self.started = time.time()
        fifo = f"/tmp/keys{fd}"
        redirect = f" >{out} 2>&1" if out else ""
        _, text = self.console.sh(f"rm -f {fifo}; mkfifo {fifo}; {name} {device} <{fifo}{redirect} & "
                                  f"pid=$!; exec {fd}>{fifo}; echo pid=$pid")
        self.pid = int(re.search(r"pid=(\d+)", text).group(1))

    def key(self, keys):
        self.console.sh(f"printf '{keys}' >&{self.fd}")

    def quit(self, keys, timeout=15):
        """Sends `keys` and waits for the program to end: its exit status, or None if it had to
        be killed."""
        self.key(keys)
        pid = self.pid
        _, text = self.console.sh(
            f"i=0; while kill -0 {pid} 2>/dev/null && [ $i -lt {timeout * 5} ]; do sleep 0.2; i=$((i + 1)); "
            f"done; kill -0 {pid} 2>/dev/null && kill -9 {pid} && echo killed; "
            f"wait {pid}; echo status=$?; exec {self.fd}>&-", timeout + 10)
        return None if "killed" in text else int(re.search(r"status=(\d+)", text).group(1))

    def output(self):
        if self.out:
            return self.console.sh(f"cat {self.out}")[1]
        return self.console.text[self.since :]


def programming(events, device):
    """The device's settings after each of its trace events: [(time, baud, parity, data, stop)]."""
    states, state = [], {}
    for when, name, args in events:
        if device == "16550" and name == "serial_update_parameters":
            found = re.match(r"baudrate=(\d+) parity='(\w)' data=(\d+) stop=(\d+)", args)
            state = dict(zip(("baud", "parity", "data", "stop"), found.groups()))
        elif device == "FTDI" and name == "usb_serial_set_baud":
            state = dict(state, baud=re.search(r"baud rate (\d+)", args).group(1))
        elif device == "FTDI" and name == "usb_serial_set_data":
            found = re.search(r"parity (\w), data bits (\d+), stop bits (\d+)", args)
            state = dict(state, **dict(zip(("parity", "data", "stop"), found.groups())))
        else:
            continue
        if len(state) == 4:
            states.append((when, int(state["baud"]), state["parity"], int(state["data"]), int(state["stop"])))
    return states


def wendro_steps(machine, checks, device_name, device, end, on_step=None):
    """Steps wendro from its start row down to row 0, up to the top and down again. For every key
    it keeps the row, the label printed (or None) with its arrival time, and the last byte the
    line carried before the next key; `on_step`, if given, is called at that moment too."""
    wendro = Program(machine, "wendro", device, 3)
    console = machine.console
    steps = []
    row, since = WENDRO_START_ROW, wendro.since
    keys = "-" * WENDRO_START_ROW + "+" * (ROWS - 1) + "-" * (ROWS - 1)
    for key in [None] + list(keys):
        if key:
            row += 1 if key == "+" else -1
            since = console.mark()
            wendro.key(key)
        found = console.expect(LABEL, since, LABEL_TIMEOUT)
        # A few frames after the label, so the line carries the row's own byte.
        received, deadline = end.received, time.time() + 3
        while end.received < received + 3 and time.time() < deadline:
            time.sleep(0.05)
        time.sleep(0.2)
        found = found or console.expect(LABEL, since, 0)  # late, but still this key's
        label_time = console.arrival(found.end()) if found else None
        steps.append((row, int(found.group(1)) if found else None, label_time, end.last_byte, time.time()))
        if on_step:
            on_step()
    status = wendro.quit("q")
    checks.check(f"wendro on the {device_name} quits with status 0 on q", status == 0, f"status {status}")
    return steps, wendro.started


def check_wendro(checks, device_name, steps, started, events):
    states = [s for s in programming(events, device_name) if s[0] >= started]
    print(f"--- wendro on the {device_name}: row, label, what QEMU's trace shows the device ran")
    bad_labels, refused, previous = [], set(), None
    for row, label, label_time, byte, sampled in steps:
        if label is None:
            refused.add(row)
            # The old wave goes on: same programming and same byte as before the key.
            now = setting_at(states, sampled)
            kept = previous is not None and now[1:] == previous[0][1:] and byte == previous[1]
            print(f"  row {row:2}: refused, prints nothing; line still {describe(now, byte)}")
            if not kept:
                bad_labels.append(f"row {row} refused but the line changed")
            continue
        state = setting_at(states, label_time)
        hz = wave_hz(state[1], state[2], state[3], state[4], byte)
        off = (label - hz) / hz
        print(f"  row {row:2}: label {label:5} Hz, line {describe(state, byte)} = {hz:9.2f} Hz ({off:+.2%})")
        if abs(off) > TOLERANCE:
            bad_labels.append(f"row {row} label {label} Hz, line {hz:.2f} Hz")
        previous = (state, byte)
    visited = {row for row, *_ in steps}
    checks.check(f"wendro on the {device_name} visits all {ROWS} rows", visited == set(range(ROWS)))
    checks.check(f"wendro on the {device_name}: every label is the traced rate within 2 %, a refused row "
                 f"leaves the old wave", not bad_labels, "; ".join(bad_labels))
    checks.check(f"wendro on the {device_name} refuses rows {sorted(REFUSED[device_name])} only",
                 refused == REFUSED[device_name], f"refused {sorted(refused)}")
    return refused


def describe(state, byte):
    if not state:
        return "not programmed"
    return f"{state[1]} baud {state[3]}{state[2]}{state[4]}" + (f" byte {byte:02X}" if byte is not None else "")


def tessik_bursts(machine, checks):
    machine.uart.capture(True)
    tessik = Program(machine, "tessik", UART, 3)
    console = machine.console
    console.expect(">", tessik.since, 10)
    burst_times = []
    for count in (1, 6, 14, 1280):
        since = console.mark()
        tessik.key(f"{count}\\n")
        # The burst, then a second of bell, then the next prompt.
        prompt = console.expect(">", since, 20)
        sent = machine.uart.capture(True)
        burst_times.append(time.time())
        got = pulses(sent)
        checks.check(f"tessik's count {count} puts exactly {count} pulses on the line",
                     prompt is not None and got == count,
                     f"{len(sent)} bytes {sent[:4].hex(' ')}{'...' if len(sent) > 4 else ''}, {got} pulses")
    status = tessik.quit("q\\n")
    machine.uart.capture(False)
    checks.check("tessik quits with status 0 on q", status == 0, f"status {status}")
    return burst_times


def kadrel_plug(machine, checks):
    kadrel = Program(machine, "kadrel", UART, 3)
    console = machine.console
    time.sleep(1)
    for count in (1152, 4000):
        since = console.mark()
        machine.uart.loop_back(count)
        found = console.expect(r"(\d+\.\d{3}) Sec\.", since, 20)
        want = f"{count * 10 / 38400:.3f}"
        checks.check(f"kadrel reports {count} bytes returned at 38400 8N1 as {want} s",
                     found is not None and found.group(1) == want and machine.uart.returned == count,
                     f"printed {found.group(1) if found else 'nothing'}, returned {machine.uart.returned}")
    status = kadrel.quit("q")
    checks.check("kadrel quits with status 0 on q", status == 0, f"status {status}")


SEVEN_SEGMENTS = [0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x27, 0x7F, 0x6F, 0x77, 0x7C, 0x39, 0x5E, 0x79, 0x71]


def loopback_inputs(cycles):
    """What lorvel must print when CTS follows RTS. Each exchange sets RTS, then eight times
    samples CTS (first sample to bit 0) before putting the next output bit, most significant
    first, on RTS; an asserted CTS reads as 0. The digit counts up from 0 and carries the
    decimal point in the cycle after a printed change."""
    printed, previous, point = [], None, 0
    for cycle in range(cycles):
        output = SEVEN_SEGMENTS[cycle % 16] | point
        rts, sampled = 1, 0
        for bit in range(8):
            sampled |= rts << bit
            rts = (output >> (7 - bit)) & 1
        value = 255 - sampled
        point = 0x80 if value != previous else 0
        if value != previous:
            printed.append(value)
        previous = value
    return printed


def lorvel_loopback(machine, checks):
    status, text = machine.console.sh(f"modem_loop {UART}")
    checks.check("the 16550 is in modem loopback", status == 0, text.strip())
    lorvel = Program(machine, "lorvel", UART, 3)
    time.sleep(8)
    status = lorvel.quit("x")
    printed = [int(v, 16) for v in re.findall(r"(?m)^  ([0-9a-f]{2})$", lorvel.output())]
    want = loopback_inputs(40)[: len(printed)]
    checks.check("lorvel in the 16550's loopback prints what RTS fed back to CTS",
                 len(printed) >= 4 and printed == want,
                 f"printed {' '.join(f'{v:02x}' for v in printed)}; want {' '.join(f'{v:02x}' for v in want)}")
    checks.check("lorvel quits with status 0 on a key", status == 0, f"status {status}")


def cpu_ticks(console, pids):
    """(uptime in seconds, {pid: utime + stime in clock ticks})"""
    _, text = console.sh("cat /proc/uptime; " + "; ".join(f"echo {p} $(cat /proc/{p}/stat)" for p in pids))
    lines = text.split("\n")
    ticks = {}
    for line in lines[1:]:
        fields = line.split()
        if len(fields) > 15:
            after_name = line.rsplit(")", 1)[1].split()
            ticks[int(fields[0])] = int(after_name[11]) + int(after_name[12])
    return float(lines[0].split()[0]), ticks


def usb_ttys(console):
    """The guest's ttyUSB device for each port of the USB controller."""
    _, text = console.sh("for t in /sys/class/tty/ttyUSB*; do echo ${t##*/} $(readlink -f $t/device); done")
    found = re.finditer(r"(ttyUSB\d+) \S*/\d+-(\d+):1\.0/", text)
    return {int(m.group(2)): f"/dev/{m.group(1)}" for m in found}


def unplug(machine, checks, by_port):
    """wendro, tessik and kadrel each on an FTDI adapter of its own; the adapters are removed
    while they run, and the programs wait for them without spinning; plugged in again one by one,
    each adapter comes back under its name and its program carries on."""
    console = machine.console
    programs = {"wendro": (2, 4), "tessik": (3, 5), "kadrel": (4, 6)}
    running = {name: Program(machine, name, by_port[port], fd, f"/tmp/{name}.out")
               for name, (port, fd) in programs.items()}
    time.sleep(2)
    for port, _ in programs.values():
        machine.hmp(f"device_del ftdi{port}")
    _, left = console.sh("sleep 2; ls /dev | grep -c ttyUSB")
    checks.check("the three adapters are gone from the guest", left.strip() == "1",
                 f"{left.strip()} ttyUSB left")
    # tessik writes only when asked: a burst to the missing adapter, which waits for it.
    running["tessik"].key("14\\n")
    pids = [p.pid for p in running.values()]
    start_uptime, start_ticks = cpu_ticks(console, pids)
    time.sleep(4)
    end_uptime, end_ticks = cpu_ticks(console, pids)
    for n, (port, _) in enumerate(programs.values()):
        machine.hmp(f"device_add usb-serial,bus=xhci.0,port={port},id=ftdi{port},chardev=line{port}")
        console.sh(f"i=0; until [ $(ls /dev | grep -c ttyUSB) -gt {n + 1} ] || [ $i -ge 50 ]; do sleep 0.2; "
                   "i=$((i + 1)); done")
    console.sh("i=0; until [ $(cat /tmp/*.out | grep -c ' is back$') -ge 3 ] || [ $i -ge 50 ]; do sleep 0.2; "
               "i=$((i + 1)); done")
    back = usb_ttys(console)
    checks.check("the adapters plugged in again are back under their names", back == by_port, str(back))
    print("--- the FTDI adapters removed under the running programs, and plugged in again")
    for name, program in running.items():
        seconds = (end_ticks.get(program.pid, 0) - start_ticks.get(program.pid, 0)) / CLOCK_TICKS
        cpu = 100 * seconds / (end_uptime - start_uptime)
        status = program.quit("q\\n" if name == "tessik" else "q")
        output = program.output()
        print(f"  {name}: {cpu:.0f} % CPU while away, exit status {status}, output: {output.replace(chr(10), '|')}")
        said = re.findall(rf"(?m){name}: .*$", output)
        port = by_port[programs[name][0]]
        checks.check(f"{name} waits for its adapter under 20 % CPU, is back with it and quits with status 0 on q",
                     cpu < 20 and status == 0 and said == [f"{name}: {port} went away; waiting for it (q quits)",
                                                           f"{name}: {port} is back"], f"{cpu:.0f} %, said {said}")


def list_ports(machine, checks, by_port, runs):
    """wendro --list on the 16550s and the FTDI adapters: the fields as the guest's sysfs has
    them, the rows it would refuse (held to what wendro did, once the trace is read), the console
    refused, the ttyS nodes with no UART left out; a port tessik holds named as held by tessik; a
    user outside dialout told it is a permission problem. It times the list, with 32 ttyS nodes."""
    console = machine.console
    # Ten runs between two readings of the uptime (10 ms steps): the time of one within 1 ms.
    _, text = console.sh("a=$(cut -d' ' -f1 /proc/uptime); for i in 0 1 2 3 4 5 6 7 8 9; do "
                         "wendro --list >/tmp/list.out; done; echo took $a $(cut -d' ' -f1 /proc/uptime)")
    took = [float(b) - float(a) for a, b in re.findall(r"took (\S+) (\S+)", text)]
    _, text = console.sh("cat /tmp/list.out; echo ttys=$(ls /sys/class/tty | grep -c '^ttyS'); "
                         "cat /sys/class/tty/ttyS1/type /sys/class/tty/ttyS1/uartclk")
    blocks = chips.listed_blocks(text.split("ttys=")[0])
    ttys, uart_type, clock = (int(n) for n in re.findall(r"ttys=(\d+)\s+(\d+)\s+(\d+)", text)[0])
    one = took[0] * 100 if took else float("nan")  # ms for one of the ten
    print(f"vm: wendro --list took {one:.1f} ms a run (ten runs), {len(blocks)} ports listed, {ttys} ttyS nodes",
          flush=True)
    print("vm: wendro --list printed:\n" + text.split("ttys=")[0].replace("\r", "").strip(), flush=True)
    checks.check("wendro --list takes under a tenth of a second in the emulated machine",
                 one < 100, f"{one:.1f} ms")
    uart = blocks.get(UART, [])
    checks.check("--list on the 16550: its driver, UART type and clock as sysfs has them",
                 uart[:2] == ["  kernel name ttyS1, driver serial",
                              f"  chip: 16550A UART, clock {clock} Hz ({clock // 16} baud base)"] and uart_type == 4,
                 f"{uart[:2]}; sysfs type {uart_type} clock {clock}")
    checks.check("--list refuses ttyS0, the kernel's console",
                 "  refused: it carries the system console" in blocks.get("/dev/ttyS0", []),
                 str(blocks.get("/dev/ttyS0")))
    checks.check(f"--list leaves out the {ttys - 3} ttyS nodes with no UART behind them",
                 f"  Left out: {ttys - 3} ttyS nodes with no UART behind them." in text, text[-300:])
    ftdi = blocks.get(by_port[1], [])
    _, bcd = console.sh(f"cat $(readlink -f /sys/class/tty/{by_port[1][5:]}/device)/../../bcdDevice")
    usb = chips.sysfs_usb_line(console, by_port[1][5:])
    checks.check("--list on QEMU's FTDI: its USB fields as sysfs has them, an FT232B",
                 len(ftdi) > 2 and ftdi[1].strip() == usb and
                 ftdi[2] == f"  chip: FTDI FT232B (bcdDevice {bcd.strip()})", f"{ftdi[:3]}; sysfs {usb}")
    runs["listed"] = {"16550": set(chips.listed_rows(uart)), "FTDI": set(chips.listed_rows(ftdi))}

    tessik = Program(machine, "tessik", UART, 5, out="/tmp/tessik-held.out")
    time.sleep(1)
    _, text = console.sh("wendro --list")
    held = f"  held by another program: process {tessik.pid} (tessik) holds its lock"
    checks.check("--list names the 16550 tessik holds as held, by tessik",
                 held in chips.listed_blocks(text).get(UART, []), str(chips.listed_blocks(text).get(UART)))
    checks.check("tessik quits with status 0 on q", tessik.quit("q\\n") == 0)

    _, mode = console.sh(f"stat -c '%a %g' {UART}")
    console.sh("mkdir -p /etc; printf 'root:x:0:0::/:/bin/sh\\nnobody:x:65534:65534::/:/bin/sh\\n' >/etc/passwd; "
               "printf 'root:x:0:\\ndialout:x:20:\\nnogroup:x:65534:\\n' >/etc/group; "
               f"chgrp 20 {UART}; chmod 660 {UART}")
    _, text = console.sh("su -s /bin/sh -c 'wendro --list' nobody")
    console.sh(f"chmod {mode.split()[0]} {UART}; chgrp {mode.split()[1]} {UART}")
    lines = chips.listed_blocks(text).get(UART, [])
    problem = [line for line in lines if line.startswith("  no permission: ")]
    checks.check("--list tells a user outside dialout that the 16550 is a permission problem, dialout gives it",
                 problem and f"{UART} is root:dialout 0660" in problem[0] and "the group dialout gives it" in problem[0],
                 str(lines))


def console_refused(machine, checks):
    """The guest's kernel console is on the 16550 at ttyS0 (console=ttyS0): a program refuses it,
    by its path, its bare name and a symlink, and leaves it untouched for the shell that runs there.
    Runs last: a program that took the console would cut this stage off from the guest."""
    console = machine.console
    console.sh("ln -sf /dev/ttyS0 /tmp/console-link")
    for port in ("/dev/ttyS0", "ttyS0", "/tmp/console-link"):
        # One line: the guest's shell reads each line anew, which resets $?.
        _, text = console.sh(f"tessik {port} </dev/null >/tmp/console.out 2>&1; "
                             f"echo status=$? printed=$(wc -c </tmp/console.out)")
        checks.check(f"tessik {port}, the kernel's console, ends with status 2 and prints nothing",
                     "status=2 printed=0" in text, text.strip())


def play(tag, boot, scenarios, afterwards):
    """Boots a machine (`boot()`), plays the (name, scenario) pairs `scenarios(machine, checks)`
    gives, stops the machine and hands its trace to `afterwards(machine, checks, events)`. Prints
    the counts last, with `tag`; returns the exit status."""
    stage_started = float(os.environ.get("VM_STAGE_STARTED", time.time()))
    checks = Checks()
    try:
        machine = boot()
    except Exception:
        traceback.print_exc()
        checks.check("the machine boots", False)
        machine = None
    if machine:
        print(f"{tag}: booted in {machine.boot_seconds:.1f} s", flush=True)
        for name, scenario in scenarios(machine, checks):
            print(f"--- {name}", flush=True)
            try:
                scenario()
            except Exception:  # a scenario that broke off is one failure; the others still run
                traceback.print_exc()
                checks.check(f"{name} ran to its end", False)
        machine.stop()
        afterwards(machine, checks, machine.trace())
        print(f"{tag}: boot took {machine.boot_seconds:.1f} s")
    print(f"{tag}: stage took {time.time() - stage_started:.0f} s")
    print(f"{tag}: {checks.passed} passed, {checks.failed} failed")
    return 0 if checks.failed == 0 and checks.passed > 0 else 1


def main():
    kernel, initramfs, work = sys.argv[1:4]
    part = sys.argv[4] if len(sys.argv) > 4 else "all"
    runs = {}

    def scenarios(machine, checks):
        by_port = usb_ttys(machine.console)
        drivers = [
            ("wendro on the 16550", lambda: runs.update(uart=wendro_steps(machine, checks, "16550", UART,
                                                                            machine.uart))),
            ("tessik on the 16550", lambda: runs.update(tessik=tessik_bursts(machine, checks))),
            ("kadrel on the 16550", lambda: kadrel_plug(machine, checks)),
            ("lorvel on the 16550", lambda: lorvel_loopback(machine, checks)),
            ("wendro on the FTDI", lambda: runs.update(ftdi=wendro_steps(machine, checks, "FTDI", by_port[1],
                                                                           machine.ftdi))),
            ("the ports listed", lambda: list_ports(machine, checks, by_port, runs)),
            ("unplug", lambda: unplug(machine, checks, by_port)),
        ]
        # The posed chips come after the drivers: their ttyUSB devices would count as FTDI
        # adapters there. The console check comes last of all (see console_refused).
        posed = [("USB chips", lambda: chips.run(machine, checks, work))]
        console = [("the kernel's console refused", lambda: console_refused(machine, checks))]
        return posed if part == "chips" else drivers + posed + console

    def afterwards(machine, checks, events):
        if "tessik" in runs:
            states = programming(events, "16550")
            ran = [describe(setting_at(states, when), None) for when in runs["tessik"]]
            checks.check("the trace shows the 16550 at 600 baud 8N1 for each of tessik's bursts",
                         set(ran) == {"600 baud 8N1"}, ", ".join(ran))
        for key, device in (("uart", "16550"), ("ftdi", "FTDI")):
            if key in runs:
                refused = check_wendro(checks, device, *runs[key], events)
                if "listed" in runs:
                    listed = runs["listed"][device]
                    checks.check(f"--list on the {device} names the rows wendro refused there",
                                 listed == refused, f"listed {sorted(listed)}, refused {sorted(refused)}")

    adapters = 0 if part == "chips" else USB_ADAPTERS
    return play("vm", lambda: Machine(kernel, initramfs, work, usb_adapters=adapters), scenarios, afterwards)


if __name__ == "__main__":
    sys.exit(main())
