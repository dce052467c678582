#!/usr/bin/env python3
"""The programs on a remote port: rfc2217:// URLs served by ser2net and sredird.

Each server serves a pseudo-terminal on 127.0.0.1. This script holds the pty's master end, so it
sees what the remote line carries and when, reads the rate and stop bits the server set on the pty
(the pty keeps no parity), and types what the line receives. A pty passes bytes as fast as they
come, so the rate at which bytes reach the master is the rate at which the program feeds the
server: at the line rate when the program paces its writes, faster when it floods the server.

Usage: remote_check.py BUILD_DIR [WINDOWS_BUILD_DIR]
  With WINDOWS_BUILD_DIR, tessik.exe also runs under Wine (WINEPREFIX as the caller set it).
  REMOTE_CHECK_ONLY=NAME runs only the cases of one program (tessik, wendro, kadrel, lorvel),
  the failures or wine.
"""
import array
import fcntl
import os
import pty
import re
import signal
import socket
import select
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
from wine_smoke import WINE_ATTEMPTS, WINE_FAILURE, Collector  # noqa: E402

HOST = "127.0.0.1"
START_TIMEOUT = 15.0  # the first connection to a fresh ser2net can take seconds on a busy machine
TCGETS2 = 0x802C542A  # _IOR('T', 0x2A, struct termios2): 44 bytes on Linux
CSTOPB = 0o100

passed = failed = 0


def check(condition, name, detail=""):
    global passed, failed
    if condition:
        passed += 1
        print("ok: " + name, flush=True)
    else:
        failed += 1
        print("FAIL: %s%s" % (name, ": " + detail if detail else ""), flush=True)
    return condition


class Abort(Exception):
    """A case cannot go on; counted as one failure under the case's name."""


def burst_bytes(pulses):
    """What a burst of N pulses puts on a 600 baud 8N1 line, from the frame itself: a start bit
    (low), eight data bits sent least significant first, a stop bit (high). A pulse is one bit
    low followed by one bit high, so 0x55 (data bits 1 0 1 0 1 0 1 0) framed as 0 1 0 1 0 1 0 1 0 1
    holds five. The count's remainder goes in one last frame whose first k pulses are the start
    bit and k - 1 zero data bits, each followed by a one, and then ones to the stop bit."""
    pulses = min(pulses, 1280)
    full, rest = divmod(pulses, 5)
    tail = []
    if rest:
        bits = [1, 0] * (rest - 1) + [1] * (8 - 2 * (rest - 1))  # data bits after the start bit
        tail = [sum(bit << i for i, bit in enumerate(bits))]
    return bytes([0x55] * full + tail)


def free_port():
    with socket.socket() as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


def tcp_states(port):
    """The states (hex, as /proc/net/tcp gives them) of the sockets whose local port is PORT."""
    states = []
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            fields = row.split()
            if int(fields[1].split(":")[1], 16) == port:
                states.append(fields[3])
    return states


def started(process):
    """Notes a process group for run.sh to end should this script be killed before it does."""
    pids = os.environ.get("REMOTE_CHECK_PIDS")
    if pids:
        with open(pids, "a") as listing:
            listing.write("%d\n" % process.pid)
    return process


def wait_until(predicate, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Line:
    """A pseudo-terminal whose slave a server opens; every chunk read at the master is kept with
    the time it came and the rate and stop bits the pty held just after, and every change of
    those; it can also write what it reads straight back."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)  # the test keeps the slave open too, so the master never hangs up
        self.path = os.ttyname(self.slave)
        self.lock = threading.Lock()
        self.chunks = []  # (time, bytes, baud, stop bits)
        self.changes = []  # (time, baud, stop bits) when the settings were seen to change
        self.poll = 0.1  # how often the settings are looked at when nothing comes
        self.echo_left = self.echoed = 0
        threading.Thread(target=self._run, daemon=True).start()

    def settings(self):
        buffer = array.array("B", bytes(44))
        fcntl.ioctl(self.master, TCGETS2, buffer)
        cflag = struct.unpack_from("I", buffer, 8)[0]
        ospeed = struct.unpack_from("I", buffer, 40)[0]
        return ospeed, 2 if cflag & CSTOPB else 1

    def _run(self):
        last = None
        while True:
            ready, _, _ = select.select([self.master], [], [], self.poll)
            chunk = b""
            if ready:
                try:
                    chunk = os.read(self.master, 65536)
                except OSError:
                    return
            now = time.monotonic()
            if self.echo_left:
                back = chunk[:self.echo_left]
                os.write(self.master, back)
                self.echoed += len(back)
                self.echo_left -= len(back)
            held = self.settings()
            with self.lock:
                if chunk:
                    self.chunks.append((now, chunk) + held)
                if held != last:
                    self.changes.append((now,) + held)
                    last = held

    def echo(self, count):
        """Writes the next COUNT bytes read straight back, as they come."""
        self.echoed, self.echo_left = 0, count
        wait_until(lambda: self.echo_left == 0, 10, 0.01)
        return self.echoed

    def since(self, start, end=float("inf")):
        with self.lock:
            return [c for c in self.chunks if start <= c[0] < end]

    def data(self, start=0.0, end=float("inf")):
        return b"".join(c[1] for c in self.since(start, end))

    def wait_bytes(self, count, start, timeout):
        return wait_until(lambda: len(self.data(start)) >= count, timeout)

    def wait_quiet(self, quiet, timeout):
        """Waits until nothing has come for QUIET seconds."""
        def still():
            with self.lock:
                last = self.chunks[-1][0] if self.chunks else 0.0
            return time.monotonic() - last >= quiet
        return wait_until(still, timeout)

    def rate(self, start, seconds):
        """Bytes per second that reach the master in [start, start + seconds), and their values."""
        time.sleep(max(0.0, start + seconds - time.monotonic()))
        data = self.data(start, start + seconds)
        return len(data) / seconds, set(data)


class Servers:
    """ser2net and socat-run sredird processes, each in its own process group, ended at exit."""

    def __init__(self, scratch):
        self.scratch = scratch
        self.processes = []
        self.served = {}  # ser2net's port: its process

    def _start(self, argv, log):
        process = started(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                           stderr=log, start_new_session=True))
        self.processes.append(process)
        return process

    def _listening(self, port, process, what):
        if not wait_until(lambda: "0A" in tcp_states(port) or process.poll() is not None, 10):
            raise Abort("%s does not listen on port %d" % (what, port))
        if process.poll() is not None:
            raise Abort("%s ended with status %d" % (what, process.returncode))

    def ser2net(self, line, port=None):  # on PORT again, or on a free one
        port = port or free_port()
        config = ("connection: &c1#  accepter: telnet(rfc2217),tcp,%s,%d#"
                  "  connector: serialdev,%s,9600n81,local#  options:#    chardelay: false"
                  % (HOST, port, line.path))
        log = open(os.path.join(self.scratch, "ser2net.log"), "ab")
        self.served[port] = self._start(["ser2net", "-n", "-u", "-Y", config], log)
        self._listening(port, self.served[port], "ser2net")
        return port

    def end(self, port):
        # As a service restart does: ser2net gives the pty back its settings first.
        os.killpg(self.served[port].pid, signal.SIGTERM)
        self.served[port].wait()

    def sredird(self, line):
        """One connection's sredird, as inetd would run it."""
        port = free_port()
        lock = os.path.join(self.scratch, "LCK..remote")
        log = open(os.path.join(self.scratch, "sredird.log"), "ab")
        process = self._start(["socat", "TCP-LISTEN:%d,bind=%s,reuseaddr" % (port, HOST),
                               "EXEC:/usr/sbin/sredird 5 %s %s" % (line.path, lock)], log)
        self._listening(port, process, "socat for sredird")
        return port

    def stop(self):
        for process in self.processes:
            if process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for process in self.processes:
            try:
                process.wait(2)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


def idle(port, timeout=5.0):
    """Waits until the server has closed every connection on PORT (ser2net serves one at a time)."""
    # One that the server closed first lingers in TIME_WAIT (06) for a minute, closed all the same.
    return wait_until(lambda: all(state in ("0A", "06") for state in tcp_states(port)), timeout)


class Program:
    # Every program stays referenced to the end, so that the descriptors of its pipes are never
    # closed and reused by a later program's while a reading thread may still look at them.
    everyone = []

    def __init__(self, argv):
        Program.everyone.append(self)
        self.process = started(subprocess.Popen(argv, stdin=subprocess.PIPE,
                                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                                start_new_session=True))
        self.stdout = Collector(self.process.stdout.fileno())
        self.stderr = Collector(self.process.stderr.fileno())
        self.ended = None
        threading.Thread(target=self._watch, daemon=True).start()

    def _watch(self):
        self.process.wait()
        self.ended = time.monotonic()

    def type(self, text):
        try:
            self.process.stdin.write(text)
            self.process.stdin.flush()
        except BrokenPipeError:
            pass

    def output(self):
        return self.stdout.snapshot().decode("latin-1").replace("\r\n", "\n")

    def wait_output(self, pattern, timeout=START_TIMEOUT):
        # A program that ended will print no more.
        wait_until(lambda: re.search(pattern, self.output()) or self.ended, timeout, 0.01)
        if not re.search(pattern, self.output()):
            raise Abort("%s %r: stdout %r, stderr %r"
                        % ("ended with status %s before printing" % self.process.poll()
                           if self.ended else "printed nothing within %.0f s matching" % timeout,
                           pattern, self.output()[-300:], self.stderr.snapshot()[-300:]))

    def wait_exit(self, timeout):
        """The status, or None when the program is still running after TIMEOUT seconds."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self.stdout.thread.join(2)  # the output up to the end
        self.stderr.thread.join(2)


class Tools:
    """The Linux programs of a build folder, each started on a URL."""

    def __init__(self, build_dir):
        self.build_dir = build_dir

    def start(self, name, url):
        return Program([os.path.join(self.build_dir, name, name), url])

    def run(self, name, url, stdin=b"", timeout=10.0):
        """Runs to the end: status (None when it had to be killed), seconds taken, stdout+stderr."""
        started = time.monotonic()
        program = self.start(name, url)
        program.type(stdin)
        program.process.stdin.close()
        status = program.wait_exit(timeout)
        taken = time.monotonic() - started
        program.stop()
        return status, taken, program.output() + program.stderr.snapshot().decode("latin-1")


def url(port):
    return "rfc2217://%s:%d" % (HOST, port)


# ---- the cases -----------------------------------------------------------------------------

def tessik_bursts(tools, line, port, server, counts):
    program = tools.start("tessik", url(port))
    try:
        for index, count in enumerate(counts):
            program.wait_output(r"^>{%d}$" % (index + 1))
            want = burst_bytes(count)
            start = time.monotonic()
            program.type(b"%d\n" % count)
            # The bytes come at 60 a second at most; then the line must stay quiet.
            line.wait_bytes(len(want), start, START_TIMEOUT + len(want) / 50)
            line.wait_quiet(0.3, 5)
            chunks = line.since(start)
            got = b"".join(c[1] for c in chunks)
            held = {(c[2], c[3]) for c in chunks}
            check(got == want and held == {(600, 1)},
                  "tessik through %s: a burst of %d is %s at 600 8N1" % (server, count, want.hex()),
                  "got %s with the pty at %s" % (got.hex(), sorted(held)))
            if len(want) > 100:
                # Paced: the last byte comes no sooner than the line takes for all but a few tens
                # of milliseconds of it (10 bits a byte at 600 baud).
                span = chunks[-1][0] - chunks[0][0] if chunks else 0.0
                line_time = (len(want) - 1) * 10 / 600
                check(span >= line_time - 0.15,
                      "tessik through %s: the burst of %d reaches the line over %.2f s "
                      "(line %.2f s)" % (server, count, span, line_time))
        program.type(b"q\n")
        status = program.wait_exit(5)
        check(status == 0, "tessik through %s: q quits with status 0" % server,
              "status %s" % status)
    finally:
        program.stop()


def tessik_piped(tools, line, port):
    # The end of the input quits: the burst before it still reaches the line whole.
    start = time.monotonic()
    status, taken, output = tools.run("tessik", url(port), b"14\n", timeout=START_TIMEOUT)
    line.wait_quiet(0.3, 5)
    got = line.data(start)
    check(status == 0 and output == ">>" and got == burst_bytes(14),
          "tessik through ser2net, 14 piped in: %s, then status 0 at the end of the input"
          % burst_bytes(14).hex(), "status %s, output %r, line %s" % (status, output, got.hex()))


def wendro_rows(tools, line, servers, port):
    began = time.monotonic()
    program = tools.start("wendro", url(port))
    try:
        program.wait_output(r"^   800 Hz\n")
        # The start row: 4800 baud, even parity (the pty drops it), two stop bits, 0x1C; 12 bits a
        # frame, 400 frames a second.
        time.sleep(0.5)
        rate, values = line.rate(time.monotonic(), 1.5)
        held = line.settings()
        check(held == (4800, 2) and values == {0x1C} and abs(rate - 400) <= 60,
              "wendro through ser2net: 800 Hz is 0x1C at 4800 baud, two stop bits, %.0f bytes/s "
              "(400 +- 15 %%)" % rate, "the pty at %s, bytes %s" % (held, sorted(values)))
        line.poll = 0.002  # the moment the step's setting arrives, to a few milliseconds
        step = time.monotonic()
        program.type(b"+")
        program.wait_output(r"^   800 Hz\n   960 Hz\n")
        if not wait_until(lambda: 0xF0 in line.data(step), 5):
            raise Abort("no 0xF0 after the step")
        line.poll = 0.1
        # The server applies a setting when it reads it, so the program has to hold the step's
        # setting back until the last 0x1C has left the line. The line sends each chunk once it
        # has come and the line is free, 12 bits a byte at 4800 baud. This script sees both the
        # chunks and the change a few milliseconds late at worst: 10 ms are allowed.
        changed = [c[0] for c in line.changes if c[0] >= step and c[1] == 9600]
        changed = changed[0] if changed else float("inf")
        free = 0.0
        for at, chunk, _, _ in line.since(began, changed):
            free = max(free, at) + chunk.count(0x1C) * 12 / 4800
        tail = line.data(step)
        tail = tail[tail.index(0xF0):]
        check(changed >= free - 0.010 and set(tail) == {0xF0},
              "wendro through ser2net: the step's setting comes %.0f ms after the last 0x1C "
              "left the line, then only 0xF0" % ((changed - free) * 1000),
              "after the first 0xF0: %s" % sorted(set(tail)))
        time.sleep(0.3)
        rate, values = line.rate(time.monotonic(), 1.5)
        held = line.settings()
        check(held == (9600, 1) and values == {0xF0} and abs(rate - 960) <= 144,
              "wendro through ser2net: + steps to 960 Hz, 0xF0 at 9600 8N1, %.0f bytes/s "
              "(960 +- 15 %%)" % rate, "the pty at %s, bytes %s" % (held, sorted(values)))
        # ser2net ended at 1440 Hz (neither the start row nor ser2net's 9600 8N1), down for 0.3 s,
        # then started again and held for 1 s by another client: wendro's looks 0.25, 0.75 and
        # 1.75 s after the loss meet a refusal, "Port already in use" and the port.
        program.type(b"++")
        program.wait_output(r" 1440 Hz\n$")
        time.sleep(0.5)
        servers.end(port)
        gone = "wendro: %s went away; waiting for it (q quits)\n" % url(port)
        wait_until(lambda: program.stderr.snapshot().decode() == gone, 5)
        time.sleep(0.3)
        restarted = time.monotonic()
        servers.ser2net(line, port)
        with socket.create_connection((HOST, port), timeout=5):
            time.sleep(1.0)
        alive = program.process.poll() is None

        def back():
            return [c[0] for c in line.since(restarted) if c[2:] == (14400, 1) and 0xF0 in c[1]]
        wait_until(back, 10)
        time.sleep(0.3)
        window = time.monotonic()
        rate, values = line.rate(window, 1.5)
        held = {c[2:] for c in line.since(window)}
        back = (back() or [float("nan")])[0]
        check(alive and held == {(14400, 1)} and values == {0xF0} and abs(rate - 1440) <= 216,
              "wendro through ser2net ended and started again: 1440 Hz, 0xF0 at 14400 8N1, "
              "%.0f bytes/s, %.2f s after the restart (busy for 1 s)" % (rate, back - restarted),
              "ran on: %s, the pty at %s, bytes %s" % (alive, sorted(held), sorted(values)))
        typed = time.monotonic()
        program.type(b"q")
        status = program.wait_exit(3)
        wait_until(lambda: program.ended is not None, 1)
        ended = program.ended or time.monotonic()
        errors = program.stderr.snapshot().decode()
        check(status == 0 and ended - typed <= 1.0 and program.output().count("\n") == 4 and
              errors == gone + "wendro: %s is back\n" % url(port),
              "wendro through ser2net: q ends it with status 0 in %.2f s; it said it went away and "
              "is back" % (ended - typed), "status %s, stderr %r" % (status, errors))
        time.sleep(0.5)
        late = line.since(ended + 0.1)
        check(not late, "wendro through ser2net: no wave reaches the line 0.1 s after it ended",
              "%d bytes up to %.2f s after" % (sum(len(c[1]) for c in late),
                                               late[-1][0] - ended if late else 0))
    finally:
        program.stop()


def wendro_refused_parity(tools, port):
    # sredird answers with what the pty really took, parity none: the start row is refused.
    status, taken, output = tools.run("wendro", url(port), b"", timeout=10)
    check(status == 4 and output == "",
          "wendro through sredird, which refuses even parity: status 4 and no output",
          "status %s after %.1f s, output %r" % (status, taken, output[-200:]))


def kadrel_loop(tools, line, port):
    start = time.monotonic()
    program = tools.start("kadrel", url(port))
    try:
        if not line.wait_bytes(1, start, START_TIMEOUT):
            raise Abort("no stream on the line; stdout %r" % program.output())
        time.sleep(0.5)
        rate, values = line.rate(time.monotonic(), 1.5)
        held = line.settings()
        check(held == (38400, 1) and values == {0x55} and abs(rate - 3840) <= 576,
              "kadrel through ser2net: the stream is 0x55 at 38400 8N1, %.0f bytes/s "
              "(3840 +- 15 %%)" % rate, "the pty at %s, bytes %s" % (held, sorted(values)))
        check(program.output() == "", "kadrel through ser2net: nothing printed before the echo",
              repr(program.output()))
        # 0.3 s of the line's time, 1152 frames of 10 bits at 38400 baud, taken from the stream as
        # it comes and sent straight back: the loop is closed for as long as they take.
        began = time.monotonic()
        echoed = line.echo(1152)
        took = time.monotonic() - began
        program.wait_output(r"Sec\.\n", timeout=5)
        output = program.output()
        found = re.fullmatch(r"\.*  ([0-9]+\.[0-9]{3}) Sec\.\n", output)
        report = float(found.group(1)) if found else -1.0
        check(found and abs(report - 0.3) <= 0.02,
              "kadrel through ser2net: %d bytes echoed over %.3f s reported as %.3f s "
              "(0.300 +- 0.02)" % (echoed, took, report), "output %r" % output)
        program.type(b"q")
        status = program.wait_exit(3)
        check(status == 0, "kadrel through ser2net: q quits with status 0", "status %s" % status)
    finally:
        program.stop()


def lorvel_refuses(tools):
    with socket.socket() as listener:
        listener.bind((HOST, 0))
        listener.listen(4)
        listener.setblocking(False)
        status, taken, output = tools.run("lorvel", url(listener.getsockname()[1]), timeout=5)
        try:
            listener.accept()[0].close()
            connected = True
        except BlockingIOError:
            connected = False
    check(status == 2 and not connected and output == "",
          "lorvel refuses a remote port with status 2 without connecting",
          "status %s, %s, output %r" % (status, "connected" if connected else "no connection",
                                         output))


def failures(tools, dead_port, silent, busy_port, fake_busy_port, text_port):
    """Bad URLs and servers that do not serve: status 2, no output, in bounded time."""
    silent_port = silent.port
    for name in ("tessik", "wendro", "kadrel"):
        status, taken, output = tools.run(name, url(dead_port), timeout=5)
        check(status == 2 and taken <= 1.0 and output == "",
              "%s: nobody listening: status 2 within 1 s (%.2f s)" % (name, taken),
              "status %s, output %r" % (status, output))
    for bad in ("rfc2217://", "rfc2217://%s" % HOST, "rfc2217://%s:" % HOST,
                "rfc2217://%s:0" % HOST, "rfc2217://%s:65536" % HOST,
                "rfc2217://%s:x%d" % (HOST, dead_port), "rfc2217://%s:%dx" % (HOST, silent_port),
                "rfc2217://%s:-%d" % (HOST, silent_port)):
        status, taken, output = tools.run("tessik", bad, timeout=10)
        check(status == 2 and output == "", "tessik %s: status 2 (%.2f s)" % (bad, taken),
              "status %s, output %r" % (status, output))
    for port, what in ((silent_port, "a server that accepts and never answers"),
                       (text_port, "a server that sends only text and closes"),
                       (busy_port, "ser2net busy with another client"),
                       (fake_busy_port, "a server that offers the com-port option, then says "
                        "it is busy and closes")):
        status, taken, output = tools.run("tessik", url(port), timeout=15)
        check(status == 2 and output == "", "tessik: %s: status 2 (%.2f s)" % (what, taken),
              "status %s, output %r" % (status, output))
    # The malformed forms that name the silent server's port must not have reached it.
    check(silent.accepted == 1, "the malformed URLs connected nowhere",
          "the silent server saw %d connections" % silent.accepted)


class FakeServer:
    """Accepts connections and sends each the same bytes, a segment at a time (a pause before
    each); then closes it, or with no bytes to send reads it and answers nothing."""

    def __init__(self, segments=()):
        self.segments = segments
        self.listener = socket.socket()
        self.listener.bind((HOST, 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.accepted = 0
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            connection, _ = self.listener.accept()
            self.accepted += 1
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        with connection:
            try:
                for pause, data in self.segments:
                    time.sleep(pause)
                    connection.sendall(data)
                while not self.segments and connection.recv(4096):
                    pass
            except OSError:
                pass


# What ser2net sends a client while another holds its port: the telnet options, the com-port
# option among them, then text, and it closes. Here the text comes in a segment of its own.
BUSY_SER2NET = ((0.0, bytes.fromhex("fffb03fffd03fffb01fffe01fffd00fffb00fffd2c")),
                (0.05, b"Port already in use\r\n"))


def wine_tessik(windows_dir, line, port):
    exe = os.path.join(windows_dir, "tessik", "tessik.exe")
    ready = os.environ.get("REMOTE_CHECK_WINE_READY")
    if ready:  # run.sh makes the Wine prefix while the other cases run
        if not wait_until(lambda: os.path.exists(ready), 180, 0.2):
            raise Abort("the Wine prefix was not ready in 3 minutes")
        with open(ready) as status:
            if status.read().strip() != "0":
                raise Abort("wineboot could not make the Wine prefix")
    want = burst_bytes(14)
    for attempt in range(1, WINE_ATTEMPTS + 1):
        idle(port)
        start = time.monotonic()
        program = Program(["wine", exe, url(port)])
        try:
            program.wait_output(r"^>$", timeout=60)
            program.type(b"14\n")
            line.wait_bytes(len(want), start, START_TIMEOUT)
            line.wait_quiet(0.3, 5)
            got = line.data(start)
            program.type(b"q\n")
            status = program.wait_exit(30)
        except Abort as abort:
            status, got = "(%s)" % abort, b""
        finally:
            program.stop()
        wine_error = WINE_FAILURE.search(program.stderr.snapshot())
        if (status == 0 and got == want) or not wine_error or attempt == WINE_ATTEMPTS:
            break
        print("  (Wine failed tessik.exe: %r; again)" % wine_error.group(0), flush=True)
    check(status == 0 and got == want,
          "tessik.exe under Wine through ser2net: a burst of 14 is %s, q quits with status 0"
          % want.hex(), "got %s, status %s" % (got.hex(), status))


def busy_failures(tools, ser2net, silent, busy, text):
    # Another client holds ser2net's one connection while tessik tries.
    holder = socket.create_connection((HOST, ser2net), timeout=5)
    try:
        wait_until(lambda: "01" in tcp_states(ser2net), 5)
        failures(tools, free_port(), silent, ser2net, busy.port, text.port)
    finally:
        holder.close()


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        return 2
    tools = Tools(os.path.abspath(sys.argv[1]))
    windows_dir = os.path.abspath(sys.argv[2]) if len(sys.argv) == 3 else None
    only = os.environ.get("REMOTE_CHECK_ONLY", "")
    scratch = tempfile.TemporaryDirectory(prefix="remote-check-")  # the servers' logs and lock
    servers = Servers(scratch.name)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    began = time.monotonic()
    try:
        line = Line()
        ser2net = servers.ser2net(line)
        silent, busy = FakeServer(), FakeServer(BUSY_SER2NET)
        text = FakeServer([(0.0, b"Port already in use\r\n")])
        cases = [
            ("tessik", "tessik through ser2net",
             lambda: tessik_bursts(tools, line, ser2net, "ser2net", [1, 2, 3, 4, 12, 1280])),
            ("tessik", "tessik through sredird",
             lambda: tessik_bursts(tools, line, servers.sredird(line), "sredird", [14, 1])),
            ("tessik", "tessik through ser2net, counts piped in",
             lambda: tessik_piped(tools, line, ser2net)),
            ("wendro", "wendro through ser2net",
             lambda: wendro_rows(tools, line, servers, ser2net)),
            ("wendro", "wendro through sredird",
             lambda: wendro_refused_parity(tools, servers.sredird(line))),
            ("kadrel", "kadrel through ser2net", lambda: kadrel_loop(tools, line, ser2net)),
            ("lorvel", "lorvel", lambda: lorvel_refuses(tools)),
            ("failures", "failures", lambda: busy_failures(tools, ser2net, silent, busy, text)),
        ]
        if windows_dir:
            cases.append(("wine", "tessik.exe under Wine through ser2net",
                          lambda: wine_tessik(windows_dir, line, ser2net)))
        for name, title, case in cases:
            if only and only != name:
                continue
            idle(ser2net)
            line.wait_quiet(0.2, 5)
            try:
                case()
            except Abort as abort:
                check(False, title, str(abort))
    finally:
        servers.stop()
        if os.environ.get("REMOTE_CHECK_PIDS"):
            open(os.environ["REMOTE_CHECK_PIDS"], "w").close()  # all ended
        scratch.cleanup()
    print("remote: %d passed, %d failed (%.0f s)" % (passed, failed, time.monotonic() - began))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
