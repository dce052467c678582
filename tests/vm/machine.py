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
        self.send(f'{command}\necho "{marker}$last"\n')
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
    """The amd64 machine: the console on the first 16550, the 16550 under test on the second,
    QEMU's FTDI adapters on an xHCI controller, the posed USB chips' log on a third 16550."""

    TRACE = ["serial_update_parameters", "usb_serial_set_*"]

    def __init__(self, kernel, initramfs, work, usb_adapters=USB_ADAPTERS):
        self.usb_adapters = usb_adapters
        self.work = work
        os.makedirs(work, exist_ok=True)
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        self.console = Console(f"{work}/console.sock")
        self.monitor = HostEnd(f"{work}/monitor.sock")
        self.trace_file = f"{work}/trace.log"
        self.start(self.devices(kernel, initramfs), [self.console, *self.host_ends(), self.monitor])

    def host_ends(self):
        self.uart = HostEnd(f"{self.work}/uart.sock")
        self.ftdi = HostEnd(f"{self.work}/ftdi.sock")
        self.chip_log = LineLog(f"{self.work}/chips.sock")
        return [self.uart, self.ftdi, self.chip_log]

    def devices(self, kernel, initramfs):
        work = self.work
        # Adapter n sits on the controller's port n. A usb-serial adapter is plugged in only while
        # its chardev is open: a null chardev never is, so the adapters that need no host end of
        # their own write to /dev/null. Adapter 1 ends in a socket, to see the byte on its line.
        usb = ["-device", "qemu-xhci,id=xhci",
               "-chardev", f"socket,id=line1,path={work}/ftdi.sock"]
        for n in range(1, self.usb_adapters + 1):
            if n > 1:
                usb += ["-chardev", f"file,id=line{n},path=/dev/null"]
            usb += ["-device", f"usb-serial,bus=xhci.0,port={n},id=ftdi{n},chardev=line{n}"]
        return [
            "qemu-system-x86_64", "-m", "256",
            "-kernel", kernel, "-initrd", initramfs,
            # 32 ttyS nodes, as on machines whose 8250 driver is built for many: --list is timed
            # among them.
            "-append", f"console=ttyS0 quiet panic=-1 8250.nr_uarts=32 usb_adapters={self.usb_adapters} "
            "chip_log=ttyS2",
            "-chardev", f"socket,id=console,path={work}/console.sock", "-serial", "chardev:console",
            "-chardev", f"socket,id=uart,path={work}/uart.sock", "-serial", "chardev:uart",
            # The third port, COM3 on an IRQ of its own, carries the posed USB chips' log.
            "-chardev", f"socket,id=chips,path={work}/chips.sock",
            "-device", "isa-serial,chardev=chips,iobase=0x3e8,irq=5",
            *usb,
        ]

    def start(self, devices, ends):
        """Starts QEMU with the machine's `devices` arguments, its monitor and its trace, takes
        the connections of the host `ends` (in the order QEMU makes them) and waits for the
        guest's init to say it is ready."""
        command = [
            *devices[:1], "-accel", "tcg", "-nodefaults", "-no-user-config", "-display", "none",
            "-no-reboot", *devices[1:],
            "-chardev", f"socket,id=monitor,path={self.work}/monitor.sock", "-mon", "chardev=monitor",
            *[arg for event in self.TRACE for arg in ("-trace", event)],
            "-D", self.trace_file, "-msg", "timestamp=on",
        ]
        self.started = time.time()
        with open(f"{self.work}/qemu.out", "w") as log:
            self.qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        atexit.register(lambda: self.qemu.poll() is None and self.qemu.kill())
        for end in ends:
            end.serve()
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


class Arm64Machine(Machine):
    """QEMU's arm64 `virt` machine: its PL011 UART (the only one the board has) under test, the
    guest's console on a virtio console instead. QEMU traces the divisor the driver writes."""

    TRACE = ["pl011_baudrate_change"]
    PL011_BASE = 0x09000000  # where the virt board maps its PL011

    def host_ends(self):
        self.uart = HostEnd(f"{self.work}/uart.sock")
        return [self.uart]

    def devices(self, kernel, initramfs):
        work = self.work
        return [
            "qemu-system-aarch64", "-M", "virt", "-cpu", "max", "-m", "512",
            "-kernel", kernel, "-initrd", initramfs,
            "-append", "console=hvc0 quiet panic=-1 modules=virtio_mmio,virtio_console shell=hvc0",
            "-chardev", f"socket,id=console,path={work}/console.sock",
            "-device", "virtio-serial-device", "-device", "virtconsole,chardev=console",
            "-chardev", f"socket,id=uart,path={work}/uart.sock", "-serial", "chardev:uart",
        ]

    def pl011_registers(self):
        """IBRD, FBRD and LCR_H as the device holds them now, read through QEMU's monitor."""
        self.monitor.capture(True)
        self.hmp(f"xp /3wx {self.PL011_BASE + 0x24:#x}")
        deadline, text = time.time() + 10, ""
        while time.time() < deadline:
            text += self.monitor.capture(True).decode("latin-1")
            found = re.search(r"0*9000024: (0x[0-9a-f]+) (0x[0-9a-f]+) (0x[0-9a-f]+)", text)
            if found:
                self.monitor.capture(False)
                return tuple(int(value, 16) for value in found.groups())
            time.sleep(0.05)
        raise TimeoutError("the monitor did not show the PL011's registers")
