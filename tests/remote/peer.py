#!/usr/bin/env python3
"""A stand-in for the programs on a remote port, to prove remote_check.py itself: it does what
tessik, wendro (its first two rows) and kadrel do on the line, through the same servers, with the
same keys and output. With PEER_FLOOD=1 it writes without pacing, which the checks must catch.

Usage: peer.py PROGRAM rfc2217://HOST:PORT
"""
import os
import re
import select
import socket
import struct
import sys
import threading
import time

IAC, SB, SE, WILL, WONT, DO, DONT = 255, 250, 240, 251, 252, 253, 254
BINARY, SGA, COM_PORT = 0, 3, 44
LEAD = 0.03  # seconds of data allowed ahead of the line
FLOOD = os.environ.get("PEER_FLOOD") == "1"


class Link:
    def __init__(self, url):
        found = re.fullmatch(r"rfc2217://([0-9.]+):([0-9]{1,5})", url)
        if not found or not 0 < int(found.group(2)) < 65536:
            sys.exit(2)
        try:
            self.socket = socket.create_connection((found.group(1), int(found.group(2))), 1)
        except OSError:
            sys.exit(2)
        self.socket.settimeout(None)
        self.answers, self.received = {}, bytearray()
        self.lock = threading.Condition()
        self.closed = False
        self.socket.sendall(bytes([IAC, WILL, COM_PORT, IAC, WILL, BINARY, IAC, DO, BINARY]))
        threading.Thread(target=self._read, daemon=True).start()
        with self.lock:  # a telnet server asks for the com-port option first
            if not self.lock.wait_for(lambda: "do" in self.answers or self.closed, 5):
                sys.exit(2)
            if self.closed:
                sys.exit(2)
        self.sent, self.rate, self.started = 0, 1.0, time.monotonic()

    def _read(self):
        data, i = b"", 0
        while True:
            try:
                chunk = self.socket.recv(4096)
            except OSError:
                chunk = b""
            if not chunk:
                with self.lock:
                    self.closed = True
                    self.lock.notify_all()
                return
            data = data[i:] + chunk
            i = 0
            while i < len(data):
                if data[i] != IAC:
                    with self.lock:
                        self.received.append(data[i])
                    i += 1
                    continue
                if i + 1 >= len(data):
                    break
                op = data[i + 1]
                if op == IAC:
                    self.received.append(IAC)
                    i += 2
                elif op in (WILL, WONT, DO, DONT):
                    if i + 2 >= len(data):
                        break
                    if op == DO and data[i + 2] == COM_PORT:
                        with self.lock:
                            self.answers["do"] = True
                            self.lock.notify_all()
                    i += 3
                elif op == SB:
                    end = data.find(bytes([IAC, SE]), i)
                    if end < 0:
                        break
                    body = data[i + 2:end].replace(b"\xff\xff", b"\xff")
                    if body[0] == COM_PORT:
                        with self.lock:
                            self.answers[body[1]] = body[2:]
                            self.lock.notify_all()
                    i = end + 2
                else:
                    i += 2

    def command(self, code, value):
        with self.lock:
            self.answers.pop(code + 100, None)
        self.socket.sendall(bytes([IAC, SB, COM_PORT, code]) + value.replace(b"\xff", b"\xff\xff")
                            + bytes([IAC, SE]))
        with self.lock:
            self.lock.wait_for(lambda: code + 100 in self.answers, 3)
            return self.answers.get(code + 100)

    def drained(self):
        """Waits until what was sent has left the line."""
        time.sleep(max(0.0, self.started + self.sent / self.rate - time.monotonic()) + 0.01)

    def configure(self, baud, parity, stop):
        self.drained()
        bits = 1 + 8 + (parity != 1) + stop
        wanted = [(1, struct.pack(">I", baud)), (2, b"\x08"), (3, bytes([parity])),
                  (4, bytes([stop]))]
        for code, value in wanted:
            answer = self.command(code, value)
            if answer is None or answer[:len(value)] != value:
                return False
        self.rate, self.started, self.sent = baud / bits, time.monotonic(), 0
        return True

    def write(self, data):
        step = max(1, int(self.rate * 0.01))  # 10 ms of line time a piece
        for i in range(0, len(data), step):
            if not FLOOD:
                ahead = self.sent / self.rate - (time.monotonic() - self.started)
                if ahead < 0:  # the line ran dry: start counting again from now
                    self.started, self.sent = time.monotonic(), 0
                time.sleep(max(0.0, ahead - LEAD))
            piece = data[i:i + step]
            self.socket.sendall(piece.replace(b"\xff", b"\xff\xff"))
            self.sent += len(piece)


def keys():
    """Typed bytes, or b'' when none is waiting."""
    if select.select([0], [], [], 0)[0]:
        return os.read(0, 64) or b"q"
    return b""


def tessik(link):
    if not link.configure(600, 1, 1):
        sys.exit(4)
    while True:
        sys.stdout.write(">")
        sys.stdout.flush()
        line = sys.stdin.buffer.readline()
        if not line or line[:1] in b"qQ":
            return
        found = re.match(rb"\s*\+?([0-9]+)", line)
        pulses = min(int(found.group(1)), 1280) if found else 0
        if pulses > 0:
            full, rest = divmod(pulses, 5)
            tail = bytes([[0x55, 0xFF, 0xFD, 0xF5, 0xD5][rest]]) if rest else b""
            link.write(b"\x55" * full + tail)
            link.drained()
            time.sleep(1.0)


def wendro(link):
    rows = [(800, 4800, 3, 2, 0x1C), (960, 9600, 1, 1, 0xF0)]
    row = 0
    if not link.configure(*rows[0][1:4]):
        sys.exit(4)
    print("%6d Hz" % rows[0][0], flush=True)
    while True:
        link.write(bytes([rows[row][4]]) * 32)
        typed = keys()
        if typed[:1] in (b"q", b"Q"):
            return
        if typed[:1] == b"+" and row == 0:
            row = 1
            link.configure(*rows[1][1:4])
            print("%6d Hz" % rows[1][0], flush=True)


def kadrel(link):
    if not link.configure(38400, 1, 1):
        sys.exit(4)
    last_count, last_change = 0, time.monotonic()
    while True:
        link.write(b"\x55" * 64)
        if keys()[:1] in (b"q", b"Q"):
            return
        with link.lock:
            count = len(link.received)
        if count != last_count:
            last_count, last_change = count, time.monotonic()
        elif count and time.monotonic() - last_change > 0.4:
            print("  %3.3f Sec." % (count / 3840), flush=True)
            with link.lock:
                del link.received[:]
            last_count = 0


def main():
    program, url = sys.argv[1], sys.argv[2]
    if program == "lorvel" or not url.startswith("rfc2217://"):
        sys.exit(2)
    link = Link(url)
    try:
        {"tessik": tessik, "wendro": wendro, "kadrel": kadrel}[program](link)
    except OSError:
        sys.exit(2)
    link.socket.close()


if __name__ == "__main__":
    main()
