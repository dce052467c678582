// Virtual time of the bench.
#pragma once

#include <cstdint>
#include <limits>

namespace sim {

// One tick is 1/44 352 000 s: every bit time of the rates the tools use (110 to 115200 baud, 14400
// and 56000 among them) is a whole number of ticks, so frames never drift by rounding.
using Tick = std::int64_t;
constexpr Tick kTicksPerSecond = 44'352'000;
constexpr Tick kTicksPerMs = kTicksPerSecond / 1000;
constexpr Tick kNever = std::numeric_limits<Tick>::max();

constexpr Tick from_ms(double ms) {
  return static_cast<Tick>(ms * kTicksPerMs);
}
constexpr Tick from_us(double us) {
  return static_cast<Tick>(us * kTicksPerSecond / 1e6);
}
constexpr double to_ms(Tick t) {
  return static_cast<double>(t) / kTicksPerMs;
}
constexpr double to_seconds(Tick t) {
  return static_cast<double>(t) / kTicksPerSecond;
}

// Ticks of one bit at a baud rate.
constexpr Tick bit_ticks(std::uint32_t baud) {
  return baud == 0 ? kTicksPerSecond : kTicksPerSecond / baud;
}

}  // namespace sim
