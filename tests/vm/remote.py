#!/usr/bin/env python3
"""tessik, wendro and kadrel on a remote port. Debian's ser2net runs in the QEMU machine and serves
its 16550 (ttyS1) on TCP port 2000, which QEMU forwards to a port on the host's 127.0.0.1; the host's
programs open rfc2217://127.0.0.1:PORT. The same programs run in the guest on the same 16550 for
comparison, and a small free-writing client of the test's own shows that the measurement sees a
backlog when there is one.

QEMU's 16550 passes every byte on the moment it is written, so the line never paces anything. The
trace of the bytes written to it is replayed through a model line that sends them at the programmed
rate (line.ModelLine): its idle gaps and its backlog are what a real line would have carried. The
trace's stamps, the host's key times and this host's kernel stamps of what a program sent are the
same wall clock.
Usage: remote.py VMLINUZ INITRAMFS WORK_DIR HOST_BUILD"""

import bisect
import json
import os
import queue
import random
import re
import socket
import struct
import subprocess
import sys
import threading
import time

from drive import LABEL, Program, play, programming
from line import ModelLine, frame_seconds, pulses
from machine import HostEnd, Machine

UART = "/dev/ttyS1"
SERVED_PORT = 2000  # ser2net's port inside the guest
# The goals, in seconds of line time or of the host's clock.
GAP_GOAL = 0.020  # largest idle gap of a wave or burst
BACKLOG_GOAL = 0.100  # largest line time waiting behind the port
SETTING_GOAL = 0.150  # key to new setting, beyond waiting for the write in progress to leave the line
LEFT_GOAL = 0.005  # line time of the old row's bytes still unsent when the new setting came
REPORT_GOAL = 0.010  # kadrel's report against the bytes really looped back
STEADY_SECONDS = 5.0
WAN_DELAY, WAN_JITTER = 0.050, 0.020  # each way, through DelayingRelay
# wendro's rows from its start row (13) up to 3840 Hz: the programming each makes and its label.
WENDRO_ROWS = {
    13: (4800, "E", 8, 2, 800), 14: (9600, "N", 8, 1, 960), 15: (2400, "N", 8, 1, 1200),
    16: (14400, "N", 8, 1, 1440), 17: (9600, "E", 8, 2, 1600), 18: (19200, "N", 8, 1, 1920),
    19: (4800, "N", 8, 1, 2400), 20: (19200, "E", 8, 2, 3200), 21: (38400, "N", 8, 1, 3840),
}
TESSIK_COUNTS = (14, 1280)
KADREL_COUNTS = (1152, 4000)


class ServedMachine(Machine):
    """The guest's console on a virtio console, so that the only 16550 written to is the one under
    test (QEMU's trace does not say which UART a register write went to); an idle 16550 as ttyS0,
    the one under test as ttyS1; an e1000 on QEMU's user network, restricted to the forwarded
    port."""

    TRACE = ["serial_update_parameters", "serial_write"]
    MODULES = "virtio_ring,virtio,virtio_pci_modern_dev,virtio_pci_legacy_dev,virtio_pci,virtio_console,e1000"

    def __init__(self, kernel, initramfs, work):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        super().__init__(kernel, initramfs, work, usb_adapters=0)

    def host_ends(self):
        self.uart = HostEnd(f"{self.work}/uart.sock")
        return [self.uart]

    def devices(self, kernel, initramfs):
        work = self.work
        return [
            "qemu-system-x86_64", "-m", "256", "-kernel", kernel, "-initrd", initramfs,
            "-append", f"console=hvc0 quiet panic=-1 modules={self.MODULES} shell=hvc0",
            "-device", "virtio-serial-pci",
            "-chardev", f"socket,id=console,path={work}/console.sock", "-device", "virtconsole,chardev=console",
            "-serial", "null",
            "-chardev", f"socket,id=uart,path={work}/uart.sock", "-serial", "chardev:uart",
            "-netdev", f"user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:{self.port}-:{SERVED_PORT}",
            "-device", "e1000,netdev=net",
        ]

    def serve(self):
        """Brings the guest's network up and starts ser2net on the 16550; waits until it listens."""
        console = self.console
        status, text = console.sh("ip link set lo up && ip addr add 10.0.2.15/24 dev eth0 && ip link set eth0 up")
        if status != 0:
            raise RuntimeError(f"guest network: {text}")
        config = "#".join([
            "connection: &uart", f"  accepter: telnet(rfc2217),tcp,0.0.0.0,{SERVED_PORT}",
            f"  connector: serialdev,{UART},9600n81,local", "  options:", "    chardelay: false"])
        console.sh(f"LD_LIBRARY_PATH=/lib/x86_64-linux-gnu /usr/sbin/ser2net -n -u -Y '{config}' "
                   f">/tmp/ser2net.log 2>&1 &")
        listening = f":{SERVED_PORT:04X} 00000000:0000 0A"
        status, text = console.sh(f"i=0; while ! grep -q '{listening}' /proc/net/tcp && [ $i -lt 100 ]; do "
                                  f"sleep 0.1; i=$((i + 1)); done; grep -q '{listening}' /proc/net/tcp "
                                  f"|| {{ cat /tmp/ser2net.log; false; }}", 20)
        if status != 0:
            raise RuntimeError(f"ser2net does not listen: {text}")
        # The first connection after ser2net starts is answered only after some seconds; a
        # program that gives up sooner would fail on it, so the test makes that connection.
        started = time.time()
        peer = Peer(self.port)
        answered = peer.set_line(9600)
        peer.close()
        self.first_answer = time.time() - started if answered else None
        if self.released() is None:
            raise RuntimeError("ser2net held the 16550 after the first connection")

    def released(self, timeout=40):
        """Waits until ser2net has closed the 16550 after its client left, so that the next program
        finds the port as ser2net left it: the seconds that took, or None."""
        started = time.time()
        held = f"ls -l /proc/$(pidof ser2net)/fd | grep -q {UART}"
        status, _ = self.console.sh(f"i=0; while {held} && [ $i -lt {timeout * 10} ]; do sleep 0.1; i=$((i + 1)); "
                                    f"done; ! {held}", timeout + 10)
        return time.time() - started if status == 0 else None


class DelayingRelay:
    """A TCP relay on this host in front of the forwarded port, as a WAN between: each way, every
    segment is held WAN_DELAY plus a jitter drawn evenly from +-WAN_JITTER (a seeded generator),
    and none overtakes another, as TCP keeps them in order."""

    def __init__(self, target, seed=1):
        self.target, self.random = target, random.Random(seed)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        client = self.listener.accept()[0]
        server = socket.create_connection(("127.0.0.1", self.target))
        for source, sink in ((client, server), (server, client)):
            held = queue.Queue()
            threading.Thread(target=self._read, args=(source, held), daemon=True).start()
            threading.Thread(target=self._write, args=(sink, held), daemon=True).start()

    def _read(self, source, held):
        due = 0.0
        while data := source.recv(65536):
            due = max(due, time.time() + WAN_DELAY + self.random.uniform(-WAN_JITTER, WAN_JITTER))
            held.put((due, data))
        held.put((due, b""))

    def _write(self, sink, held):
        while True:
            due, data = held.get()
            time.sleep(max(0.0, due - time.time()))
            if not data:
                return sink.shutdown(socket.SHUT_WR)
            sink.sendall(data)


class HostProgram:
    """A program running on this host: its keys go to its standard input, its output (both
    streams) is kept for expect()."""

    def __init__(self, path, argument):
        self.process = subprocess.Popen([path, argument], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, bufsize=0)
        self.started = time.time()
        self.lock = threading.Condition()
        self.text = ""
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            data = os.read(self.process.stdout.fileno(), 4096)
            with self.lock:
                if not data:
                    self.ended = True
                    self.lock.notify_all()
                    return
                self.text += data.decode("latin-1")
                self.lock.notify_all()

    def mark(self):
        with self.lock:
            return len(self.text)

    def expect(self, pattern, since, timeout):
        deadline, regex = time.time() + timeout, re.compile(pattern)
        with self.lock:
            while True:
                found = regex.search(self.text, since)
                left = deadline - time.time()
                if found or left <= 0 or getattr(self, "ended", False):
                    return found
                self.lock.wait(left)

    def key(self, keys):
        """Types `keys`; the host time they were written."""
        when = time.time()
        self.process.stdin.write(keys.encode())
        return when

    def quit(self, keys, timeout=15):
        """Types `keys`: (the time, the exit status or None if it had to be killed)."""
        when = self.key(keys)
        try:
            return when, self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            return when, None

    def stop(self):
        """Kills the program if it still runs (a scenario that broke off)."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class GuestProgram:
    """A program running in the guest on the 16550, with the same calls as HostProgram. A key's
    time is when the host sent the shell line that types it."""

    def __init__(self, machine, name):
        self.console = machine.console
        self.program = Program(machine, name, UART, 3)
        self.started = self.program.started

    def mark(self):
        return self.console.mark()

    def expect(self, pattern, since, timeout):
        return self.console.expect(pattern, max(since, self.program.since), timeout)

    def key(self, keys):
        when = time.time()
        self.program.key(keys.replace("\n", "\\n"))
        return when

    def quit(self, keys):
        when = time.time()
        return when, self.program.quit(keys.replace("\n", "\\n"))


def require(found, what, program):
    if not found:
        if isinstance(program, HostProgram):
            try:  # its output may end a moment before the process does
                ended = program.process.wait(2)
            except subprocess.TimeoutExpired:
                ended = None
            raise RuntimeError(f"{what} did not come" + (f"; the program ended with status {ended}" if ended is not None
                               else "") + f"; its output: {program.text[-300:]!r}")
        raise RuntimeError(f"{what} did not come; the console: {program.console.text[-300:]!r}")
    return found


def wendro_play(program):
    """Starts on row 13 and steps up to row 21 (3840 Hz, 38400 8N1), waiting for each label; holds
    row 21 for a little over the measured stretch."""
    require(program.expect(LABEL, 0, 15), "wendro's first label", program)
    time.sleep(1)
    keys = []
    for row in range(14, 22):
        since = program.mark()
        when = program.key("+")
        found = require(program.expect(LABEL, since, 8), f"wendro's label for row {row}", program)
        if int(found.group(1)) != WENDRO_ROWS[row][4]:
            raise RuntimeError(f"row {row}: label {found.group(1)} Hz")
        keys.append((when, row))
        time.sleep(0.3)
    time.sleep(STEADY_SECONDS + 0.5)
    end, status = program.quit("q")
    return {"keys": keys, "started": program.started, "end": end, "status": status}


def tessik_play(program):
    require(program.expect(">", 0, 15), "tessik's prompt", program)
    bursts = []
    for count in TESSIK_COUNTS:
        since = program.mark()
        bursts.append((program.key(f"{count}\n"), count))
        require(program.expect(">", since, 20), f"tessik's prompt after {count}", program)
    end, status = program.quit("q\n")
    return {"bursts": bursts, "end": end, "status": status}


def kadrel_play(program, uart):
    """Loops back a known number of kadrel's bytes at the 16550's far end, twice."""
    time.sleep(1.5)
    started, reports = time.time(), []
    for count in KADREL_COUNTS:
        since = program.mark()
        uart.loop_back(count)
        found = require(program.expect(r"(\d+\.\d{3}) Sec\.", since, 20), f"kadrel's report of {count}", program)
        reports.append((count, float(found.group(1)), uart.returned))
    end, status = program.quit("q")
    return {"reports": reports, "started": started, "end": end, "status": status}


class Peer:
    """The test's own client: the telnet options, the line settings and data, written as fast as
    the connection takes them, with no regard for the line. It counts the answers it gets."""

    IAC, SB, SE, WILL, DO, DONT = 255, 250, 240, 251, 253, 254
    COM_PORT = 44

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.lock = threading.Condition()
        self.answers = []  # (code, value)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        # Binary both ways, suppress go-ahead, no echo, the com port option.
        self.sock.sendall(bytes([self.IAC, self.WILL, self.COM_PORT, self.IAC, self.WILL, 0, self.IAC, self.DO, 0,
                                 self.IAC, self.WILL, 3, self.IAC, self.DO, 3, self.IAC, self.DONT, 1]))

    def _read(self):
        pending = b""
        while True:
            try:
                data = self.sock.recv(4096)
            except OSError:
                return
            if not data:
                return
            pending += data
            for found in re.finditer(rb"\xff\xfa\x2c(.)((?:[^\xff]|\xff\xff)*)\xff\xf0", pending, re.S):
                with self.lock:
                    self.answers.append((found.group(1)[0], found.group(2).replace(b"\xff\xff", b"\xff")))
                    self.lock.notify_all()
            pending = pending[pending.rfind(b"\xff\xf0") + 2 :] if b"\xff\xf0" in pending else pending[-64:]

    def command(self, code, value):
        self.sock.sendall(bytes([self.IAC, self.SB, self.COM_PORT, code]) + value.replace(b"\xff", b"\xff\xff")
                          + bytes([self.IAC, self.SE]))

    def set_line(self, baud):
        """The rate and 8N1; waits for the rate's answer, and says whether it came."""
        since = len(self.answers)
        self.command(1, struct.pack(">I", baud))
        for code, value in ((2, 8), (3, 1), (4, 1)):
            self.command(code, bytes([value]))
        deadline = time.time() + 20
        with self.lock:
            while not any(code == 101 for code, _ in self.answers[since:]) and time.time() < deadline:
                self.lock.wait(0.5)
            return any(code == 101 for code, _ in self.answers[since:])

    def write(self, data):
        self.sock.sendall(data.replace(b"\xff", b"\xff\xff"))

    def close(self):
        """Ends the connection the orderly way and reads until the server closes its side too. Closed
        at once instead, the connection left ser2net holding the 16550 for about 20 s more."""
        self.sock.shutdown(socket.SHUT_WR)
        self.reader.join(10)
        self.sock.close()


def peer_play(port):
    """Writes two seconds of 38400 8N1 line time at once and changes the rate right after; then
    two writes of 0.2 s of line time with a 0.5 s pause between them; then tessik's burst of 14
    pulses."""
    peer = Peer(port)
    peer.set_line(38400)
    time.sleep(0.5)
    run = {"started": time.time(), "flood": b"\xf0" * 7680}
    peer.write(run["flood"])
    run["key"] = time.time()
    peer.set_line(19200)
    time.sleep(2.5)
    run["pause_time"] = time.time()
    peer.write(b"\xf0" * 384)
    time.sleep(0.5)
    peer.write(b"\xf0" * 384)
    time.sleep(1)
    run["burst_time"] = time.time()
    run["burst"] = bytes([0x55, 0x55, 0xD5])
    peer.write(run["burst"])
    time.sleep(0.5)
    run["end"] = time.time()
    peer.close()
    return run


class SentBytes:
    """The bytes a program sends to the forwarded port, each TCP segment stamped by this host's
    kernel as it left the program (a packet socket on the loopback device). They reach the 16550
    later, through QEMU's user network, the guest's TCP and ser2net, and every one of these, like
    this test's own threads, can stall on a busy machine: the kernel's stamps tell what the
    program did apart from what the way did."""

    SO_TIMESTAMP = 29  # Linux; the socket module does not name it

    def __init__(self, port):
        self.port = port
        self.segments = []  # (time, sequence number, payload)
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.sock.setsockopt(socket.SOL_SOCKET, self.SO_TIMESTAMP, 1)
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.2)
        self.running = True
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while self.running:
            try:
                packet, ancillary, _, address = self.sock.recvmsg(65536, socket.CMSG_SPACE(16))
            except socket.timeout:
                continue
            # On the loopback device each packet passes twice, going out and coming in.
            if address[2] != socket.PACKET_OUTGOING:
                continue
            ip = packet[14:]  # after the loopback device's Ethernet-like header
            if len(ip) < 20 or ip[0] >> 4 != 4 or ip[9] != 6:
                continue
            tcp = ip[(ip[0] & 15) * 4 : struct.unpack(">H", ip[2:4])[0]]
            if len(tcp) < 20 or struct.unpack(">H", tcp[2:4])[0] != self.port:
                continue
            payload = tcp[(tcp[12] >> 4) * 4 :]
            if not payload:
                continue
            stamp = next((seconds + micro / 1e6 for level, kind, value in ancillary
                          if level == socket.SOL_SOCKET and kind == self.SO_TIMESTAMP
                          for seconds, micro in [struct.unpack("qq", value[:16])]), time.time())
            self.segments.append((stamp, struct.unpack(">I", tcp[4:8])[0], payload))

    def stop(self):
        self.running = False
        self.reader.join(2)
        self.sock.close()

    def data(self):
        """The data bytes the program sent, in order, without the telnet commands and without a
        segment sent again: [(host time, byte)]."""
        chunks, next_sequence = [], None
        for when, sequence, payload in self.segments:
            end = (sequence + len(payload)) % (1 << 32)
            if next_sequence is not None:
                behind = (next_sequence - sequence) % (1 << 32)
                if behind < (1 << 31):  # starts before the next new byte: sent again
                    if behind >= len(payload):
                        continue
                    payload = payload[behind:]
            chunks.append((when, payload))
            next_sequence = end
        return telnet_data(chunks)


def telnet_data(chunks):
    """The data bytes of a client's telnet stream [(time, bytes)]: IAC IAC is a 0xFF, options and
    subnegotiations are left out. [(time, byte)]"""
    data, state = [], "data"
    options = {Peer.WILL, 252, Peer.DO, Peer.DONT}
    for when, chunk in chunks:
        for byte in chunk:
            if state == "data":
                if byte == Peer.IAC:
                    state = "command"
                else:
                    data.append((when, byte))
            elif state == "command":
                if byte == Peer.IAC:
                    data.append((when, byte))
                state = "sub" if byte == Peer.SB else "option" if byte in options else "data"
            elif state == "option":
                state = "data"
            elif state == "sub":
                state = "sub-iac" if byte == Peer.IAC else "sub"
            else:  # after IAC in a subnegotiation: IAC SE ends it
                state = "data" if byte == Peer.SE else "sub"
    return data


class Trace:
    """What QEMU's trace shows of the 16550: each programming and each byte written to its
    transmit holding register."""

    def __init__(self, events):
        self.states = programming(events, "16550")
        self.state_times = [state[0] for state in self.states]
        self.written = []  # (time, byte)
        lcr = 0
        for when, name, args in events:
            found = name == "serial_write" and re.match(r"write addr 0x([0-9a-f]+) val 0x([0-9a-f]+)", args)
            if not found:
                continue
            register, value = int(found.group(1), 16), int(found.group(2), 16)
            if register == 3:
                lcr = value
            elif register == 0 and not lcr & 0x80:  # offset 0 is the divisor latch while DLAB is set
                self.written.append((when, value))
        self.written_times = [when for when, _ in self.written]

    def state_at(self, when):
        index = bisect.bisect_right(self.state_times, when) - 1
        return self.states[index] if index >= 0 else None

    def bytes_between(self, start, end):
        return self.written[bisect.bisect_left(self.written_times, start) : bisect.bisect_left(self.written_times, end)]

    def replay(self, start, end, busy_to_end=False, sent=None):
        """The model line fed with the bytes that reached the 16550 from `start` to `end`, or with
        the bytes `sent` ([(time, byte)]) at those times, as though there were no path between."""
        line = ModelLine()
        for when, _ in sent if sent is not None else self.bytes_between(start, end):
            if start <= when < end:
                line.feed(when, frame_seconds(self.state_at(when)))
        if busy_to_end:
            line.busy_until(end)
        return line

    def setting(self, after, wanted):
        """The first time at or after `after` that the 16550 ran the (baud, parity, data, stop) wanted."""
        for state in self.states[bisect.bisect_left(self.state_times, after) :]:
            if state[1:] == wanted:
                return state[0]
        return None


def ms(seconds):
    return None if seconds is None else 1000 * seconds


class Figures:
    """The table: one row per figure, a column per way of reaching the 16550."""

    COLUMNS = ("guest", "remote", "wan", "peer")

    def __init__(self):
        self.rows = []  # (figure, goal text, {column: value text})

    def add(self, figure, goal, column, value):
        for row in self.rows:
            if row[0] == figure:
                row[2][column] = value
                return
        self.rows.append((figure, goal, {column: value}))

    def print(self):
        width = max(len(row[0]) for row in self.rows)
        print("--- figures: guest = the program in the guest on its 16550; remote = the program on this host through "
              "ser2net; wan = the same through DelayingRelay; peer = the test's own client, which writes 2 s of 38400 8N1 line time at once, changes the "
              "rate at once, pauses, and writes tessik's burst of 14")
        print(f"  {'':{width}}  " + " ".join(f"{column:>10}" for column in self.COLUMNS) + "  goal")
        for figure, goal, values in self.rows:
            cells = " ".join(f"{values.get(column, '-'):>10}" for column in self.COLUMNS)
            print(f"  {figure:{width}}  {cells}  {goal}")


def judge_stream(checks, figures, what, column, trace, window, sent_window, run, busy, gap_goal):
    """The gaps and backlog of a stretch of one program's bytes: on the line, as they reached the
    16550, and for a remote program also as it sent them (SentBytes). The line's figures include
    what QEMU's user network and the emulated guest added on the way; the goals are judged on
    what the program sent. A guest program's bytes reach the 16550 directly."""
    line = trace.replay(*window, busy_to_end=busy)
    figures.add(f"{what}: largest gap on the line (ms)", "", column, f"{ms(line.largest_gap):.1f}")
    figures.add(f"{what}: largest backlog on the line (ms)", "", column, f"{ms(line.largest_backlog):.1f}")
    if column != "remote":
        return
    sent = trace.replay(*sent_window, busy_to_end=busy, sent=run["sent"])
    goals = (f"<= {ms(gap_goal):.0f}" if gap_goal else "", f"<= {ms(BACKLOG_GOAL):.0f}")
    figures.add(f"{what}: largest gap as sent (ms)", goals[0], column, f"{ms(sent.largest_gap):.1f}")
    figures.add(f"{what}: largest backlog as sent (ms)", goals[1], column, f"{ms(sent.largest_backlog):.1f}")
    checks.check(f"{what} remote: " + (f"no gap over {ms(gap_goal):.0f} ms, " if gap_goal else "")
                 + f"never over {ms(BACKLOG_GOAL):.0f} ms sent ahead of the line",
                 (not gap_goal or sent.largest_gap <= gap_goal) and sent.largest_backlog <= BACKLOG_GOAL,
                 f"as sent: gap {ms(sent.largest_gap):.1f} ms, backlog {ms(sent.largest_backlog):.1f} ms; on the "
                 f"line: gap {ms(line.largest_gap):.1f} ms, backlog {ms(line.largest_backlog):.1f} ms")


def judge_wendro(checks, figures, column, run, trace):
    """Each key's time to its row's setting in the 16550, and the 3840 Hz wave over
    STEADY_SECONDS. The guest's figures are for comparison: its times are those of an emulated
    CPU, so only what it did is judged there, not how fast."""
    where, remote = {"remote": "remote", "wan": "across a WAN"}.get(column, "in the guest"), column != "guest"
    goal = SETTING_GOAL + (2 * WAN_DELAY if column == "wan" else 0)  # across a WAN, a round trip more
    worst_raw = worst_beyond = worst_left = 0.0
    missing = []
    for when, row in run["keys"]:
        baud, parity, data, stop, _ = WENDRO_ROWS[row]
        changed = trace.setting(when, (baud, parity, data, stop))
        if changed is None:
            missing.append(row)
            continue
        # A key waits for the write in progress, and the setting for that write's bytes to leave
        # the line: the time beyond both is what is judged.
        drained = trace.replay(run["started"], changed).free_at or changed
        worst_raw = max(worst_raw, changed - when)
        worst_beyond = max(worst_beyond, changed - max(when, drained))
        worst_left = max(worst_left, drained - changed)
    checks.check(f"wendro {where} quits with status 0", run["status"] == 0, f"status {run['status']}")
    checks.check(f"wendro {where}: each of the 8 keys reached the 16550 as its row's setting", not missing,
                 f"rows {missing} never programmed")
    figures.add("wendro: key to new setting, longest (ms)", "", column, f"{ms(worst_raw):.0f}")
    figures.add("wendro: the same beyond the write in progress (ms)", f"<= {ms(SETTING_GOAL):.0f}", column,
                f"{ms(worst_beyond):.0f}")
    figures.add("wendro: old row's line time left at a change (ms)", f"<= {ms(LEFT_GOAL):.0f}", column,
                f"{ms(worst_left):.1f}")
    if remote:
        checks.check(f"wendro {where}: each new setting within {ms(goal):.0f} ms of the key or of the end "
                     f"of the write in progress", not missing and worst_beyond <= goal,
                     f"{ms(worst_beyond):.0f} ms")
        checks.check(f"wendro {where}: no new setting while the old row's bytes were still on the line",
                     not missing and worst_left <= LEFT_GOAL, f"{ms(worst_left):.1f} ms of line time left")
    # The wave from the first byte of row 21, on the line and as sent.
    last_key, end = run["keys"][-1][0], run["end"]
    changed = trace.setting(last_key, WENDRO_ROWS[21][:4]) or end
    first = next((when for when, byte in trace.bytes_between(changed, end) if byte == 0xF0), end)
    first_sent = next((when for when, byte in run.get("sent", []) if when >= last_key and byte == 0xF0), end)
    steady = first + STEADY_SECONDS <= end and (not remote or first_sent + STEADY_SECONDS <= end)
    checks.check(f"wendro {where}: the 3840 Hz wave ran {STEADY_SECONDS:.0f} s on the line", steady)
    if steady:
        judge_stream(checks, figures, "wendro 3840 Hz, 5 s", column, trace, (first, first + STEADY_SECONDS),
                     (first_sent, first_sent + STEADY_SECONDS), run, True, GAP_GOAL)


def judge_tessik(checks, figures, column, run, trace):
    """Each burst's bytes on the wire, its gaps and backlog."""
    where = "remote" if column == "remote" else "in the guest"
    checks.check(f"tessik {where} quits with status 0", run["status"] == 0, f"status {run['status']}")
    ends = [when for when, _ in run["bursts"][1:]] + [run["end"]]
    for (start, count), end in zip(run["bursts"], ends):
        sent = trace.bytes_between(start, end)
        wire = bytes(byte for _, byte in sent)
        states = {trace.state_at(when)[1:] for when, _ in sent}
        figures.add(f"tessik {count}: bytes on the wire", f"= {(count + 4) // 5}", column, str(len(wire)))
        checks.check(f"tessik {where}: the burst of {count} is {count} pulses, sent at 600 8N1",
                     len(wire) == (count + 4) // 5 and pulses(wire) == count and states == {(600, "N", 8, 1)},
                     f"{len(wire)} bytes {wire[:4].hex(' ')}{'...' if len(wire) > 4 else ''}, "
                     f"settings {sorted(states)}")
        judge_stream(checks, figures, f"tessik {count}", column, trace, (start, end), (start, end), run, False,
                     GAP_GOAL)


def judge_kadrel(checks, figures, column, run, trace):
    """The reports against the bytes looped back, and the stream's backlog."""
    where = "remote" if column == "remote" else "in the guest"
    checks.check(f"kadrel {where} quits with status 0", run["status"] == 0, f"status {run['status']}")
    for count, printed, returned in run["reports"]:
        want = count * 10 / 38400
        figures.add(f"kadrel, {count} bytes looped back: report (s)", f"{want:.3f} +- {REPORT_GOAL}", column,
                    f"{printed:.3f}")
        checks.check(f"kadrel {where}: {count} bytes looped back are reported within {REPORT_GOAL} s of {want:.3f}",
                     returned == count and abs(printed - want) <= REPORT_GOAL + 1e-9,
                     f"printed {printed:.3f}, {returned} bytes returned")
    window = (run["started"], run["end"])
    judge_stream(checks, figures, "kadrel stream", column, trace, window, window, run, False, None)


def judge_peer(checks, figures, run, trace):
    """The free-writing client's figures are not judged; they show that the measurement sees a
    writer that runs ahead of the line, a pause, and every byte written."""
    flood = bytes(byte for _, byte in trace.bytes_between(run["started"], run["burst_time"]))
    burst = bytes(byte for _, byte in trace.bytes_between(run["burst_time"], run["end"]))
    changed = trace.setting(run["key"], (19200, "N", 8, 1))
    line = trace.replay(run["started"], changed or run["pause_time"])
    left = line.free_at - changed if changed and line.free_at else 0
    pause = trace.replay(run["pause_time"], run["burst_time"]).largest_gap
    figures.add("wendro 3840 Hz, 5 s: largest backlog on the line (ms)", "", "peer",
                f"{ms(line.largest_backlog):.0f}")
    figures.add("wendro: key to new setting, longest (ms)", "", "peer",
                f"{ms(changed - run['key']):.0f}" if changed else "none")
    figures.add("wendro: old row's line time left at a change (ms)", f"<= {ms(LEFT_GOAL):.0f}", "peer",
                f"{ms(left):.0f}")
    figures.add("tessik 14: bytes on the wire", "= 3", "peer", str(len(burst)))
    figures.add("a 0.5 s pause after 0.2 s of line time: gap (ms)", "", "peer", f"{ms(pause):.0f}")
    checks.check("the measurement: every byte the free-writing client sent is in the trace, in order",
                 flood == run["flood"] + b"\xf0" * 768 and burst == run["burst"],
                 f"{len(flood)} flood and pause bytes, burst {burst.hex(' ')}")
    checks.check("the measurement: the free-writing client shows over a second waiting, and its rate change "
                 "landing with over a second of line time unsent",
                 line.largest_backlog > 1 and left > 1,
                 f"backlog {ms(line.largest_backlog):.0f} ms, left at the change {ms(left):.0f} ms")
    checks.check("the measurement: a 0.5 s pause after 0.2 s of line time shows as a gap of about 0.3 s",
                 0.2 < pause < 0.4, f"{ms(pause):.0f} ms")


def main():
    kernel, initramfs, work, host_build = sys.argv[1:5]
    runs = {}

    def scenarios(machine, checks):
        def host(name, port=None):
            return HostProgram(os.path.join(host_build, name, name), f"rfc2217://127.0.0.1:{port or machine.port}")

        def guest(name):
            return GuestProgram(machine, name)

        def remote(name, play, *args, column="remote"):
            # ser2net lets go of the 16550 some time after its client has left; the next program
            # must not find it still held.
            sent = SentBytes(machine.port)
            program = host(name, DelayingRelay(machine.port).port if column == "wan" else None)
            try:
                runs[f"{name}_{column}"] = dict(play(program, *args), sent=sent.data())
            finally:
                program.stop()
                sent.stop()
                runs[f"{name}_released"] = machine.released()

        def local(name, play, *args):
            runs[f"{name}_guest"] = play(guest(name), *args)

        return [
            ("ser2net in the guest", machine.serve),
            ("the free-writing client through ser2net",
             lambda: runs.update(peer=peer_play(machine.port), peer_released=machine.released())),
            ("wendro in the guest", lambda: local("wendro", wendro_play)),
            ("wendro remote", lambda: remote("wendro", wendro_play)),
            ("wendro across a WAN", lambda: remote("wendro", wendro_play, column="wan")),
            ("tessik in the guest", lambda: local("tessik", tessik_play)),
            ("tessik remote", lambda: remote("tessik", tessik_play)),
            ("kadrel in the guest", lambda: local("kadrel", kadrel_play, machine.uart)),
            ("kadrel remote", lambda: remote("kadrel", kadrel_play, machine.uart)),
        ]

    def afterwards(machine, checks, events):
        # What was played, with the trace beside it, for a look at a failure afterwards.
        with open(os.path.join(work, "runs.json"), "w") as saved:
            json.dump(runs, saved, indent=1, default=lambda value: value.hex())
        trace = Trace(events)
        figures = Figures()
        for program, judge in (("wendro", judge_wendro), ("tessik", judge_tessik), ("kadrel", judge_kadrel)):
            for column in ("remote", "guest", "wan"):
                if f"{program}_{column}" in runs:
                    judge(checks, figures, column, runs[f"{program}_{column}"], trace)
        if "peer" in runs:
            judge_peer(checks, figures, runs["peer"], trace)
        for name in ("wendro", "tessik", "kadrel", "peer"):
            if f"{name}_released" in runs:
                seconds = runs[f"{name}_released"]
                figures.add(f"{name} ended: ser2net let the 16550 go after (s)", "", "peer" if name == "peer" else
                            "remote", "over 40" if seconds is None else f"{seconds:.1f}")
        if getattr(machine, "first_answer", None):
            figures.add("ser2net's first answer after it started (s)", "", "peer", f"{machine.first_answer:.1f}")
        if figures.rows:
            figures.print()

    return play("vm remote", lambda: ServedMachine(kernel, initramfs, work), scenarios, afterwards)


if __name__ == "__main__":
    sys.exit(main())
