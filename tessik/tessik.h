// tessik: bursts of an exact number of pulses on the transmit line, one burst per typed count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "start.h"

namespace tessik {

constexpr int kMaxPulses = 1280;          // 256 bytes of 0x55, the whole buffer
constexpr std::size_t kBufferSize = 256;  // the input line, then the burst

// Fills buffer with the bytes whose 600 baud 8N1 frames hold exactly `pulses` pulses
// (1..kMaxPulses) and returns how many bytes that is.
std::size_t build_burst(int pulses, std::uint8_t* buffer);

// The count a typed line asks for, read as atoi reads it: leading white space, an optional sign,
// the digits up to the first other character; 0 when there are none. A count beyond the range of
// int saturates instead of overflowing, so a huge count is still "above 1280" and a hugely
// negative one still "below 1".
int parse_count(const char* line);

// The whole program after the process entry; returns the exit status.
int run(int argc, const char* const* argv, serial::System& system);

}  // namespace tessik
