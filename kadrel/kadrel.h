// kadrel: measures for how long the port's own transmit stream comes back on its receive line.
//
// The tool sends 0x55 frames without end at 38400 baud. Each frame holds five pulses, so what comes
// back is counted in pulses, units of 1/19200 s, and reported in seconds once the returning stream
// has stopped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "start.h"

namespace kadrel {

constexpr std::uint32_t kBaudRate = 38400;
constexpr std::size_t kTransmitSize = 256;
constexpr std::size_t kReceiveSize = 768;  // 0.2 s of stream
constexpr std::uint8_t kStreamByte = 0x55;
constexpr std::uint32_t kUnitsPerByte = 5;  // pulses in one 0x55 frame
constexpr std::uint32_t kUnitsPerSecond = 19200;
// A read ends short once this long passes after a received byte without the next one.
constexpr std::uint32_t kReadIntervalMs = 200;
// A short read is held this long, and a little more, before it is reported.
constexpr long kSettleMs = 200;
// After a full read, a stream that went on at full speed ends the next read, full or short, within
// one read's length (200 ms) plus the interval (200 ms). A read with no byte in it after this long
// means the stream stopped exactly at the end of the full read; one that holds bytes belongs to a
// slower stream that has not stopped. The 100 ms beyond those 400 ms absorb the loop's own
// latency and the clock's millisecond steps. A port that says 0 for every running read cannot
// tell an empty read from a slowly filling one: there the rule is never applied, so a slow stream
// stays one measurement and a stream that stopped on a read's end is reported with the next one.
constexpr long kEmptyReadReportMs = 500;

// Pulses in the last frame of a returning stream, by the byte the receiver made of it. A 0x55
// frame cut off after its first 4, 3, 2 or 1 pulses reads as 0xD5, 0xF5, 0xFD or 0xFF; every other
// byte counts as a whole frame.
std::uint32_t pulses_in_last_frame(std::uint8_t last_byte);

// The length of one measurement in units of 1/19200 s: the full reads since the last report and a
// final read of `final_count` bytes whose last byte is `last_byte` (ignored when the count is 0).
// Unsigned 32-bit arithmetic throughout.
std::uint32_t measurement_units(std::uint32_t full_reads, std::uint32_t final_count,
                                std::uint8_t last_byte);

double units_to_seconds(std::uint32_t units);

// The whole program after the process entry; returns the exit status.
int run(int argc, const char* const* argv, serial::System& system);

}  // namespace kadrel
