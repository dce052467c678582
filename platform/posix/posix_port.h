// A serial port on Linux: a tty device driven through termios, shaped as the Win32 port the tools
// are written against.
#pragma once

#include <termios.h>

#include <cstdint>
#include <memory>
#include <string>

#include "overlapped_transfers.h"
#include "rate_generator.h"
#include "restore_registry.h"
#include "serial_port.h"
#include "write_pacer.h"

namespace serial {

// The device path for a port name, as linux_device_path tells it: "COM1".."COM9" name
// /dev/ttyS0../dev/ttyS8, a name that begins with '/' is a path used whole. Any other name ("COM",
// "COM0", "COMx") names no device and gives an empty string.
std::string posix_device_path(const char* port_name);

// Opens the named port for exclusive use (see posix_device_path); null when the name names no
// device, the device is missing, is no tty, carries the system console (see below), or another
// open holds it. The port's settings as found here come back when it is closed, and on every
// other way out (see restore_registry.h).
std::unique_ptr<SerialPort> open_posix_port(const char* port_name, const char* sysfs_root = "/sys");

// The bits per second of a standard termios rate code (B9600: 9600); 0 for any other code.
std::uint32_t standard_rate_baud(speed_t code);

// Whether the open tty is where the kernel writes its console: /dev/console itself, or a device
// listed in SYSFS_ROOT/class/tty/console/active ("tty0 ttyS0"). Compared by device number, so the
// same device reached through a symlink or /dev/serial/by-id is caught too. Its messages would go
// into the waveform, and a program would reconfigure the console.
bool carries_kernel_console(int fd, const char* sysfs_root);

class PosixPort : public SerialPort, private PacingKernel, private TransferDevice {
 public:
  // Takes an open, locked tty descriptor that is already in binary mode, the settings and exact
  // rate it had before, and the record of those changes (see restore_registry.h), which
  // CloseHandle undoes.
  PosixPort(int fd, const termios& found_settings, std::uint32_t found_rate, bool clear_exclusive,
            restore::Entry changes);
  ~PosixPort() override;
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  bool GetCommState(DCB& dcb) override;
  bool SetCommState(const DCB& dcb) override;
  bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override;
  bool EscapeCommFunction(std::uint32_t function) override;
  bool GetCommModemStatus(std::uint32_t& status) override;
  bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t* written,
                 OVERLAPPED* overlapped) override;
  bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t* received,
                OVERLAPPED* overlapped) override;
  bool GetOverlappedResult(OVERLAPPED& overlapped, std::uint32_t& transferred, bool wait) override;
  PortPresence presence() override;
  void CloseHandle() override;
  void add_wait(WaitSet& set) override;

 private:
  // PacingKernel: the real system calls on this port.
  long write(const std::uint8_t* data, std::size_t length) override;
  long output_queue() override;
  void wait_writable(std::int64_t timeout_ns) override;
  void sleep_for(std::int64_t duration_ns) override;
  std::int64_t now_ns() override;

  // TransferDevice: the paced writes and plain reads of the overlapped transfers.
  long offer_output(const std::uint8_t* data, std::size_t length) override;
  long take_input(std::uint8_t* buffer, std::size_t length) override;
  void wait_for_input(std::int64_t timeout_ns) override;
  void wait_for_output() override;
  std::int64_t transfer_clock_ns() override { return now_ns(); }
  void add_input_wait(WaitSet& set) override;
  void add_output_wait(WaitSet& set) override;

  // Reads the line's rate and framing into the pacer.
  void update_pacer();

  int fd_;
  termios found_settings_;
  std::uint32_t found_rate_;  // termios2's exact rate at open, 0 where the driver has none
  bool clear_exclusive_;      // the port was not exclusive before
  restore::Entry changes_;    // kNoEntry when the registry was full: the close undoes it alone
  RateGenerator rate_generator_;
  bool queue_overcounted_ = false;  // TIOCOUTQ tells more than is queued (see the constructor)
  WritePacer pacer_;
  OverlappedTransfers transfers_;
};

}  // namespace serial
