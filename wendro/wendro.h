// wendro: a continuous square wave on the transmit line at one of 30 fixed frequencies, stepped up
// and down with keys. The framing alone makes the wave: each rate row names a baud rate, parity,
// stop bits and the one byte whose frames, sent back to back, alternate the line evenly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "start.h"

namespace wendro {

// One row of the rate table.
struct Rate {
  std::uint32_t baud;
  std::uint8_t parity;     // DCB Parity code
  std::uint8_t stop_bits;  // DCB StopBits code
  std::uint16_t fill;      // only the low byte is sent
  char label[6];           // the frequency in whole hertz, five characters right-aligned
};

constexpr int kRateCount = 30;
constexpr int kStartIndex = 13;           // "  800"
constexpr std::size_t kBufferSize = 256;  // the fill buffer, and the longest write

// The row at `index` (0..kRateCount-1), from 18 Hz up to 19200 Hz.
const Rate& rate(int index);

// Bytes per write at a row: 20 for each row up to row 11 (20, 40, ... 240), then the whole buffer.
// Short writes at the slow rows keep the keys answered while the wave runs.
std::uint32_t write_length(int index);

// What a key does to the running wave.
enum class Step { kNone, kUp, kDown, kQuit };

// The meaning of a plain key code. Extended keys arrive as the prefix 224 and a second code; a
// prefix of 0 is a key of its own that means nothing, and its second code is read as another key.
Step step_for_key(int code);
// The meaning of the second code of a 224-prefixed key: Up steps up, every other one steps down.
Step step_for_extended_key(int second_code);

constexpr int kExtendedPrefix = 224;
constexpr int kUpArrow = 72;

// The whole program after the process entry; returns the exit status.
int run(int argc, const char* const* argv, serial::System& system);

}  // namespace wendro
