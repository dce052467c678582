#include "lorvel.h"

#include "keys_help.h"

namespace lorvel {
namespace {

constexpr std::uint32_t kBitPauseMs = 10;
constexpr std::uint32_t kCyclePauseMs = 500;
// Previous input before the first exchange: no exchange returns it, so the first cycle prints.
constexpr int kNoInputYet = -1;

const serial::ToolProfile kProfile = {
    "  usage: lorvel port",
    serial::GENERIC_READ | serial::GENERIC_WRITE,
    0,
    false,
    false,
    {},
    "lorvel",
    "lorvel exchanges one byte about every 580 ms with an 8-bit shift-register board\n"
    "on the serial port's control lines: DTR loads, RTS carries the data out, the\n"
    "break state of the transmit line clocks and CTS brings the data in. It sends\n"
    "the board a cycling hexadecimal digit as a seven-segment pattern, lights the\n"
    "decimal point in the cycle after each input change, and prints the board's\n"
    "input (  ff) whenever it changes. The port keeps its rate and framing.\n"
    "A remote port (rfc2217://) is refused: its server reads CTS only once a second,\n"
    "and the exchange needs CTS within a millisecond of each clock edge.\n"
    "\n" KEYS_HELP,
    serial::KeyInput::kKeysLeftUnread,
    /*local_port_only=*/true,
};

}  // namespace

std::uint8_t shift_exchange(serial::SerialPort& port, serial::Console& console,
                            std::uint8_t output) {
  // Lines to a known state, then DTR low around one clock pulse: the board loads its inputs.
  port.EscapeCommFunction(serial::SETDTR);
  port.EscapeCommFunction(serial::SETRTS);
  port.EscapeCommFunction(serial::SETBREAK);
  port.EscapeCommFunction(serial::CLRDTR);
  port.EscapeCommFunction(serial::CLRBREAK);
  port.EscapeCommFunction(serial::SETBREAK);
  port.EscapeCommFunction(serial::SETDTR);

  std::uint8_t accumulator = 0;
  for (int cycle = 0; cycle < 8; ++cycle) {
    console.Sleep(kBitPauseMs);
    // Cleared before every read, so a read that fails counts as CTS not asserted whatever the
    // port leaves in the word.
    std::uint32_t status = 0;
    port.GetCommModemStatus(status);
    const bool cts = (status & serial::MS_CTS_ON) != 0;
    // The first sample ends in bit 0, the last in bit 7.
    accumulator = static_cast<std::uint8_t>((accumulator >> 1) | (cts ? 0x80 : 0));
    const bool bit = ((output >> (7 - cycle)) & 1) != 0;
    port.EscapeCommFunction(bit ? serial::SETRTS : serial::CLRRTS);
    // Break cleared, then set: one clock pulse shifts RTS in and the next input bit out.
    port.EscapeCommFunction(serial::CLRBREAK);
    port.EscapeCommFunction(serial::SETBREAK);
  }
  // An asserted CTS stands for an input bit at 0.
  return static_cast<std::uint8_t>(255 - accumulator);
}

int run(int argc, const char* const* argv, serial::System& system) {
  serial::Started started = start_tool(kProfile, argc, argv, system);
  if (!started.port) return started.status;
  serial::SerialPort& port = *started.port;
  serial::Console& console = system.console();

  // Unsigned, so the count wraps instead of overflowing; 2^32 is a multiple of 16, so the digits
  // keep their order across the wrap.
  std::uint32_t digit_cycle = 0;
  int previous_input = kNoInputYet;
  std::uint8_t point = 0;
  // Any key ends the loop. It is left unread, for whatever reads the console next.
  while (!console._kbhit()) {
    // With the port away there is no exchange and nothing to print: an input read from no board
    // would be a value nothing measured. Back, the next exchange prints what the board holds.
    serial::PortPresence presence = port.presence();
    if (presence == serial::PortPresence::kBack) previous_input = kNoInputYet;
    if (presence == serial::PortPresence::kGone) {
      system.wait_for_events(port, -1);
      continue;
    }
    const std::uint8_t output = static_cast<std::uint8_t>(kSegmentTable[digit_cycle % 16] + point);
    const std::uint8_t input = shift_exchange(port, console, output);
    // Gone during the exchange: what it read is dropped.
    if (port.presence() == serial::PortPresence::kGone) continue;
    // The point lights for the one cycle after a change.
    if (input != previous_input) {
      console.print("  %02x\n", input);
      previous_input = input;
      point = kDecimalPoint;
    } else {
      point = 0;
    }
    ++digit_cycle;
    console.Sleep(kCyclePauseMs);
  }
  port.CloseHandle();
  return serial::kQuitByUser;
}

}  // namespace lorvel
