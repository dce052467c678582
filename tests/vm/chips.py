"""The USB serial chips QEMU has no model of, posed in the guest by usb_chip on FunctionFS gadgets
behind dummy_hcd so that the kernel's own drivers (ch341, cp210x, pl2303, cdc_acm) bind to them.
Every control request a driver sends is logged on the guest's ttyS2; this module decodes what the
chip would make of it, with each chip's own arithmetic as its maker and its driver describe it,
and holds the programs' output to that."""

import re
import time

from line import pulses, setting_at, wave_hz
from machine import LineLog

MEGA = 1_000_000


class Chip:
    """A posed chip: its USB identity, the answers usb_chip gives for it, and how the chip turns
    the registers its driver writes into a rate and a frame. `setters` holds the (request type,
    request) pairs that set the rate or the frame."""

    def __init__(self, name, vendor, product, bcd, device_class=0, answers=(), acm=False, tty="ttyUSB"):
        self.name, self.vendor, self.product, self.bcd = name, vendor, product, bcd
        self.device_class, self.answers, self.acm, self.tty = device_class, answers, acm, tty

    def decode(self, lines):
        """The chip's line after each logged request: [(time, rate, parity, data bits, stop
        bits)], rate None where the chip cannot make what was written."""
        states, registers = [], {}
        for when, request in lines:
            state = self.apply(registers, request)
            if state:
                states.append((when, *state))
        return states


def control(line):
    """(type, request, value, index, data) of a logged control request, or None."""
    found = re.match(r"ctl (\w\w) (\w\w) (\w{4}) (\w{4}) \w{4}(?: (\w+))?$", line)
    if not found:
        return None
    kind, request, value, index = (int(found.group(i), 16) for i in range(1, 5))
    return kind, request, value, index, bytes.fromhex(found.group(5) or "")


PARITY = "NOEMS"  # the numbering CDC-ACM, the PL2303 and the CP210x share


class Ch341(Chip):
    """Request 0x9A writes two registers at once: wValue names them (low byte first), wIndex
    holds their values. Registers 0x12 (prescaler: ps in bits 0-1, fact in bit 2) and 0x13
    (256 - divisor) make 48 MHz / (2^(12 - 3 ps - fact) x divisor). From version 0x30 register
    0x18 is the line control (data bits - 5 in bits 0-1, parity on 0x08, even 0x10, mark/space
    0x20, two stop bits 0x04); older chips keep their line control elsewhere and stay at 8N1.
    The chips with the limited prescaler have no fact = 1 below ps = 3."""

    setters = {(0x40, 0x9A)}

    def __init__(self, name, version, limited=False):
        answers = [f"5f:0000={version:02x}00"] + (["95:0005=stall"] if limited else [])
        super().__init__(name, 0x1A86, 0x7523, 0x0264, answers=answers)
        self.version, self.limited = version, limited

    def apply(self, registers, request):
        kind, req, value, index, _ = request
        if (kind, req) != (0x40, 0x9A):
            return None
        registers[value & 0xFF] = index & 0xFF
        registers[value >> 8] = index >> 8
        if 0x12 not in registers or 0x13 not in registers:
            return None
        ps, fact = registers[0x12] & 3, (registers[0x12] >> 2) & 1
        divisor = 256 - registers[0x13]
        rate = 48 * MEGA / (2 ** (12 - 3 * ps - fact) * divisor)
        if self.limited and ps < 3 and fact == 1:
            rate = None
        if self.version < 0x30 or 0x18 not in registers:
            return rate, "N", 8, 1
        lcr = registers[0x18]
        parity = "N"
        if lcr & 0x08:
            parity = ("S" if lcr & 0x10 else "M") if lcr & 0x20 else ("E" if lcr & 0x10 else "O")
        return rate, parity, 5 + (lcr & 3), 2 if lcr & 0x04 else 1


# The CP2102's rates (Silicon Labs AN205, table 1): a requested rate runs as the first of these
# whose range reaches it.
CP2102_RATES = [(300, 300), (600, 600), (1200, 1200), (1800, 1800), (2400, 2400), (4000, 4000),
                (4800, 4803), (7200, 7207), (9600, 9612), (14400, 14428), (16000, 16062),
                (19200, 19250), (28800, 28912), (38400, 38601), (51200, 51558), (56000, 56280),
                (57600, 58053), (64000, 64111), (76800, 77608), (115200, 117028), (128000, 129347),
                (153600, 156868), (230400, 237832), (250000, 254234), (256000, 273066),
                (460800, 491520), (500000, 567138), (576000, 670254), (921600, 2**32)]


class Cp210x(Chip):
    """Request 0x1E sets the rate (4 bytes), request 0x03 the line control in wValue: data bits
    in bits 8-11, parity (N O E M S) in bits 4-7, stop bits (1, 1.5, 2) in bits 0-3. The CP2102
    runs the rate its table gives; the CP2104 divides 48 MHz by 2 x prescale x the closest
    integer (prescale 4 up to 365 baud, else 1)."""

    setters = {(0x41, 0x1E), (0x41, 0x03)}

    def __init__(self, name, part):
        super().__init__(name, 0x10C4, 0xEA60, 0x0100, answers=[f"ff:370b={part:02x}"])
        self.part = part

    def chip_rate(self, asked):
        if self.part == 0x02:
            if asked < 300:
                return None
            return next(rate for rate, high in CP2102_RATES if asked <= high)
        prescale = 4 if asked <= 365 else 1
        divisor = round(48 * MEGA / (2 * prescale * asked))
        return 48 * MEGA / (2 * prescale * divisor)

    def apply(self, registers, request):
        kind, req, value, _, data = request
        if (kind, req) == (0x41, 0x1E) and len(data) == 4:
            registers["rate"] = self.chip_rate(int.from_bytes(data, "little"))
        elif (kind, req) == (0x41, 0x03):
            registers["frame"] = (PARITY[(value >> 4) & 0xF], (value >> 8) & 0xF, (1, 1.5, 2)[value & 3])
        else:
            return None
        if "rate" not in registers or "frame" not in registers:
            return None
        return (registers["rate"], *registers["frame"])


# The rates a PL2303 H, HX, TA or TB makes when given directly; others give 9600.
PL2303_DIRECT = {75, 150, 300, 600, 1200, 1800, 2400, 3600, 4800, 7200, 9600, 14400, 19200,
                 28800, 38400, 57600, 115200, 230400, 460800, 614400, 921600, 1228800, 2457600,
                 3000000, 6000000}


class Pl2303(Chip):
    """The line request (class request 0x20, 7 bytes): the rate in bytes 0-3, stop bits (1, 1.5,
    2), parity (N O E M S) and data bits in bytes 4-6. With bit 31 set the rate is a divisor of
    12 MHz x 32: mantissa x 4^exponent (H and HX: mantissa bits 0-8, exponent bits 9-11) or
    mantissa x 2^exponent (TA and TB: mantissa bits 0-10, exponent bit 16 and bits 13-15).
    Otherwise it is the rate itself, one of the chip's list; the HXN takes any rate there and
    makes it in its firmware."""

    setters = {(0x21, 0x20)}

    def __init__(self, name, kind, product=0x2303, bcd=0x0300, device_class=0):
        super().__init__(name, 0x067B, product, bcd, device_class)
        self.kind = kind

    def chip_rate(self, raw):
        value = int.from_bytes(raw, "little")
        if value & 0x80000000:
            if self.kind in ("TA", "TB"):
                mantissa = value & 0x7FF
                exponent = ((value >> 16) & 1) | ((value >> 12) & 0xE)
                return 12 * MEGA * 32 / (mantissa * 2**exponent)
            mantissa, exponent = value & 0x1FF, (value >> 9) & 7
            return 12 * MEGA * 32 / (mantissa * 4**exponent)
        if self.kind == "HXN" or value in PL2303_DIRECT:
            return value
        return 9600

    def apply(self, registers, request):
        kind, req, _, _, data = request
        if (kind, req) != (0x21, 0x20) or len(data) != 7:
            return None
        return self.chip_rate(data[:4]), PARITY[data[5]], data[6], (1, 1.5, 2)[data[4]]


class ArduinoBridge(Chip):
    """CDC-ACM SET_LINE_CODING (class request 0x20, 7 bytes: rate, stop bits, parity, data bits)
    to the Uno's ATmega16U2 bridge firmware: its UART runs at 16 MHz / 8 / (UBRR + 1) with
    UBRR = (16 MHz / 8 + rate / 2) / rate - 1 in integers, 57600 alone at 16 MHz / 16 / (UBRR
    + 1) with UBRR = (16 MHz / 16 + rate / 2) / rate - 1; UBRR has 12 bits. It sets odd or even
    parity and two stop bits as asked, no parity for anything else, 5 data bits unless 6 to 8
    are asked."""

    setters = {(0x21, 0x20)}

    def __init__(self, name):
        super().__init__(name, 0x2341, 0x0043, 0x0001, device_class=2, acm=True, tty="ttyACM")

    def apply(self, registers, request):
        kind, req, _, _, data = request
        if (kind, req) != (0x21, 0x20) or len(data) != 7:
            return None
        asked = int.from_bytes(data[:4], "little")
        if asked == 0:
            return None
        clock = 16 * MEGA // (16 if asked == 57600 else 8)
        ubrr = ((clock + asked // 2) // asked - 1) & 0xFFF
        parity = {1: "O", 2: "E"}.get(data[5], "N")
        bits = data[6] if data[6] in (6, 7, 8) else 5
        return clock / (ubrr + 1), parity, bits, 2 if data[4] == 2 else 1


CHIPS = [
    Ch341("ch341-v31", 0x31),
    Ch341("ch341-v27", 0x27),
    Ch341("ch340-limited", 0x31, limited=True),
    Cp210x("cp2102", 0x02),
    Cp210x("cp2104", 0x04),
    Pl2303("pl2303-ta", "TA", bcd=0x0300),
    Pl2303("pl2303-tb", "TB", bcd=0x0500),
    Pl2303("pl2303-h", "H", device_class=2),
    Pl2303("pl2303-hxn", "HXN", product=0x23A3, bcd=0x0100),
    ArduinoBridge("arduino-uno"),
]
# The rows each chip cannot make, or cannot frame, within 2 %: 110 baud (row 0) clamps to 300 on
# the CP210x; the Arduino bridge's 12-bit register wraps 110 and 300 baud (rows 0, 1, 2, 6) and
# runs 57600 and 115200 (rows 24, 28) 2.1 % fast. The old CH341 frames 8N1 only: wendro's start
# row is 8E2, so it ends at once with status 4.
REFUSED = {"cp2102": {0}, "cp2104": {0}, "arduino-uno": {0, 1, 2, 6, 24, 28}}
CANNOT_START = {"ch341-v27"}
ECHO = 1152  # bytes kadrel gets back: 0.300 s at 38400 8N1
GADGETS = "/sys/kernel/config/usb_gadget"


# wendro's rows by the frequency it prints, and its rows of even parity and two stop bits.
ROW_HZ = [18, 30, 50, 60, 100, 120, 150, 200, 240, 300, 400, 480, 600, 800, 960, 1200, 1440, 1600,
          1920, 2400, 3200, 3840, 4800, 5600, 5760, 6400, 7200, 9600, 11520, 19200]
ROWS_8E2 = {0, 2, 4, 7, 10, 13, 17, 20, 25}
# What the list names each posed chip, as its maker numbers it.
LISTED_CHIP = {"ch341-v31": "CH340/CH341 version 0x31", "ch341-v27": "CH340/CH341 version 0x27",
               "ch340-limited": "CH340/CH341 version 0x31, limited prescaler", "cp2102": "CP2102",
               "cp2104": "CP2104", "pl2303-ta": "PL2303 TA or GT", "pl2303-tb": "PL2303 TB or GE",
               "pl2303-h": "PL2303 H", "pl2303-hxn": "PL2303 HXN (G series)",
               "arduino-uno": "Arduino Uno/Mega USB bridge (ATmega8U2/16U2)"}


def listed_blocks(text):
    """--list's output as {name: [indented lines]}; a name is a line at column 0 up to a blank."""
    blocks, name = {}, None
    for line in text.replace("\r", "").split("\n"):
        if line and not line[0].isspace():
            name = line.split()[0]
            blocks[name] = []
        elif line.strip() and name:
            blocks[name].append(line)
        else:
            name = None
    return blocks


def listed_rows(lines):
    """The rows a block refuses, by wendro's printed frequency: {row: why}."""
    rows = {}
    for line in lines:
        found = re.match(r"^\s+(\d+) Hz: (.*)$", line)
        if found and int(found.group(1)) in ROW_HZ:
            rows[ROW_HZ.index(int(found.group(1)))] = found.group(2)
    return rows


def sysfs_usb_line(console, tty):
    """The USB line the list should print for `tty`, from the guest's own sysfs."""
    _, text = console.sh(
        f"d=$(readlink -f /sys/class/tty/{tty}/device); [ -e $d/idVendor ] || d=$d/..; "
        "[ -e $d/idVendor ] || d=$d/..; for f in idVendor idProduct manufacturer product serial; do "
        "echo \"field $f $(cat $d/$f 2>/dev/null)\"; done")
    fields = dict(re.findall(r"(?m)^field (\w+) ?(.*?)\r?$", text))
    line = f"USB {fields.get('idVendor')}:{fields.get('idProduct')}"
    for key, title in (("manufacturer", "manufacturer"), ("product", "product"), ("serial", "serial number")):
        if fields.get(key):
            line += f', {title} "{fields[key]}"'
    return line


def list_chips(machine, checks, on):
    """wendro --list with every chip posed: each chip's block holds the USB fields the guest's
    sysfs shows and the chip as its maker names it, and not one control request that writes
    reaches a chip while the list runs. Returns {chip: refused rows}."""
    console, log = machine.console, machine.chip_log
    index = log.mark()
    _, text = console.sh("wendro --list", 60)
    print("chips: wendro --list printed:\n" + text.replace("\r", "").strip(), flush=True)
    time.sleep(1)  # the chips' log lines come over a serial line of their own
    blocks = listed_blocks(text)
    written = [(chip.name, line) for chip in on for _, line in chip_lines(log, chip, index)
               if control(line) and not control(line)[0] & 0x80]
    checks.check("no control request that writes reaches a chip while the list runs", not written,
                 "; ".join(f"{name} {line}" for name, line in written[:4]))
    refused = {}
    for chip, device in on.items():
        lines = blocks.get(device)
        if lines is None:
            checks.check(f"--list names the {chip.name} as {device}", False, text[-400:])
            continue
        tty = device.rsplit("/", 1)[1]
        usb = sysfs_usb_line(console, tty)
        got_usb = next((l.strip() for l in lines if l.startswith("  USB ")), None)
        got_chip = next((l.strip() for l in lines if l.startswith("  chip: ")), None)
        checks.check(f"--list on the {chip.name}: {tty}, its USB fields as sysfs has them and its chip",
                     lines[0].startswith(f"  kernel name {tty}, driver ") and got_usb == usb and
                     got_chip == f"chip: {LISTED_CHIP[chip.name]}", f"{lines[:3]}; sysfs {usb}")
        refused[chip] = listed_rows(lines)
    return refused


def gadget(chip, number):
    """The shell line that poses `chip` on dummy_udc.NUMBER, its serial number its name."""
    g = f"{GADGETS}/{chip.name}"
    args = " ".join(["acm"] * chip.acm + [f"echo={ECHO}"] + list(chip.answers))
    return (f"mkdir {g} {g}/strings/0x409 {g}/configs/c.1 {g}/functions/ffs.{chip.name} /dev/ffs/{chip.name} && "
            f"echo {chip.vendor:#06x} >{g}/idVendor && echo {chip.product:#06x} >{g}/idProduct && "
            f"echo {chip.bcd:#06x} >{g}/bcdDevice && echo {chip.device_class} >{g}/bDeviceClass && "
            f"echo {chip.name} >{g}/strings/0x409/serialnumber && "
            f"ln -s {g}/functions/ffs.{chip.name} {g}/configs/c.1/ && "
            f"mount -t functionfs {chip.name} /dev/ffs/{chip.name} && "
            f"(usb_chip {chip.name} /dev/ffs/{chip.name} {g}/UDC dummy_udc.{number} {args} >&7 2>&1 &)")


def tty_names(console):
    """{serial number: tty path} of the guest's USB serial ttys."""
    _, text = console.sh("for t in /sys/class/tty/ttyUSB* /sys/class/tty/ttyACM*; do "
                         "echo tty ${t##*/} $(cat $t/device/../serial $t/device/../../serial 2>/dev/null); done")
    return {serial: f"/dev/{name}" for name, serial in re.findall(r"(?m)^tty (\S+) (\S+)", text)}


def pose(machine, checks):
    """Poses every chip, each on a dummy_hcd controller of its own: {chip name: tty path}."""
    console = machine.console
    status, text = console.sh(
        "for m in configfs udc-core libcomposite usb_f_fs; do insmod /lib/modules/$m.ko || echo failed $m; done; "
        f"insmod /lib/modules/dummy_hcd.ko num={len(CHIPS)} || echo failed dummy_hcd; "
        "for m in ch341 cp210x pl2303 cdc-acm; do insmod /lib/modules/$m.ko || echo failed $m; done; "
        "mount -t configfs none /sys/kernel/config; mkdir -p /dev/ffs")
    checks.check("the gadget side and the chips' drivers load", "failed" not in text, text.strip())
    for number, chip in enumerate(CHIPS):
        status, text = console.sh(gadget(chip, number))
        checks.check(f"{chip.name} is posed", status == 0, text.strip())
    # Enumeration and the drivers' probes run in the background.
    console.sh(
        f"i=0; until [ $(for t in /sys/class/tty/tty[UA][SC][BM]*; do cat $t/device/../serial $t/device/../../serial; "
        f"done 2>/dev/null | grep -c -e ch34 -e cp210 -e pl2303 -e arduino) -ge {len(CHIPS)} ] || [ $i -ge 100 ]; do "
        f"sleep 0.2; i=$((i + 1)); done", 60)
    ttys = tty_names(console)
    missing = [chip.name for chip in CHIPS if chip.name not in ttys]
    checks.check("every posed chip has its tty", not missing, f"missing {missing}" if missing else
                 ", ".join(f"{c.name} {ttys[c.name]}" for c in CHIPS))
    return ttys


class Tagged:
    """A program in the guest on a chip's tty. Its keys come through a FIFO (held open by a
    sleeping writer, so that no key's writer ends the input), its output and exit status go to
    the chip log, each line tagged "NAME out"."""

    def __init__(self, machine, program, chip, device):
        self.console, self.log, self.chip = machine.console, machine.chip_log, chip
        self.fifo = f"/tmp/keys-{chip.name}"
        self.since = self.log.mark()
        _, text = self.console.sh(
            f"rm -f {self.fifo}; mkfifo {self.fifo}; "
            f"{{ {program} {device} <{self.fifo}; s=$?; echo; echo status $s; }} 2>&1 | "
            f"while IFS= read -r l; do echo \"{chip.name} out $l\"; done >&7 & "
            f"sleep 100000 >{self.fifo} & echo holder=$!")
        self.holder = int(re.search(r"holder=(\d+)", text).group(1))

    def expect(self, pattern, since=None, timeout=10):
        """A line of the program's output after log index `since` matching `pattern`."""
        prefix = re.escape(self.chip.name) + " out "
        return self.log.expect(prefix + pattern, self.since if since is None else since, timeout)

    def status(self, timeout=15):
        """The exit status once the program has ended, or None; lets the key writer go."""
        found = self.expect(r"status (\d+)$", timeout=timeout)
        self.console.sh(f"kill {self.holder}")
        return int(found.group(1)) if found else None


def keys(console, programs, key):
    console.sh("; ".join(f"printf '{key}' >{p.fifo}" for p in programs))


def chip_lines(log, chip, index=0):
    prefix = chip.name + " "
    return [(when, line[len(prefix):]) for when, line in log.since(index) if line.startswith(prefix)]


def states(log, chip):
    return chip.decode([(when, r) for when, r in ((w, control(l)) for w, l in chip_lines(log, chip)) if r])


def byte_at(log, chip, when):
    found = [int(line[5:], 16) for at, line in chip_lines(log, chip) if at <= when and line.startswith("byte ")]
    return found[-1] if found else None


def describe(state, byte=None):
    if not state:
        return "not programmed"
    rate = "no rate" if state[1] is None else f"{state[1]:.1f} baud"
    return f"{rate} {state[3]}{state[2]}{state[4]:g}" + (f" byte {byte:02X}" if byte is not None else "")


def within(state, baud):
    return state is not None and state[1] is not None and abs(state[1] - baud) <= 0.02 * baud


LABEL = r" *(\d+) Hz$"
LABEL_TIMEOUT = 12  # a key waits for the write in progress: up to 4.7 s at 300 baud
REFUSAL_TIMEOUT = 2.5  # after the driver was programmed, a label that has not come is not coming
SAME_SETTINGS_GRACE = 1.5  # a label with no programming logged: the log line may still come


def resolve(log, chip, label, seen, index):
    """How a key's step on `chip` ends, from the chip log after index `index`: (label, done),
    done False while it is still open. `label` is the label printed since the key, if any, first
    seen at host time `seen`. A row is taken once its label is printed, the driver has programmed
    the chip and the chip has taken bytes after that; a row whose settings are already on the
    line is taken with no programming (the driver sends nothing for them). A row is refused when
    the driver was programmed and no label has followed for REFUSAL_TIMEOUT."""
    lines = chip_lines(log, chip, index)
    setters = [i for i, (_, line) in enumerate(lines) if control(line) and control(line)[:2] in chip.setters]
    if label:
        if not setters:
            return int(label.group(1)), time.time() > seen + SAME_SETTINGS_GRACE
        return int(label.group(1)), any(line.startswith("byte ") for _, line in lines[setters[-1]:])
    return None, bool(setters) and time.time() > lines[setters[0]][0] + REFUSAL_TIMEOUT


def wendro_walk(machine, checks, on):
    """wendro on every chip of `on` ({chip: tty}) at once, stepped from its start row down to
    row 0 and up to the top. For every chip and key: (row, label or None, disturbed, byte,
    sample time); disturbed when a driver's request timed out before the chip answered it."""
    log, console = machine.chip_log, machine.console
    index = log.mark()
    programs = {chip: Tagged(machine, "wendro", chip, device) for chip, device in on.items()}
    steps = {chip: [] for chip in on}
    row = 13
    for key in [None] + list("-" * 13 + "+" * 29):
        if key:
            index = log.mark()
            row += 1 if key == "+" else -1
            keys(console, programs.values(), key)
        started, labels, seen, pending = time.time(), {}, {}, set(on)
        while pending and time.time() < started + LABEL_TIMEOUT:
            for chip in list(pending):
                label = programs[chip].expect(LABEL, index, 0)
                if label:
                    seen.setdefault(chip, time.time())
                labels[chip], done = resolve(log, chip, label, seen.get(chip), index)
                if done:
                    pending.discard(chip)
            time.sleep(0.1)
        time.sleep(0.3)
        sampled = time.time()
        for chip in on:
            disturbed = any(" failed: " in line for _, line in chip_lines(log, chip, index))
            steps[chip].append((row, labels.get(chip), disturbed, byte_at(log, chip, sampled), sampled))
    keys(console, programs.values(), "q")
    for chip, program in programs.items():
        status = program.status()
        checks.check(f"wendro on the {chip.name} quits with status 0 on q", status == 0, f"status {status}")
    return steps


def check_wendro(checks, chip, steps, started, log, rows=30):
    programmed = [s for s in states(log, chip) if s[0] >= started]
    print(f"--- wendro on the {chip.name}: row, label, what the driver programmed as the chip makes it")
    bad, refused, judged, previous = [], set(), set(), None
    for row, label, disturbed, byte, sampled in steps:
        now = setting_at(programmed, sampled)
        if disturbed:
            # The emulated machine stalled past a driver's timeout: the driver gave up on a
            # request, which no program can see. Such a step says nothing either way.
            print(f"  row {row:2}: not judged, a driver's request timed out; line {describe(now, byte)}")
            previous = None
            continue
        judged.add(row)
        if label is None:
            refused.add(row)
            kept = previous is None or (now is not None and now[1:] == previous[0][1:] and byte == previous[1])
            print(f"  row {row:2}: refused, prints nothing; line still {describe(now, byte)}")
            if not kept:
                bad.append(f"row {row} refused but the line changed")
            continue
        if now is None or now[1] is None or byte is None:
            bad.append(f"row {row} label {label}: line {describe(now, byte)}")
            print(f"  row {row:2}: label {label:5} Hz, line {describe(now, byte)}")
            continue
        hz = wave_hz(now[1], now[2], now[3], int(now[4]), byte)
        off = (label - hz) / hz
        print(f"  row {row:2}: label {label:5} Hz, line {describe(now, byte)} = {hz:9.2f} Hz ({off:+.2%})")
        if abs(off) > 0.02 or now[4] not in (1, 2):
            bad.append(f"row {row} label {label} Hz, line {hz:.2f} Hz")
        previous = (now, byte)
    visited = {row for row, *_ in steps}
    disturbed = len(steps) - sum(1 for step in steps if not step[2])
    want = REFUSED.get(chip.name, set()) & judged
    checks.check(f"wendro on the {chip.name} visits all {rows} rows, at most 4 steps disturbed by the machine",
                 visited == set(range(rows)) and disturbed <= 4, f"{disturbed} disturbed")
    checks.check(f"wendro on the {chip.name}: every label is the programmed rate and frame within 2 %, "
                 f"a refused row leaves the old wave", not bad, "; ".join(bad))
    checks.check(f"wendro on the {chip.name} refuses rows {sorted(REFUSED.get(chip.name, set()))} only",
                 refused == want, f"refused {sorted(refused)}")
    return refused, judged


def tessik_bursts(machine, checks, on):
    """tessik on every chip at once: a count of 14, sent as one burst at 600 8N1."""
    log = machine.chip_log
    programs = {chip: Tagged(machine, "tessik", chip, device) for chip, device in on.items()}
    time.sleep(1)
    index = log.mark()
    keys(machine.console, programs.values(), "14\\n")
    bursts = {chip: log.expect(rf"{re.escape(chip.name)} burst (\d+) (\w+)$", index, 15) for chip in on}
    sent_at = time.time()
    time.sleep(1.5)  # the bell
    keys(machine.console, programs.values(), "q\\n")
    for chip, program in programs.items():
        status = program.status()
        now = setting_at(states(log, chip), sent_at)
        sent = bytes.fromhex(bursts[chip].group(2)) if bursts[chip] else b""
        got = pulses(sent) if sent else None
        checks.check(f"tessik on the {chip.name}: 14 pulses at 600 8N1 as the chip makes it, status 0",
                     got == 14 and within(now, 600) and now[2:] == ("N", 8, 1) and status == 0,
                     f"{sent[:8].hex(' ')}: {got} pulses, line {describe(now)}, status {status}")


def kadrel_loops(machine, checks, on):
    """kadrel on every chip at once, each chip returning the next 1152 bytes it takes."""
    log = machine.chip_log
    programs = {chip: Tagged(machine, "kadrel", chip, device) for chip, device in on.items()}
    time.sleep(1.5)
    index = log.mark()
    machine.console.sh("for p in $(pidof usb_chip); do kill -USR1 $p; done")
    found = {chip: programs[chip].expect(r".*?(\d+\.\d{3}) Sec\.", index, 20) for chip in on}
    measured_at = time.time()
    keys(machine.console, programs.values(), "q")
    want = f"{ECHO * 10 / 38400:.3f}"
    for chip, program in programs.items():
        status = program.status()
        now = setting_at(states(log, chip), measured_at)
        printed = found[chip].group(1) if found[chip] else "nothing"
        checks.check(f"kadrel on the {chip.name} reports {ECHO} bytes returned at 38400 8N1 as {want} s, status 0",
                     printed == want and within(now, 38400) and now[2:] == ("N", 8, 1) and status == 0,
                     f"printed {printed}, line {describe(now)}, status {status}")


BACK_BOUND = 10  # s from a tty's return to the program's setting on the chip; TCG is slow


def returns(machine, checks, on):
    """Chips unbound from their UDC and bound again under running programs: wendro at row 16 on
    the CH341 by its ttyUSB name and on the CP2104 by a by-id name (made and removed as udev
    would), kadrel on the PL2303 TA; each says its port went away and is back, and its setting is
    on the chip again. A CH341 of another serial number that comes under the first's name while
    it is away is left alone."""
    console, log = machine.console, machine.chip_log
    ch341, cp2104, pl2303 = (next(c for c in on if c.name == n) for n in ("ch341-v31", "cp2104", "pl2303-ta"))
    other = Ch341("ch341-other", 0x31)
    # udev's by-id name for a device without manufacturer and product strings.
    link = f"/dev/serial/by-id/usb-{cp2104.vendor:04x}_{cp2104.product:04x}_{cp2104.name}-if00-port0"
    console.sh(f"mkdir -p /dev/serial/by-id; ln -s ../../{on[cp2104][5:]} {link}")
    ports = {ch341: on[ch341], cp2104: link, pl2303: on[pl2303]}
    programs = {chip: Tagged(machine, "kadrel" if chip is pl2303 else "wendro", chip, port)
                for chip, port in ports.items()}
    keys(console, [programs[ch341], programs[cp2104]], "+++")
    for chip in (ch341, cp2104):
        programs[chip].expect(r" *1440 Hz$", timeout=LABEL_TIMEOUT)
    time.sleep(1)
    before = {chip: (setting_at(states(log, chip), time.time()), byte_at(log, chip, time.time())) for chip in ports}

    def bind(chip, udc=None):
        return f"echo {'' if udc == '' else f'dummy_udc.{CHIPS.index(chip)}'} >{GADGETS}/{chip.name}/UDC; "

    def wait(device, gone=False):  # up to 10 s
        return (f"i=0; while [ {'' if gone else '! '}-e {device} ] && [ $i -lt 500 ]; do usleep 20000; "
                "i=$((i + 1)); done; ")

    def came(chip, device, make=""):  # logs "NAME node back" once the node is there (and linked)
        return wait(device) + f"[ -e {device} ] && {{ {make}echo '{chip.name} node back' >&7; }}; "

    def node_back(chip, index):
        found = log.expect(re.escape(chip.name) + " node back$", index, 5)
        return found and next(when for when, line in chip_lines(log, chip, index) if line == "node back")

    # Bound one at a time, in the order of their names: each takes the lowest free ttyUSB number.
    index = log.mark()
    console.sh("".join(bind(chip, "") for chip in ports) + f"rm {link}; " +
               "".join(wait(on[chip], gone=True) for chip in ports))
    for chip, program in programs.items():
        program.expect(".* went away", index)
    console.sh(gadget(other, CHIPS.index(ch341)) + "; " + came(other, on[ch341]) + bind(cp2104) +
               came(cp2104, on[cp2104], f"ln -s ../../{on[cp2104][5:]} {link}; ") + bind(pl2303) +
               came(pl2303, on[pl2303]), 60)
    back = {chip: node_back(chip, index) for chip in (cp2104, pl2303)}
    programs[pl2303].expect(".* is back$", index, 15)
    report = log.mark()
    console.sh(f"for p in $(pidof usb_chip); do grep -q {pl2303.name} /proc/$p/cmdline && kill -USR1 $p; done")
    reported = programs[pl2303].expect(r"\.* *(\d+\.\d{3}) Sec\.$", report, 20)
    # The other CH341 is not even opened: its driver would program it then.
    taken, under = node_back(other, index), tty_names(console).get(other.name)
    time.sleep(2.5)
    opened = [line for when, line in chip_lines(log, other, index) if taken and when > taken and control(line)]
    checks.check(f"another CH341 under {on[ch341]}: wendro waits and leaves it alone, not opened",
                 under == on[ch341] and not opened and not programs[ch341].expect(".* is back$", index, 0),
                 f"it came as {under}, {len(opened)} requests after")
    index = log.mark()
    console.sh(bind(other, "") + wait(on[ch341], gone=True) + bind(ch341) +
               came(ch341, on[ch341]), 30)
    back[ch341] = node_back(ch341, index)
    programs[ch341].expect(".* is back$", index, 15)
    time.sleep(1)
    names = tty_names(console)
    checks.check(f"kadrel on the {pl2303.name} back reports {ECHO} bytes returned as {ECHO * 10 / 38400:.3f} s",
                 reported and reported.group(1) == f"{ECHO * 10 / 38400:.3f}", reported and reported.group(0))
    keys(console, programs.values(), "q")
    for chip, program in programs.items():
        name, status = "kadrel" if chip is pl2303 else "wendro", program.status()
        said = [line[4:] for _, line in chip_lines(log, chip, program.since) if line.startswith("out ")]
        told = [line for line in said if not re.fullmatch(r"(\.* *\d+(\.\d{3} Sec\.| Hz)|status \d+|)", line)]
        want = [f"{name}: {ports[chip]} went away; waiting for it (q quits)", f"{name}: {ports[chip]} is back"]
        labels = sum(1 for line in said if line.endswith(" Hz"))
        checks.check(f"{name} on the {chip.name} by {ports[chip]}: went away, is back, nothing else; status 0 on q",
                     told == want and labels == (4 if name == "wendro" else 0) and status == 0,
                     f"said {told}, {labels} labels, status {status}")
        programmed = [s for s in states(log, chip) if back[chip] and s[0] >= back[chip]]
        again = next((s for s in programmed if s[1:] == before[chip][0][1:]), None)
        went_on = again and any(line == f"byte {before[chip][1]:02x}" for when, line in chip_lines(log, chip)
                                if when >= again[0])
        took = again[0] - back[chip] if again else None
        rate = within(before[chip][0], 38400 if name == "kadrel" else 14400)
        checks.check(f"{name} on the {chip.name} back as {on[chip]}: {describe(before[chip][0])} on the chip again "
                     f"within {BACK_BOUND} s of the tty's return, its bytes going on",
                     names.get(chip.name) == on[chip] and rate and again and went_on and took < BACK_BOUND,
                     f"back as {names.get(chip.name)}, {took and round(took, 2)} s from the tty's return; "
                     f"after: {', '.join(describe(s) for s in programmed[:3])}")


def run(machine, checks, work):
    """Poses the chips and runs wendro (down to row 0 and up through every row), tessik at 600
    8N1 and kadrel at 38400 8N1 on each, every program on all chips at once; then takes three
    chips away under running programs and brings them back."""
    started = time.time()
    ttys = pose(machine, checks)
    print(f"vm: chips posed in {time.time() - started:.1f} s", flush=True)
    on = {chip: ttys[chip.name] for chip in CHIPS if chip.name in ttys}
    try:
        listed = list_chips(machine, checks, on)
        for chip in [c for c in on if c.name in CANNOT_START]:
            wendro = Tagged(machine, "wendro", chip, on[chip])
            status = wendro.status()
            label = wendro.expect(LABEL, timeout=0)
            checks.check(f"wendro on the {chip.name} cannot start its 8E2 row: status 4, nothing printed",
                         status == 4 and not label, f"status {status}")
            rows = set(listed.get(chip, {}))
            checks.check(f"--list on the {chip.name} refuses the 8E2 rows, its start among them",
                         rows == ROWS_8E2, f"listed {sorted(rows)}")
        walking = {chip: device for chip, device in on.items() if chip.name not in CANNOT_START}
        wendro_started = time.time()
        steps = wendro_walk(machine, checks, walking)
        for chip in walking:
            refused, judged = check_wendro(checks, chip, steps[chip], wendro_started, machine.chip_log)
            rows = set(listed.get(chip, {}))
            checks.check(f"--list on the {chip.name} names the rows wendro refused there",
                         rows & judged == refused, f"listed {sorted(rows)}, refused {sorted(refused)}")
        tessik_bursts(machine, checks, on)
        kadrel_loops(machine, checks, on)
        returns(machine, checks, on)
    finally:
        with open(f"{work}/chips.log", "w") as saved:
            saved.writelines(f"{when:.3f} {line}\n" for when, line in machine.chip_log.since(0))
    print(f"vm: the chips took {time.time() - started:.0f} s", flush=True)
