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
