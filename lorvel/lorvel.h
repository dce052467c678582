// lorvel: byte exchange with an 8-bit shift-register board driven through the port's control lines
// alone, showing a cycling hexadecimal digit on the board and printing its input whenever it
// changes.
#pragma once

#include <cstdint>

#include "start.h"

namespace lorvel {

// Seven-segment patterns of the hexadecimal digits 0..F: segment a in bit 0 through segment g in
// bit 6. The decimal point, bit 7, is clear in every entry.
constexpr std::uint8_t kSegmentTable[16] = {
    0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x27,  // 0 1 2 3 4 5 6 7
    0x7F, 0x6F, 0x77, 0x7C, 0x39, 0x5E, 0x79, 0x71,  // 8 9 A b C d E F
};
constexpr std::uint8_t kDecimalPoint = 0x80;

// Sends `output` to the board and brings its eight inputs back in one exchange of about 80 ms.
// DTR low with one clock pulse loads the board's inputs; then eight cycles each sample CTS, put
// the next output bit (most significant first) on RTS and clock once (break cleared, then set).
// Results of the line operations are not examined: the whole sequence always runs. A failed status
// read counts as CTS not asserted. Afterwards DTR and break are set and RTS holds bit 0 of output.
std::uint8_t shift_exchange(serial::SerialPort& port, serial::Console& console,
                            std::uint8_t output);

// The whole program after the process entry; returns the exit status.
int run(int argc, const char* const* argv, serial::System& system);

}  // namespace lorvel
