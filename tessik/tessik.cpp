#include "tessik.h"

#include <climits>
#include <cstring>

#include "keys_help.h"
#include "returning_port.h"

namespace tessik {
namespace {

// The last byte of a burst by N mod 5: its frame holds 5, 1, 2, 3 or 4 pulses.
constexpr std::uint8_t kBurstTail[5] = {0x55, 0xFF, 0xFD, 0xF5, 0xD5};

constexpr std::uint32_t kToneHz = 800;
constexpr std::uint32_t kToneMs = 1000;

const serial::ToolProfile kProfile = {
    "  usage: tessik port",
    serial::GENERIC_WRITE,
    0,
    true,
    true,
    {600, 8, serial::NOPARITY, serial::ONESTOPBIT},
    "tessik",
    "tessik sends bursts of exactly N pulses on the serial port's transmit line. The\n"
    "port runs at 600 baud 8N1, so each pulse is 1/600 s low, then 1/600 s high (300\n"
    "pulses a second). At the prompt > type a count from 1 to 1280 and Enter; the\n"
    "terminal bell sounds for a second after each burst. Counts can be piped in:\n"
    "printf '14\\n' | tessik ttyUSB0\n"
    "\n" KEYS_HELP,
};

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

std::size_t build_burst(int pulses, std::uint8_t* buffer) {
  std::size_t length = static_cast<std::size_t>(pulses + 4) / 5;
  for (std::size_t i = 0; i + 1 < length; ++i)
    buffer[i] = 0x55;
  buffer[length - 1] = kBurstTail[pulses % 5];
  return length;
}

int parse_count(const char* line) {
  while (is_space(*line))
    ++line;
  bool negative = false;
  if (*line == '+' || *line == '-') negative = *line++ == '-';
  long long value = 0;
  for (; *line >= '0' && *line <= '9'; ++line) {
    if (value <= INT_MAX) value = value * 10 + (*line - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int run(int argc, const char* const* argv, serial::System& system) {
  serial::Started started = start_tool(kProfile, argc, argv, system);
  if (!started.port) return started.status;
  serial::SerialPort& port = *started.port;
  serial::Console& console = system.console();

  std::uint8_t buffer[kBufferSize];
  // A line read while a burst waited for the port: the next count, or the next line at least.
  char next_line[kBufferSize] = {};
  bool have_next_line = false;
  // The port went away since its setting was made: back, it runs as it was found there.
  bool setting_lost = false;
  auto port_here = [&]() {
    if (port.presence() != serial::PortPresence::kGone) return true;
    setting_lost = true;
    return false;
  };
  for (;;) {
    console._putch('>');
    char* line = reinterpret_cast<char*>(buffer);
    if (have_next_line) {
      std::memcpy(line, next_line, kBufferSize);
      have_next_line = false;
    } else {
      // The port is looked at while the count is typed: an adapter pulled out meanwhile is let
      // go at once, so that it can come back under its own name.
      while (!console.line_ready()) {
        port_here();
        system.wait_for_events(port, serial::ReturningPort::kRetryMs);
      }
      // The end of the input ends the program like "q": nobody is left to type a count.
      if (!console.read_line(line, kBufferSize)) break;
    }
    if (line[0] == 'q' || line[0] == 'Q') break;
    int pulses = parse_count(line);
    if (pulses < 1) continue;
    if (pulses > kMaxPulses) pulses = kMaxPulses;
    std::size_t length = build_burst(pulses, buffer);
    std::uint32_t written = 0;
    // A port that is away takes no burst and sounds no tone: the burst waits for the port, and
    // goes out whole once the port is back and runs at the start's setting again. Meanwhile one
    // line is read ahead, so that "q" or the end of the input still ends the program. A write
    // that fails on a port that stays is not sent again.
    for (;;) {
      if (port_here() && (!setting_lost || port.SetCommState(started.dcb))) {
        setting_lost = false;
        port.WriteFile(buffer, static_cast<std::uint32_t>(length), &written, nullptr);
        if (port_here()) break;
        continue;
      }
      if (!have_next_line && console.line_ready()) {
        if (!console.read_line(next_line, kBufferSize) || next_line[0] == 'q' ||
            next_line[0] == 'Q') {
          port.CloseHandle();
          return serial::kQuitByUser;
        }
        have_next_line = true;
      }
      // With a line read ahead, input that waits behind it is no news: only the port's return is.
      if (have_next_line) {
        console.Sleep(serial::ReturningPort::kRetryMs);
      } else {
        system.wait_for_events(port, serial::ReturningPort::kRetryMs);
      }
    }
    console.Beep(kToneHz, kToneMs);
  }
  port.CloseHandle();
  return serial::kQuitByUser;
}

}  // namespace tessik
