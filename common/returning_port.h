// The port a tool's loop is handed: it outlives the device behind it. When the device goes away
// (an adapter pulled out, a remote server ended) the port lets go of it at once, so the kernel can
// give the returning adapter its old name, and says so on standard error. It then opens the same
// name again, with the start's checks, once the same device is back there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial_port.h"

namespace serial {

class System;

// What the start knew of the port, for opening it again as it did.
struct PortOrigin {
  const char* program = "";  // the messages' first word
  std::string typed;         // the argument as the user typed it
  std::string device_name;   // what System::CreateFileA opened
  std::uint32_t access = 0;
  std::uint32_t flags = 0;
  bool reads_settings = false;  // the reopened port must tell its settings, as at the start
  std::string identity;         // System::port_identity at the start; empty: any device will do
  bool remote = false;          // attempts back off, up to kLongestRetryMs apart
};

class ReturningPort : public SerialPort {
 public:
  // A device port looks for its device this often while it is away; a remote one starts there
  // and doubles up to the longest.
  static constexpr long kRetryMs = 250;
  static constexpr long kLongestRetryMs = 5000;

  ReturningPort(std::unique_ptr<SerialPort> port, System& system, PortOrigin origin);
  ~ReturningPort() override;
  ReturningPort(const ReturningPort&) = delete;
  ReturningPort& operator=(const ReturningPort&) = delete;

  // While the device is away every call fails at once and changes nothing; a transfer started
  // before it went away never finishes. The loop learns of it here: kGone from the first look
  // after the loss on, kBack on the one look after the reopen (the port then runs with the
  // settings found there, and the loop puts its own on it again), kHere otherwise. Only this
  // call opens the port again, so the loop that checks for keys here is never held up elsewhere.
  PortPresence presence() override;

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
  bool counts_running_reads() override;
  void CloseHandle() override;
  // While the device is away: the moment of the next look for it.
  void add_wait(WaitSet& set) override;

 private:
  void let_go();
  bool reopen();
  void say(const std::string& line);

  std::unique_ptr<SerialPort> port_;  // null while the device is away, and once closed
  System& system_;
  PortOrigin origin_;
  std::string went_away_line_;
  std::string back_line_;
  bool closed_ = false;
  bool counts_running_reads_ = true;
  long next_look_ms_ = 0;
  long retry_ms_ = kRetryMs;
};

}  // namespace serial
