#include "wendro.h"

#include <cstring>

#include "keys_help.h"
#include "returning_port.h"

namespace wendro {
namespace {

using serial::EVENPARITY;
using serial::NOPARITY;
using serial::ONESTOPBIT;
using serial::TWOSTOPBITS;

// Three frame patterns, each half high and half low:
//   0x1C, even parity, two stop bits: 0 00111000 1 11  -> two periods in 12 bits, baud / 6
//   0xF0, no parity, one stop bit:    0 00001111 1      -> one period in 10 bits,  baud / 10
//   0x55, no parity, one stop bit:    0 10101010 1      -> five periods in 10 bits, baud / 2
constexpr Rate kRates[kRateCount] = {
    {110, EVENPARITY, TWOSTOPBITS, 0x1C, "   18"},
    {300, NOPARITY, ONESTOPBIT, 0xF0, "   30"},
    {300, EVENPARITY, TWOSTOPBITS, 0x1C, "   50"},
    {600, NOPARITY, ONESTOPBIT, 0xF0, "   60"},
    {600, EVENPARITY, TWOSTOPBITS, 0x1C, "  100"},
    {1200, NOPARITY, ONESTOPBIT, 0xF0, "  120"},
    {300, NOPARITY, ONESTOPBIT, 0x55, "  150"},
    {1200, EVENPARITY, TWOSTOPBITS, 0x1C, "  200"},
    {2400, NOPARITY, ONESTOPBIT, 0xF0, "  240"},
    {600, NOPARITY, ONESTOPBIT, 0x55, "  300"},
    {2400, EVENPARITY, TWOSTOPBITS, 0x1C, "  400"},
    {4800, NOPARITY, ONESTOPBIT, 0xF0, "  480"},
    {1200, NOPARITY, ONESTOPBIT, 0x55, "  600"},
    {4800, EVENPARITY, TWOSTOPBITS, 0x1C, "  800"},
    {9600, NOPARITY, ONESTOPBIT, 0xF0, "  960"},
    {2400, NOPARITY, ONESTOPBIT, 0x55, " 1200"},
    {14400, NOPARITY, ONESTOPBIT, 0xF0, " 1440"},
    {9600, EVENPARITY, TWOSTOPBITS, 0x1C, " 1600"},
    {19200, NOPARITY, ONESTOPBIT, 0xF0, " 1920"},
    {4800, NOPARITY, ONESTOPBIT, 0x55, " 2400"},
    {19200, EVENPARITY, TWOSTOPBITS, 0x1C, " 3200"},
    {38400, NOPARITY, ONESTOPBIT, 0xF0, " 3840"},
    {9600, NOPARITY, ONESTOPBIT, 0x55, " 4800"},
    {56000, NOPARITY, ONESTOPBIT, 0xF0, " 5600"},
    {57600, NOPARITY, ONESTOPBIT, 0xF0, " 5760"},
    {38400, EVENPARITY, TWOSTOPBITS, 0x1C, " 6400"},
    {14400, NOPARITY, ONESTOPBIT, 0x55, " 7200"},
    {19200, NOPARITY, ONESTOPBIT, 0x55, " 9600"},
    {115200, NOPARITY, ONESTOPBIT, 0xF0, "11520"},
    {38400, NOPARITY, ONESTOPBIT, 0x55, "19200"},
};

// Each row as --list judges it.
bool listed_row(int index, serial::PortNeeds::Setting& setting) {
  if (index < 0 || index >= kRateCount) return false;
  setting = {kRates[index].baud, kRates[index].parity, kRates[index].stop_bits,
             kRates[index].label};
  return true;
}

// Settings are applied by the loop, row by row, so the start only reads them.
const serial::ToolProfile kProfile = {
    "  usage: wendro port",
    serial::GENERIC_WRITE,
    serial::FILE_FLAG_WRITE_THROUGH,
    true,
    false,
    {},
    "wendro",
    "wendro keeps the serial port's transmit line busy with a square wave of duty\n"
    "cycle one half, at one of 30 frequencies from 18 Hz to 19200 Hz. It starts at\n"
    "800 Hz and prints each frequency it plays (   800 Hz). A frequency the port\n"
    "refuses leaves the old wave running and prints nothing; if it refuses the\n"
    "first, wendro ends with status 4.\n"
    "\n" KEYS_HELP,
    serial::KeyInput::kKeys,
    false,
    listed_row,
};

// The loop's whole state: the settings read at start and changed in place, the row, and the buffer
// of the row last applied with the number of its bytes sent per write.
struct Wave {
  serial::SerialPort& port;
  serial::Console& console;
  serial::DCB dcb;
  int index = kStartIndex;
  int printed = kStartIndex;  // the row the screen shows
  std::uint32_t length = 0;   // 0 until a row has been applied
  std::uint8_t buffer[kBufferSize] = {};

  void write() {
    std::uint32_t written = 0;
    port.WriteFile(buffer, length, &written, nullptr);
  }

  // Puts the current row on the line. A refused row changes nothing: the old wave keeps running
  // from the old buffer, and the index stays where the key moved it. `shown` says the row is on
  // the screen already, so it is not printed again.
  bool apply(bool shown = false) {
    const Rate& row = rate(index);
    dcb.BaudRate = row.baud;
    dcb.ByteSize = 8;
    dcb.Parity = row.parity;
    dcb.StopBits = row.stop_bits;
    if (!port.SetCommState(dcb)) return false;
    length = write_length(index);
    std::memset(buffer, static_cast<std::uint8_t>(row.fill), length);
    if (!shown) console.print(" %s Hz\n", row.label);
    printed = index;
    write();
    return true;
  }

  // A port back from away runs as it was found there: the row on the screen goes on it again.
  // Refused, the line stays silent until a key applies a row, as the old buffer would put on it
  // a frequency the screen does not show.
  void resume() {
    index = printed;
    if (!apply(true)) length = 0;
  }
};

}  // namespace

const Rate& rate(int index) {
  return kRates[index];
}

std::uint32_t write_length(int index) {
  std::uint32_t length = 20 * static_cast<std::uint32_t>(index + 1);
  return length < 260 ? length : static_cast<std::uint32_t>(kBufferSize);
}

Step step_for_key(int code) {
  switch (code) {
    case '+':
    case '=':
      return Step::kUp;
    case '-':
    case '_':
      return Step::kDown;
    case 'q':
    case 'Q':
      return Step::kQuit;
    default:
      return Step::kNone;
  }
}

Step step_for_extended_key(int second_code) {
  return second_code == kUpArrow ? Step::kUp : Step::kDown;
}

int run(int argc, const char* const* argv, serial::System& system) {
  serial::Started started = start_tool(kProfile, argc, argv, system);
  if (!started.port) return started.status;
  serial::SerialPort& port = *started.port;
  Wave wave{port, system.console(), started.dcb};
  serial::Console& console = system.console();

  // Without a first row on the line there is no wave to step and nothing to write, and the port
  // would refuse the same row again on every pass; end as a start whose settings were refused.
  if (!wave.apply()) {
    port.CloseHandle();
    return serial::kSettingsRefused;
  }

  for (;;) {
    serial::PortPresence presence = port.presence();
    if (presence == serial::PortPresence::kBack) wave.resume();
    if (!console._kbhit()) {
      // The next write starts as soon as the last one returns, so the line never idles. With the
      // port away, or no row on it, the loop rests until a key or the next look for the port.
      if (presence == serial::PortPresence::kGone || wave.length == 0) {
        system.wait_for_events(port, serial::ReturningPort::kRetryMs);
      } else {
        wave.write();
      }
      continue;
    }
    int code = console._getch();
    Step step =
        code == kExtendedPrefix ? step_for_extended_key(console._getch()) : step_for_key(code);
    switch (step) {
      case Step::kUp:
        if (wave.index == kRateCount - 1) break;
        ++wave.index;
        wave.apply();
        break;
      case Step::kDown:
        if (wave.index == 0) break;
        --wave.index;
        wave.apply();
        break;
      case Step::kQuit:
        port.CloseHandle();
        return serial::kQuitByUser;
      case Step::kNone:
        break;
    }
  }
}

}  // namespace wendro
