// A serial port served over the network by a Telnet COM-PORT-OPTION server (ser2net, sredird),
// shaped as the Win32 port the tools are written against.
//
// The server is a second machine with a queue we cannot see, and it applies a setting the moment
// it reads it. So the port keeps its own account of what is still due on the remote line, from
// the bytes sent and the frame time: a write returns once its bytes are due within a few tens of
// milliseconds, and a setting is sent only once the bytes before it have left that line.
//
// Across a WAN (an `ssh -L` tunnel) the delay to the server varies from one segment to the next.
// The port measures round trips (a few queries at the open, every setting's answers, a query every
// few seconds while it writes) and sizes by their spread both the lead it keeps queued, so that a
// late segment finds the line still busy, and the wait before a setting, so that an early setting
// cannot overtake wave still queued in the server. On a LAN both stay at their least.
#pragma once

#include <cstdint>
#include <memory>

#include "link.h"
#include "overlapped_transfers.h"
#include "round_trips.h"
#include "serial_port.h"
#include "telnet_codec.h"
#include "write_pacer.h"

namespace serial {

// How long the port waits for the server, in nanoseconds.
struct RemoteTimeouts {
  // COM-PORT-OPTION accepted after connecting: ser2net's first connection after it starts has
  // taken 6 s on a slow machine.
  std::int64_t negotiation_ns = 10'000'000'000;
  std::int64_t answer_ns = 3'000'000'000;          // every answer to the settings sent or asked
  std::int64_t opening_answer_ns = 3'000'000'000;  // each answer to the open's own queries
  std::int64_t restore_ns = 1'000'000'000;         // the found settings' answers at the close
  std::int64_t probe_interval_ns = 3'000'000'000;  // between round-trip queries while writing
};

class RemotePort : public SerialPort,
                   private PacingKernel,
                   private TransferDevice,
                   private telnet::Events {
 public:
  // The line time a write leaves queued in the server at most, on a path whose round trips
  // hardly vary; more by their spread, up to kMaxLeadNs. A path that stalls for longer (a
  // loaded server) is not worth a pile that delays every key and every stop.
  static constexpr double kLeadNs = 50e6;
  static constexpr double kMaxLeadNs = 90e6;
  // Round trips asked at the open, the settings' query among them.
  static constexpr int kOpeningTrips = 4;

  // What the port now keeps: the lead, and the wait after the line time of the bytes handed on
  // before a setting is sent (without the frames still in the UART).
  double lead_ns() const { return pacer_.lead_ns(); }
  double setting_wait_ns() const;
  const RoundTrips& round_trips() const { return trips_; }

  // Negotiates over a fresh connection; null when the server does not take COM-PORT-OPTION in
  // time, refuses it, sends text instead, or hangs up.
  static std::unique_ptr<RemotePort> open(std::unique_ptr<Link> link,
                                          const RemoteTimeouts& timeouts = {});
  ~RemotePort() override;
  RemotePort(const RemotePort&) = delete;
  RemotePort& operator=(const RemotePort&) = delete;

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
  // kGone once the connection is lost: closed or reset by the server, or ended by the system
  // when the server stays silent (see connect_link). Reads what has come, never blocks.
  PortPresence presence() override;
  void CloseHandle() override;
  void add_wait(WaitSet& set) override;

 private:
  RemotePort(std::unique_ptr<Link> link, const RemoteTimeouts& timeouts);

  // The four settings as the protocol numbers them: rate, data size, parity, stop size.
  struct Setting {
    std::uint32_t value = 0;
    bool answered = false;
  };
  static constexpr int kSettings = 4;

  bool negotiate();
  // Sends the four settings (null: asks for the ones in force) and waits for every answer.
  bool exchange_settings(const DCB* settings, std::int64_t timeout_ns);
  bool answers_as_dcb(DCB& dcb) const;
  // Sends bytes of protocol, queued behind any data still unsent. False once the link is lost.
  bool send_protocol(const std::uint8_t* bytes, std::size_t length);
  // Sends what waits in the outgoing buffer, as far as the link takes it now.
  void flush_outgoing();
  // Reads and parses whatever has come, without blocking.
  void pump();
  // Waits up to `timeout_ns` for bytes from the server, then reads them.
  void wait_and_pump(std::int64_t timeout_ns);
  // Waits until the remote line has sent every byte handed on so far.
  void wait_for_line_to_drain();
  void lose();
  void set_farewell();
  // Round trips: a rate query whose answer is timed, and the pacing sized by what they show.
  void send_probe();
  bool wait_for_probe(std::int64_t timeout_ns);
  void maybe_probe();
  void add_round_trip(std::int64_t ns);

  // PacingKernel: the link, with the line time as the only account of the server's queue.
  long write(const std::uint8_t* data, std::size_t length) override;
  long output_queue() override { return -1; }
  void wait_writable(std::int64_t timeout_ns) override;
  void sleep_for(std::int64_t duration_ns) override;
  std::int64_t now_ns() override { return link_ ? link_->now_ns() : 0; }

  // TransferDevice.
  long offer_output(const std::uint8_t* data, std::size_t length) override;
  long take_input(std::uint8_t* buffer, std::size_t length) override;
  void wait_for_input(std::int64_t timeout_ns) override;
  void wait_for_output() override;
  std::int64_t transfer_clock_ns() override { return now_ns(); }
  void add_input_wait(WaitSet& set) override;
  void add_output_wait(WaitSet& set) override;

  // telnet::Events.
  void on_data(const std::uint8_t* data, std::size_t length) override;
  void on_negotiation(std::uint8_t verb, std::uint8_t option) override;
  void on_subnegotiation(std::uint8_t option, const std::uint8_t* payload,
                         std::size_t length) override;

  std::unique_ptr<Link> link_;
  RemoteTimeouts timeouts_;
  telnet::Parser parser_;
  WritePacer pacer_;
  OverlappedTransfers transfers_;
  bool lost_ = false;
  bool closed_ = false;

  // Negotiation.
  bool com_port_accepted_ = false;
  bool com_port_refused_ = false;
  bool we_will_[256] = {};     // options we do, as the server agreed
  bool they_will_[256] = {};   // options the server does, as we agreed
  bool asked_will_[256] = {};  // our WILL awaits its answer
  bool asked_do_[256] = {};    // our DO awaits its answer

  Setting settings_[kSettings];
  std::uint8_t modem_state_ = 0;
  DCB found_;  // the settings the port had when it was first read
  bool found_known_ = false;
  DCB current_;                 // the settings last answered as in force
  bool changed_ = false;        // a setting was sent since the port was found
  bool opening_asked_ = false;  // the open asked the settings and nothing was asked since

  RoundTrips trips_;
  bool probe_pending_ = false;  // a rate query is out whose answer is the probe's, not a setting's
  std::int64_t probe_sent_ns_ = 0;
  std::int64_t last_probe_ns_ = 0;

  // Serial data received and not yet read; what does not fit is lost, as in a UART's overrun.
  static constexpr std::size_t kReceiveSize = 16384;
  std::uint8_t received_[kReceiveSize] = {};
  std::size_t received_start_ = 0;
  std::size_t received_count_ = 0;

  // Bytes for the server that the link has not taken yet.
  static constexpr std::size_t kOutgoingSize = 2048;
  std::uint8_t outgoing_[kOutgoingSize] = {};
  std::size_t outgoing_count_ = 0;
};

// Opens rfc2217://HOST:PORT: connects within about 5 s and negotiates; null when the argument is
// malformed or the server cannot be had. `again` is a loop's reconnect to the server it had: the
// loop and its keys wait on the attempt, so it gets about 1 s to connect, 2 s for the option and
// 1 s for each of the open's answers (a server that comes back answers at once), and the loop
// tries again later instead.
std::unique_ptr<SerialPort> open_remote_port(const char* url, bool again = false);

}  // namespace serial
