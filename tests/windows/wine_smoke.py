#!/usr/bin/env python3
"""Smoke tests of the Windows programs under Wine.

COM5 is pointed at a pseudo-terminal: the programs run their real Win32 port code, and this
script sits at the master end, where it sees what they transmit and types what they receive.
Wine's serial code has no modem lines and rounds unusual baud rates, so lorvel's shift exchange
and wendro's rows at 14400 and 56000 baud cannot be shown here; the bench tests cover them.

Usage: wine_smoke.py BUILD_DIR   (WINEPREFIX and WINEDEBUG as the caller set them)
"""
import fcntl
import os
import pty
import re
import select
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

PORT_ARGUMENT = "5"
START_TIMEOUT = 30.0  # a Wine process can take seconds to start on a loaded machine
EXIT_TIMEOUT = 30.0


class Collector:
    """Reads a file descriptor on a thread of its own, so no writer ever stalls on a full pipe."""

    def __init__(self, fd):
        self.fd = fd
        self.lock = threading.Lock()
        self.data = bytearray()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            try:
                ready, _, _ = select.select([self.fd], [], [], 0.1)
                if not ready:
                    continue
                chunk = os.read(self.fd, 65536)
            except (OSError, ValueError):
                return
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def snapshot(self):
        with self.lock:
            return bytes(self.data)

    def take(self):
        with self.lock:
            chunk = bytes(self.data)
            self.data.clear()
            return chunk

    def wait_for(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate(self.snapshot()):
                return True
            time.sleep(0.05)
        return predicate(self.snapshot())


class SerialLine:
    """A pseudo-terminal whose slave Wine opens as COM5; the master end is the far side."""

    def __init__(self, link_dir):
        self.link = os.path.join(link_dir, "com" + PORT_ARGUMENT)
        self.plug()

    def plug(self):
        self.master, self.slave = pty.openpty()
        # A serial port passes bytes untouched: no echo, no line editing, no CR/LF mapping.
        tty.setraw(self.slave)
        os.symlink(os.ttyname(self.slave), self.link)
        self.received = Collector(self.master)

    # The terminal closed, as an adapter pulled out hangs up its tty, and its link gone.
    def unplug(self):
        os.close(self.master)
        os.close(self.slave)
        os.unlink(self.link)
        self.received.thread.join()  # before a new terminal can get its descriptor's number

    def send(self, data):
        os.write(self.master, data)

    def set_speed(self, speed):
        settings = termios.tcgetattr(self.slave)
        settings[4] = settings[5] = speed
        termios.tcsetattr(self.slave, termios.TCSANOW, settings)

    def output_speed(self):
        return termios.tcgetattr(self.slave)[5]

    def drain(self):
        time.sleep(0.2)
        self.received.take()


# Every program started, so that a failed case can tell whether Wine itself failed in it.
started_programs = []


class Program:
    # `stdout`: a pipe's write end for the program's output, which the caller reads itself.
    def __init__(self, build_dir, name, *args, stdout=None):
        started_programs.append(self)
        exe = os.path.join(build_dir, name, name + ".exe")
        self.process = subprocess.Popen(["wine", exe, *args], stdin=subprocess.PIPE,
                                        stdout=stdout or subprocess.PIPE, stderr=subprocess.PIPE)
        self.stdout = Collector(self.process.stdout.fileno()) if stdout is None else None
        self.stderr = Collector(self.process.stderr.fileno())

    def type(self, text):
        self.process.stdin.write(text)
        self.process.stdin.flush()

    def end_input(self):
        self.process.stdin.close()

    def output(self):
        return self.stdout.snapshot().decode("latin-1").replace("\r\n", "\n")

    def wait_output(self, pattern, timeout=START_TIMEOUT):
        found = self.stdout.wait_for(
            lambda data: re.search(pattern, data.decode("latin-1").replace("\r\n", "\n")),
            timeout)
        check(found, "no output matching %r; stdout %r" % (pattern, self.output()))

    def wait_exit(self, timeout=EXIT_TIMEOUT):
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise Failure("did not end within %.0f s; stdout %r stderr %r" % (timeout, self.output(), self.stderr.snapshot()[-2000:]))
        self.stdout.thread.join(2)
        self.stderr.thread.join(2)
        return status

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# What Wine itself prints on stderr when it, not the program, failed a call: "wine client error:",
# "wine: ...", "wineserver: ...", "0024:err:...". The programs print nothing on stderr here.
WINE_FAILURE = re.compile(rb"^(wine( client error)?:|wineserver:|[0-9a-f]{4}:err:)", re.M)
WINE_ATTEMPTS = 3


def run_to_end(build_dir, name, *args, stdin=b"", expect=0):
    """Runs a program with its whole input and returns its status and output. A run that ends
    with another status than `expect` while Wine reports its own failure on stderr is Wine's
    failure, not the program's, and is run again (at most WINE_ATTEMPTS times in all)."""
    for attempt in range(1, WINE_ATTEMPTS + 1):
        program = Program(build_dir, name, *args)
        try:
            program.type(stdin)
            program.end_input()
            status, output = program.wait_exit(), program.output()
        finally:
            program.stop()
        wine_error = WINE_FAILURE.search(program.stderr.snapshot())
        if status == expect or not wine_error or attempt == WINE_ATTEMPTS:
            return status, output
        print("  (Wine failed %s %s, status %d: %r; again)"
              % (name, args, status, wine_error.group(0)), flush=True)


# ---- the cases -----------------------------------------------------------------------------

def usage_lines(build_dir, line):
    for name, args in (("lorvel", ()), ("tessik", ()), ("wendro", ()), ("kadrel", ()),
                       ("tessik", (PORT_ARGUMENT, "extra"))):
        status, output = run_to_end(build_dir, name, *args, expect=1)
        check(status == 1, "%s %s: status %d, expected 1" % (name, args, status))
        check(output == "  usage: %s port\n" % name, "%s %s: output %r" % (name, args, output))
    check(line.received.take() == b"", "a usage error touched the port")


def help_and_version(build_dir, line):
    # One program each: the packages stage runs all four packaged ones.
    status, output = run_to_end(build_dir, "tessik", "--help")
    check(status == 0, "tessik --help: status %d" % status)
    check(output.startswith("Usage: tessik PORT\n") and "COM12, com3" in output,
          "tessik --help: %r" % output[:200])
    status, output = run_to_end(build_dir, "kadrel", "-V")
    check(status == 0 and re.fullmatch(r"kadrel \d+\.\d+\.\d+\n", output),
          "kadrel -V: status %d, %r" % (status, output))
    # The list names COM5, registered in Wine's Ports, as a block of its own; it opens nothing
    # (Wine's COM1 is this machine's console), so the line stays untouched.
    status, output = run_to_end(build_dir, "wendro", "--list")
    names = re.findall(r"(?m)^(\S+)", output)
    check(status == 0 and "COM" + PORT_ARGUMENT in names and
          re.search(r"(?m)^COM%s\n(  .*\n)*  rows checked when the port opens" % PORT_ARGUMENT,
                    output) and output.endswith("name one as rfc2217://HOST:PORT.\n"),
          "wendro --list: status %d, %r" % (status, output))
    check(line.received.take() == b"", "help, version or list touched the port")


def com_names(build_dir, line):
    # COM and digits in any case, and a device path, name the port whole. A name with two
    # digits is no test here: Wine maps them to devices of this machine.
    for argument in ("com" + PORT_ARGUMENT, "\\\\.\\COM" + PORT_ARGUMENT):
        status, output = run_to_end(build_dir, "tessik", argument, stdin=b"1\n")
        check(status == 0 and output == ">>", "%s: status %d, %r" % (argument, status, output))
        time.sleep(0.3)
        sent = line.received.take()
        check(sent == b"\xff", "%s: 1 pulse sent as %r, expected ff" % (argument, sent.hex()))


def missing_port(build_dir, line):
    # "Z" names COMZ, which no Wine prefix maps; the empty argument names "COM", no port at all.
    for argument in ("Z", ""):
        status, output = run_to_end(build_dir, "tessik", argument, expect=2)
        check(status == 2, "argument %r: status %d, expected 2" % (argument, status))
        check(output == "", "argument %r: output %r, expected none" % (argument, output))


def tessik_bursts(build_dir, line):
    line.set_speed(termios.B2400)
    program = Program(build_dir, "tessik", PORT_ARGUMENT)
    try:
        program.wait_output(r"^>$")
        check(line.output_speed() == termios.B600, "the line does not run at 600 baud")
        program.type(b"14\n")
        check(line.received.wait_for(lambda data: len(data) >= 3, START_TIMEOUT),
              "no burst on the line")
        time.sleep(0.3)
        burst = line.received.take()
        check(burst == b"\x55\x55\xd5", "14 pulses sent as %s, expected 55 55 d5" % burst.hex())
        program.wait_output(r"^>>$")
        program.type(b"1\r\n")  # a Windows line end from a script
        check(line.received.wait_for(lambda data: len(data) >= 1, START_TIMEOUT),
              "no burst for 1")
        time.sleep(0.3)
        burst = line.received.take()
        check(burst == b"\xff", "1 pulse sent as %s, expected ff" % burst.hex())
        program.type(b"q\n")
        status = program.wait_exit()
        check(status == 0, "q: status %d" % status)
        check(line.output_speed() == termios.B2400, "the port was not left at 2400 baud")
    finally:
        program.stop()


def tessik_end_of_input(build_dir, line):
    status, output = run_to_end(build_dir, "tessik", PORT_ARGUMENT, stdin=b"3\n")
    check(status == 0, "end of input: status %d" % status)
    check(output == ">>", "output %r" % output)
    time.sleep(0.3)
    burst = line.received.take()
    check(burst == b"\xf5", "3 pulses sent as %s, expected f5" % burst.hex())


def wendro_square_wave(build_dir, line):
    program = Program(build_dir, "wendro", PORT_ARGUMENT)
    try:
        # The first setting: row "  800", 4800 baud, even parity, two stop bits, fill 0x1C.
        program.wait_output(r"^   800 Hz\n")
        check(line.received.wait_for(lambda data: len(data) >= 64, START_TIMEOUT),
              "no wave on the line")
        check(line.output_speed() == termios.B4800, "the 800 Hz row does not run at 4800 baud")
        wave = line.received.take()
        check(set(wave) == {0x1C}, "800 Hz wave bytes %s" % sorted(set(wave)))
        program.type(b"+")
        program.wait_output(r"^   800 Hz\n   960 Hz\n")
        check(line.received.wait_for(lambda data: 0xF0 in data, START_TIMEOUT),
              "no 960 Hz wave")
        check(line.output_speed() == termios.B9600, "the 960 Hz row does not run at 9600 baud")
        program.type(b"q")
        status = program.wait_exit()
        check(status == 0, "q: status %d" % status)
        line.drain()
    finally:
        program.stop()


def tessik_port_returns(build_dir, line):
    # The burst typed while COM5 is away waits for it, and goes out whole with the lines typed
    # after it once a new terminal is there; q quits while it is away again. Away, it rests.
    program = Program(build_dir, "tessik", PORT_ARGUMENT)
    gone = "tessik: %s went away; waiting for it (q quits)\n" % PORT_ARGUMENT
    errors = lambda: program.stderr.snapshot().decode("latin-1").replace("\r\n", "\n")
    # Processor time, user and system, in clock ticks.
    ticks = lambda: sum(map(int, open("/proc/%d/stat" % program.process.pid).read().split()[13:15]))
    try:
        program.wait_output(r"^>$")
        line.unplug()
        program.type(b"3\n4\n5\n")
        check(program.stderr.wait_for(lambda _: errors() == gone, START_TIMEOUT), repr(errors()))
        start = ticks()
        time.sleep(2.0)
        used = (ticks() - start) / os.sysconf("SC_CLK_TCK")
        check(used < 0.4, "away, it used %.2f s of processor time in 2 s" % used)
        line.plug()
        check(line.received.wait_for(lambda data: len(data) >= 3, START_TIMEOUT), "no burst")
        time.sleep(0.5)
        burst = line.received.take()
        check(burst == b"\xf5\xd5\x55" and line.output_speed() == termios.B600, burst.hex())
        line.unplug()
        program.type(b"6\nq\n")
        back = "tessik: %s is back\n" % PORT_ARGUMENT
        check(program.wait_exit() == 0 and errors() == gone + back + gone, repr(errors()))
    finally:
        program.stop()
        if not os.path.lexists(line.link):
            line.plug()


def lorvel_without_modem_lines(build_dir, line):
    # Wine gives a pseudo-terminal no control lines, so the circuit's answer is constant: one
    # line of input, printed once; any key then ends the tool.
    program = Program(build_dir, "lorvel", PORT_ARGUMENT)
    try:
        program.wait_output(r"^  [0-9a-f]{2}\n$")
        time.sleep(2.0)  # three more cycles of 580 ms
        check(re.fullmatch(r"  [0-9a-f]{2}\n", program.output()),
              "a constant input printed more than once: %r" % program.output())
        program.type(b"x")
        status = program.wait_exit()
        check(status == 0, "a key: status %d" % status)
        line.drain()
    finally:
        program.stop()


def kadrel_loopback(build_dir, line):
    # 1152 bytes back on the receive line: one full read of 768 (one dot), then a short read of
    # 384 that the port ends 200 ms after the last byte; 1152 frames of 1/3840 s are 0.300 s.
    line.set_speed(termios.B2400)
    program = Program(build_dir, "kadrel", PORT_ARGUMENT)
    try:
        check(line.received.wait_for(lambda data: len(data) >= 1024, START_TIMEOUT),
              "no stream on the line")
        check(line.output_speed() == termios.B38400, "the line does not run at 38400 baud")
        stream = line.received.take()
        check(set(stream) == {0x55}, "stream bytes %s" % sorted(set(stream)))
        check(program.output() == "", "output before anything came back: %r" % program.output())
        line.send(b"\x55" * 1152)
        program.wait_output(r"Sec\.\n", timeout=10)
        check(program.output() == ".  0.300 Sec.\n", "report %r" % program.output())
        check(line.received.wait_for(lambda data: len(data) >= 256, 5),
              "the stream stopped after the report")
        program.type(b"q")
        status = program.wait_exit()
        check(status == 0, "q: status %d" % status)
        check(line.output_speed() == termios.B2400, "the port was not left at 2400 baud")
        line.drain()
    finally:
        program.stop()


def output_not_read(build_dir, line):
    # Its stdout a pipe of one page, full, that nobody reads: the help cannot go out, and the
    # program still ends, after giving it 2 s. Wine takes a write into a full pipe at once and
    # holds the exit until the pipe has taken it; a write that waited would hold the program
    # anywhere.
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ
    os.set_blocking(write_end, False)
    try:
        while True:
            os.write(write_end, b"f" * 4096)
    except BlockingIOError:
        pass
    program = Program(build_dir, "kadrel", "--help", stdout=write_end)
    os.close(write_end)
    try:
        status = program.process.wait(EXIT_TIMEOUT)
        check(status == 0, "--help into a full pipe: status %d" % status)
    except subprocess.TimeoutExpired:
        raise Failure("--help into a full pipe: still running after %.0f s" % EXIT_TIMEOUT)
    finally:
        program.stop()
        os.close(read_end)


def kadrel_slow_stream(build_dir, line):
    # 2000 bytes back at about 1000 a second: each 768-byte read takes some 770 ms to fill, longer
    # than the 500 ms after which a read still empty means the stream stopped. Windows tells
    # nothing of a running read, so only a port that makes it tell keeps this one measurement:
    # two full reads and a short one of 464, 2000 frames of 1/3840 s.
    program = Program(build_dir, "kadrel", PORT_ARGUMENT)
    try:
        check(line.received.wait_for(lambda data: len(data) >= 1024, START_TIMEOUT),
              "no stream on the line")
        started = time.monotonic()
        for chunk in range(250):
            line.send(b"\x55" * 8)
            # Paced by the clock, so a late wake-up of this script sends sooner, not later.
            time.sleep(max(0.0, started + (chunk + 1) * 0.008 - time.monotonic()))
        program.wait_output(r"Sec\.\n", timeout=10)
        time.sleep(1.0)  # a second report would come within 0.5 s
        check(program.output() == "..  0.521 Sec.\n", "report %r" % program.output())
        program.type(b"q")
        check(program.wait_exit() == 0, "q did not end it with status 0")
        line.drain()
    finally:
        program.stop()


CASES = [
    ("usage line and status 1 for a wrong argument count", usage_lines),
    ("--help, -V and --list: status 0, the help, the version and COM5 listed", help_and_version),
    ("status 2 and no output for a port that does not exist", missing_port),
    ("com5 and \\\\.\\COM5 name the port whole", com_names),
    ("tessik: bursts of 14 and 1 pulses at 600 baud, q quits, the port left at 2400 baud",
     tessik_bursts),
    ("tessik: the end of input quits like q", tessik_end_of_input),
    ("tessik: COM5 away and back, the held burst sent whole at 600 baud, q quits while away",
     tessik_port_returns),
    ("wendro: 800 Hz wave, + steps to 960 Hz, q quits", wendro_square_wave),
    ("lorvel: constant input printed once without modem lines, a key quits",
     lorvel_without_modem_lines),
    ("kadrel: 1152 bytes looped back report 0.300 s, q quits, the port left at 2400 baud",
     kadrel_loopback),
    ("a full pipe that nobody reads does not hold the program's end", output_not_read),
    ("kadrel: a slow stream of 2000 bytes is one measurement of 0.521 s", kadrel_slow_stream),
]


def wine_failed_in(programs):
    """Wine's own failure text on the stderr of one of these programs."""
    for program in programs:
        found = WINE_FAILURE.search(program.stderr.snapshot())
        if found:
            return found.group(0).decode("latin-1")
    return None


def map_com_port(link):
    for attempt in range(1, WINE_ATTEMPTS + 1):
        done = subprocess.run(["wine", "reg", "add", r"HKLM\Software\Wine\Ports", "/v",
                               "COM" + PORT_ARGUMENT, "/t", "REG_SZ", "/d", link, "/f"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if done.returncode == 0:
            break
        if attempt == WINE_ATTEMPTS or not WINE_FAILURE.search(done.stderr):
            raise SystemExit("wine reg add failed: %r" % done.stderr[-500:])
    # Wine maps its COM ports when it starts: restart it so the new mapping is read.
    subprocess.run(["wineserver", "-k"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Started here, it keeps no program's stderr: the terminal it opens as COM5 becomes its
    # controlling one, and when that closes, its hang-up signal makes it list its objects there.
    # It stays for a minute after the last program, so no case starts one.
    subprocess.run(["wineserver", "-p60"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    build_dir = os.path.abspath(sys.argv[1])
    only = os.environ.get("WINE_SMOKE_ONLY", "")
    with tempfile.TemporaryDirectory(prefix="wine-smoke-") as link_dir:
        line = SerialLine(link_dir)
        map_com_port(line.link)
        passed = failed = 0
        for title, case in CASES:
            if only and only not in case.__name__:
                continue
            started = time.monotonic()
            # A case in which Wine itself failed a program runs again, up to WINE_ATTEMPTS times.
            for attempt in range(1, WINE_ATTEMPTS + 1):
                del started_programs[:]
                try:
                    case(build_dir, line)
                except Failure as failure:
                    wine_error = wine_failed_in(started_programs)
                    line.drain()
                    if wine_error and attempt < WINE_ATTEMPTS:
                        print("  (Wine failed in %s: %r; again)" % (title, wine_error), flush=True)
                        continue
                    failed += 1
                    print("FAIL  %s: %s" % (title, failure), flush=True)
                else:
                    passed += 1
                    print("PASS  %s (%.1f s)" % (title, time.monotonic() - started), flush=True)
                break
            line.drain()
        print("%d passed, %d failed" % (passed, failed))
        return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
