// Arithmetic of the line that every port shares: the bits of one frame and the rate judgement.
#pragma once

#include <cmath>
#include <cstdint>

#include "serial_port.h"

namespace serial {

// Bits per frame: start, data, parity, stop; one and a half stop bits count as two.
inline unsigned frame_bits(const DCB& dcb) {
  unsigned stop_bits = dcb.StopBits == ONESTOPBIT ? 1 : 2;
  unsigned parity_bits = dcb.Parity == NOPARITY ? 0 : 1;
  return 1 + dcb.ByteSize + parity_bits + stop_bits;
}

// Whether a line that runs at `runs` baud carries `asked` well enough: within 2 %, what a UART's
// divider or a USB bridge may round to without harm. A line that cannot run at all (0) never does.
inline bool runs_within_tolerance(double runs, std::uint32_t asked) {
  return runs > 0 && std::fabs(runs - asked) * 50 <= asked;
}

}  // namespace serial
