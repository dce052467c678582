"""The QEMU machine the stage drives: its console, the host ends of its serial lines, its monitor,
its trace of how each UART was programmed, and the log line of the posed USB chips."""

import atexit
import os
import re
import socket
import subprocess
import threading
import time

USB_ADAPTERS = 4  # QEMU FTDI adapters: ftdi1 for the rate steps, ftdi2..4 for the unplug


class HostEnd:
    """The far end of a serial line, a unix socket QEMU connects to. It can capture what the
    program sends, and return it, like a loop-back plug, for a set number of bytes."""

    def __init__(self, path):
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.server.bind(path)
        self.server.listen(1)
        self.server.settimeout(30)
        self.lock = threading.Lock()
        self.captured = bytearray()
        self.capturing = False
        self.to_return = 0
        self.returned = 0
        self.received = 0
        self.last_byte = None

    def serve(self):
        self.conn, _ = self.server.accept()
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        while True:
            try:
                data = self.conn.recv(65536)
            except OSError:
                return
            if not data:
                return
            with self.lock:
                self.received += len(data)
                self.last_byte = data[-1]
                if self.capturing:
                    self.captured += data
                back = data[: self.to_return]
                self.to_return -= len(back)
                self.returned += len(back)
            if back:
                self.conn.sendall(back)

    def capture(self, on):
        """Starts (or stops) capturing afresh; returns what was captured until now."""
        with self.lock:
            captured = bytes(self.captured)
            self.capturing = on
            self.captured = bytearray()
            return captured

    def loop_back(self, count):
        """Returns the next `count` bytes received, then nothing more."""
        with self.lock:
            self.to_return = count
            self.returned = 0


class Console:
    """The guest's ttyS0: the shell the guest's init reads lines from, and the programs' output,
    each piece stamped with the host time it arrived."""

    def __init__(self, path):
        self.end = HostEnd(path)
        self.lock = threading.Condition()
        self.text = ""
        self.arrivals = []  # (end offset in text, host time)
        self.lines_sent = 0

    def serve(self):
        self.end.conn, _ = self.end.server.accept()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            data = self.end.conn.recv(4096)
            if not data:
                return
            with self.lock:
                self.text += data.decode("latin-1").replace("\r", "")
                self.arrivals.append((len(self.text), time.time()))
                self.lock.notify_all()

    def mark(self):
        with self.lock:
            return len(self.text)

    def arrival(self, offset):
        """The host time the text up to `offset` had arrived."""
        for end, when in self.arrivals:
            if end >= offset:
                return when
        return time.time()

    def expect(self, pattern, since, timeout):
        """The first match of `pattern` in the text after offset `since`, or None on timeout."""
        deadline = time.time() + timeout
        regex = re.compile(pattern)
        with self.lock:
            while True:
                found = regex.search(self.text, since)
                left = deadline - time.time()
                if found or left <= 0:
                    return found
                self.lock.wait(left)

    def send(self, text):
        self.end.conn.sendall(text.encode())

    def sh(self, command, timeout=30):
        """Runs one shell line in the guest: (status, output)."""
        self.lines_sent += 1
        marker = f"@@{self.lines_sent}:"
        since = self.mark()
        self.send(f'{command}\necho "{marker}$?"\n')
        found = self.expect(re.escape(marker) + r"(\d+)\n", since, timeout)
        if not found:
            raise TimeoutError(f"guest did not finish: {command}")
        return int(found.group(1)), self.text[since : found.start()]


class LineLog:
    """A serial line the guest writes whole lines to (the posed USB chips' log, on ttyS2), each
    line stamped with the host time it arrived."""

    def __init__(self, path):
        self.end = HostEnd(path)
        self.lock = threading.Condition()
        self.lines = []  # (host time, text)

    def serve(self):
        self.end.conn, _ = self.end.server.accept()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        pending = ""
        while True:
            data = self.end.conn.recv(65536)
            if not data:
                return
            pending += data.decode("latin-1").replace("\r", "")
            *complete, pending = pending.split("\n")
            with self.lock:
                now = time.time()
                self.lines += [(now, line) for line in complete if line]
                self.lock.notify_all()

    def mark(self):
        with self.lock:
            return len(self.lines)

    def expect(self, pattern, since, timeout):
        """The first line after index `since` that matches `pattern`, or None on timeout."""
        deadline = time.time() + timeout
        regex = re.compile(pattern)
        with self.lock:
            while True:
                for _, line in self.lines[since:]:
                    found = regex.match(line)
                    if found:
                        return found
                left = deadline - time.time()
                if left <= 0:
                    return None
                self.lock.wait(left)

    def since(self, index):
        with self.lock:
            return list(self.lines[index:])


class Machine:
    def __init__(self, kernel, initramfs, work, usb_adapters=USB_ADAPTERS):
        self.work = work
        os.makedirs(work, exist_ok=True)
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        self.console = Console(f"{work}/console.sock")
        self.uart = HostEnd(f"{work}/uart.sock")
        self.ftdi = HostEnd(f"{work}/ftdi.sock")
        self.monitor = HostEnd(f"{work}/monitor.sock")
        self.chip_log = LineLog(f"{work}/chips.sock")
        self.trace_file = f"{work}/trace.log"
        # Adapter n sits on the controller's port n. A usb-serial adapter is plugged in only while
        # its chardev is open: a null chardev never is, so the adapters that need no host end of
        # their own write to /dev/null. Adapter 1 ends in a socket, to see the byte on its line.
        usb = ["-device", "qemu-xhci,id=xhci",
               "-chardev", f"socket,id=line1,path={work}/ftdi.sock"]
        for n in range(1, usb_adapters + 1):
            if n > 1:
                usb += ["-chardev", f"file,id=line{n},path=/dev/null"]
            usb += ["-device", f"usb-serial,bus=xhci.0,port={n},id=ftdi{n},chardev=line{n}"]
        command = [
            "qemu-system-x86_64", "-accel", "tcg", "-m", "256", "-nodefaults", "-no-user-config",
            "-display", "none", "-no-reboot",
            "-kernel", kernel, "-initrd", initramfs,
            "-append", f"console=ttyS0 quiet panic=-1 usb_adapters={usb_adapters}",
            "-chardev", f"socket,id=console,path={work}/console.sock", "-serial", "chardev:console",
            "-chardev", f"socket,id=uart,path={work}/uart.sock", "-serial", "chardev:uart",
            # The third port, COM3 on an IRQ of its own, carries the posed USB chips' log.
            "-chardev", f"socket,id=chips,path={work}/chips.sock",
            "-device", "isa-serial,chardev=chips,iobase=0x3e8,irq=5",
            *usb,
            "-chardev", f"socket,id=monitor,path={work}/monitor.sock", "-mon", "chardev=monitor",
            "-trace", "serial_update_parameters", "-trace", "usb_serial_set_*",
            "-D", self.trace_file, "-msg", "timestamp=on",
        ]
        self.started = time.time()
        with open(f"{work}/qemu.out", "w") as log:
            self.qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        atexit.register(lambda: self.qemu.poll() is None and self.qemu.kill())
        self.console.serve()
        self.uart.serve()
        self.ftdi.serve()
        self.monitor.serve()
        self.chip_log.serve()
        if not self.console.expect(r"init: ready\n", 0, 120):
            raise TimeoutError("the guest did not boot:\n" + self.console.text[-2000:])
        self.boot_seconds = time.time() - self.started

    def hmp(self, command):
        self.monitor.conn.sendall(f"{command}\n".encode())

    def stop(self):
        try:
            self.console.send("poweroff -f\n")
            self.qemu.wait(20)
        except (OSError, subprocess.TimeoutExpired):
            self.qemu.kill()
            self.qemu.wait()

    def trace(self):
        """The trace's events in order: (host time, name, arguments text)."""
        events = []
        with open(self.trace_file) as log:
            for line in log:
                found = re.match(r"\d+@(\d+\.\d+):(\w+) (.*)", line)
                if found:
                    events.append((float(found.group(1)), found.group(2), found.group(3)))
        return events
