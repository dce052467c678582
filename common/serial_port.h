// The serial port operations the tools call, in the shape of the Win32 communications API.
//
// Tool code names the operations, settings fields and constants as Windows documents them, so it
// reads like the behaviour it implements. Windows calls the real functions behind this interface,
// Linux maps them onto termios, and the bench simulates them. A tool never knows which one it has.
//
// The constant names below are macros in <windows.h>: a Win32 source includes this header before
// <windows.h>, and then refers to the values by number or through this namespace's types only.
#pragma once

#include <cstdint>

#include "event_wait.h"

namespace serial {

// Line settings. The tools change only these four fields; a port keeps every other setting
// (flow control, queue sizes, special characters) as it found them.
struct DCB {
  std::uint32_t BaudRate = 0;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = 0;
  std::uint8_t StopBits = 0;
};

constexpr std::uint8_t NOPARITY = 0;
constexpr std::uint8_t ODDPARITY = 1;
constexpr std::uint8_t EVENPARITY = 2;
constexpr std::uint8_t ONESTOPBIT = 0;
constexpr std::uint8_t ONE5STOPBITS = 1;
constexpr std::uint8_t TWOSTOPBITS = 2;

// Read timeouts in milliseconds. Only ReadIntervalTimeout is used: a read then ends when full or
// when more than that passes between two received bytes; a read that receives nothing stays
// pending.
struct COMMTIMEOUTS {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
};

// Names one running overlapped transfer. The caller zeroes the fields before every start; the port
// tells transfers apart by the record's address.
struct OVERLAPPED {
  std::uint32_t Offset = 0;
  std::uint32_t OffsetHigh = 0;
  void* hEvent = nullptr;
};

// EscapeCommFunction codes.
constexpr std::uint32_t SETRTS = 3;
constexpr std::uint32_t CLRRTS = 4;
constexpr std::uint32_t SETDTR = 5;
constexpr std::uint32_t CLRDTR = 6;
constexpr std::uint32_t SETBREAK = 8;
constexpr std::uint32_t CLRBREAK = 9;

// GetCommModemStatus bit for an asserted CTS.
constexpr std::uint32_t MS_CTS_ON = 0x0010;

// Whether the device behind a port is still there. A device port tells kHere or kGone; the
// port a tool's loop is handed (see returning_port.h) also reopens a device that went away, and
// tells kBack once, on the first look after it did.
enum class PortPresence { kHere, kGone, kBack };

// CreateFileA access and flags.
constexpr std::uint32_t GENERIC_READ = 0x80000000u;
constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
constexpr std::uint32_t FILE_FLAG_WRITE_THROUGH = 0x80000000u;
constexpr std::uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

// One open port, used by one thread. Each call returns true for the Win32 "nonzero".
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  virtual bool GetCommState(DCB& dcb) = 0;
  // Succeeds once the line runs with these settings; on failure the old settings stay.
  virtual bool SetCommState(const DCB& dcb) = 0;
  virtual bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) = 0;
  // Changes a control line or the break state at once, in call order.
  virtual bool EscapeCommFunction(std::uint32_t function) = 0;
  virtual bool GetCommModemStatus(std::uint32_t& status) = 0;

  // Without an OVERLAPPED: returns once the bytes are taken for sending. With one: starts the
  // transfer and returns at once; GetOverlappedResult then tells when it has finished.
  virtual bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t* written,
                         OVERLAPPED* overlapped) = 0;
  virtual bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t* received,
                        OVERLAPPED* overlapped) = 0;
  // Never blocks when wait is false: true with the count once the transfer has finished, false
  // while it runs. While a read runs, `transferred` is set to the bytes it has received so far,
  // where the port can tell, or else to 0. A transfer that failed looks like one still running,
  // and leaves `transferred` alone.
  virtual bool GetOverlappedResult(OVERLAPPED& overlapped, std::uint32_t& transferred,
                                   bool wait) = 0;
  // False where a running read's `transferred` is always 0, however many bytes it holds: a
  // caller then cannot tell a read that stays empty from one that fills slowly.
  virtual bool counts_running_reads() { return true; }

  // kGone once the device has gone away (a USB adapter pulled out, a remote server that closed
  // the connection): nothing done on this port will ever reach it again. Never blocks.
  virtual PortPresence presence() { return PortPresence::kHere; }

  // Releases the port and abandons running transfers. Safe to call more than once; the
  // destructor of every implementation calls it too.
  virtual void CloseHandle() = 0;

  // What wakes a loop that waits for this port's news (see event_wait.h): a transfer that can
  // finish or move on, bytes arriving, the port's own next deadline. A port that offers nothing
  // to sleep on is polled again within a millisecond.
  virtual void add_wait(WaitSet& set) { set.wake_within(1'000'000); }
};

}  // namespace serial
