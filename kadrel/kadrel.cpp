#include "kadrel.h"

#include "keys_help.h"
#include "returning_port.h"

namespace kadrel {
namespace {

constexpr int kQuitKey = 'q';
constexpr int kQuitKeyUpper = 'Q';

const serial::ToolProfile kProfile = {
    "  usage: kadrel port",
    serial::GENERIC_READ | serial::GENERIC_WRITE,
    serial::FILE_FLAG_OVERLAPPED,
    true,
    true,
    {kBaudRate, 8, serial::NOPARITY, serial::ONESTOPBIT},
    "kadrel",
    "kadrel sends an endless stream of 0x55 at 38400 baud 8N1 on the serial port's\n"
    "transmit line and measures how long it comes back on the receive line. It\n"
    "prints a . for every 768 bytes back, and when the returning stream has stopped\n"
    "for over 400 ms, the time it was coming back in seconds (  0.300 Sec.),\n"
    "resolved to 1/19200 s.\n"
    "\n" KEYS_HELP,
    serial::KeyInput::kKeys,
};

void report(serial::Console& console, std::uint32_t units) {
  console.print("  %3.3f Sec.\n", units_to_seconds(units));
}

}  // namespace

std::uint32_t pulses_in_last_frame(std::uint8_t last_byte) {
  switch (last_byte) {
    case 0xD5:
      return 4;
    case 0xF5:
      return 3;
    case 0xFD:
      return 2;
    case 0xFF:
      return 1;
    default:
      return kUnitsPerByte;
  }
}

std::uint32_t measurement_units(std::uint32_t full_reads, std::uint32_t final_count,
                                std::uint8_t last_byte) {
  std::uint32_t units = full_reads * static_cast<std::uint32_t>(kReceiveSize) * kUnitsPerByte;
  if (final_count == 0) return units;
  return units + (final_count - 1) * kUnitsPerByte + pulses_in_last_frame(last_byte);
}

double units_to_seconds(std::uint32_t units) {
  return static_cast<double>(units) * (1.0 / kUnitsPerSecond);
}

int run(int argc, const char* const* argv, serial::System& system) {
  serial::Started started = start_tool(kProfile, argc, argv, system);
  if (!started.port) return started.status;
  serial::SerialPort& port = *started.port;
  serial::Console& console = system.console();

  std::uint8_t transmit[kTransmitSize];
  for (std::uint8_t& byte : transmit)
    byte = kStreamByte;
  std::uint8_t receive[kReceiveSize];
  serial::OVERLAPPED write_op;
  serial::OVERLAPPED read_op;
  std::uint32_t full_reads = 0;
  long settle_mark = 0;
  std::uint32_t last_short_count = 0;
  // The stream and the measurement start afresh: at the start, and when the port is back from
  // away, when it runs as it was found there and gets the stream's setting again. False when the
  // port refuses that setting.
  auto begin_stream = [&](bool apply_setting) {
    if (apply_setting && !port.SetCommState(started.dcb)) return false;
    serial::COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    port.SetCommTimeouts(timeouts);
    write_op = {};
    port.WriteFile(transmit, kTransmitSize, nullptr, &write_op);
    full_reads = 0;
    settle_mark = 0;
    last_short_count = 0;
    read_op = {};
    port.ReadFile(receive, kReceiveSize, nullptr, &read_op);
    return true;
  };
  bool streaming = begin_stream(false);

  for (;;) {
    // Whether this pass changed anything; a pass that did not ends in a wait (see below).
    bool moved = false;
    switch (port.presence()) {
      case serial::PortPresence::kBack:
        // What was measured before the port went away is dropped: nothing came back meanwhile.
        streaming = begin_stream(true);
        moved = true;
        break;
      case serial::PortPresence::kGone:
        streaming = false;
        break;
      case serial::PortPresence::kHere:
        break;
    }
    // The stream: a finished write is started again at once, so frames follow without a gap. A
    // write that ended short or in error is left alone and the stream stops.
    std::uint32_t sent = 0;
    if (streaming && port.GetOverlappedResult(write_op, sent, false) && sent >= kTransmitSize) {
      write_op = {};
      port.WriteFile(transmit, kTransmitSize, nullptr, &write_op);
      moved = true;
    }

    std::uint32_t count = 0;
    bool held_short = false;
    if (!streaming) {
      // The port is away, or refuses the stream's setting: only keys and its return are news.
    } else if (port.GetOverlappedResult(read_op, count, false)) {
      long now = console.clock();
      bool restart = true;
      if (count == kReceiveSize) {
        ++full_reads;
        console._putch('.');
        moved = true;
      } else {
        // A short read: the stream has stopped. Hold it until the clock has settled past it,
        // then report everything received since the last report.
        if (count != last_short_count) {
          settle_mark = now;
          last_short_count = count;
        }
        if (settle_mark != 0) {
          if (now - settle_mark <= kSettleMs) {
            restart = false;
            held_short = true;
          } else {
            std::uint8_t last_byte = count > 0 ? receive[count - 1] : kStreamByte;
            report(console, measurement_units(full_reads, count, last_byte));
            full_reads = 0;
            moved = true;
          }
        }
      }
      if (restart) {
        settle_mark = now;
        last_short_count = 0;
        read_op = {};
        port.ReadFile(receive, kReceiveSize, nullptr, &read_op);
        moved = true;
      }
    } else if (full_reads > 0 && count == 0 && port.counts_running_reads() &&
               console.clock() - settle_mark > kEmptyReadReportMs) {
      // The stream stopped exactly at the end of a full read: the read after it stays empty and
      // never ends. Report the full reads now, and leave the read running for the next stream so
      // that the two are never added together. A read that holds any byte is not empty: the
      // stream goes on, only slower than a read per 500 ms, and that read ends by itself, full or
      // short, once its last byte is more than the interval old.
      report(console, measurement_units(full_reads, 0, 0));
      full_reads = 0;
      moved = true;
    }

    if (console._kbhit()) {
      // One code per pass; the prefix of an extended key is dropped like any other code.
      int key = console._getch();
      if (key == kQuitKey || key == kQuitKeyUpper) {
        port.CloseHandle();
        return serial::kQuitByUser;
      }
      moved = true;
    }

    // Nothing changed: rest until the port or the keyboard has news, or the next moment this
    // loop keeps itself comes. Those are the end of the settle that holds a short read, and the
    // empty-read rule's moment for a read running after full ones; the port keeps its own (the
    // read's interval, the pacing of the write).
    if (!moved) {
      long deadline = -1;
      if (!streaming) {
        // Away, the port wakes the loop for its next look; refusing the setting, it is looked at
        // again as often, in case it goes away meanwhile.
        deadline = console.clock() + serial::ReturningPort::kRetryMs;
      } else if (held_short) {
        deadline = settle_mark + kSettleMs + 1;
      } else if (full_reads > 0 && count == 0) {
        deadline = settle_mark + kEmptyReadReportMs + 1;
      }
      long timeout_ms = -1;
      if (deadline >= 0) {
        timeout_ms = deadline - console.clock();
        if (timeout_ms < 0) timeout_ms = 0;
      }
      system.wait_for_events(port, timeout_ms);
    }
  }
}

}  // namespace kadrel
