"""What a serial line carries, from first principles: the wave that frames of one byte make, the
pulses of a burst, and which programming of a port was in force at a moment."""


def setting_at(states, when):
    """The last programming at or before `when`."""
    last = None
    for state in states:
        if state[0] <= when:
            last = state
    return last


def wave_hz(baud, parity, data_bits, stop_bits, byte):
    """The square wave that frames of `byte`, sent back to back, make on the line: the frame's
    falling edges per frame time."""
    bits = [0] + [(byte >> i) & 1 for i in range(data_bits)]
    if parity in "EO":
        bits.append((sum(bits) + (parity == "O")) % 2)
    bits += [1] * stop_bits
    falls = sum(1 for i in range(len(bits)) if bits[i - 1] == 1 and bits[i] == 0)
    return baud * falls / len(bits)


def pulses(frames):
    """The low pulses that bytes framed 8N1 back to back put on an idle-high line, if each is one
    bit low and one bit high; None for any other shape."""
    bits = "".join("0" + "".join(str((b >> i) & 1) for i in range(8)) + "1" for b in frames).rstrip("1")
    count = (len(bits) + 1) // 2
    return count if bits == "01" * (count - 1) + "0" else None


def frame_seconds(state):
    """One frame's time under a programming (time, baud, parity, data, stop): the start bit, the
    data bits, a parity bit unless the parity is N, and the stop bits."""
    _, baud, parity, data, stop = state
    return (1 + data + (parity != "N") + stop) / baud


class ModelLine:
    """A line that sends the bytes fed to it in order, back to back while any wait, each in the
    frame time programmed when it came. Fed the moments the bytes reached a UART that passes them
    on at once (QEMU's), it shows the idle gaps and the backlog that a UART which paces its line
    would have had."""

    def __init__(self):
        self.free_at = None  # when everything fed so far has been sent
        self.largest_gap = 0.0
        self.largest_backlog = 0.0

    def feed(self, when, frame):
        if self.free_at is None:
            self.free_at = when + frame
            return
        self.largest_gap = max(self.largest_gap, when - self.free_at)
        self.largest_backlog = max(self.largest_backlog, self.free_at - when)
        self.free_at = max(self.free_at, when) + frame

    def busy_until(self, when):
        """The line should have carried bytes until `when`: idle time before it is a gap too."""
        if self.free_at is not None:
            self.largest_gap = max(self.largest_gap, when - self.free_at)
