// The simulated world behind a port: virtual time, the lines, the UART, the circuit on the
// connector and the port's own state. The bench's port and console both run on it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "circuit.h"
#include "serial_port.h"
#include "ticks.h"
#include "timeline.h"
#include "uart.h"

namespace sim {

// Thrown when virtual time would pass the deadline, or when a call would wait for something that
// can never come; it unwinds the tool so that a faulty loop ends a test instead of hanging it.
class Stalled : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class PortOp {
  kOpen,
  kGetCommState,
  kSetCommState,
  kSetCommTimeouts,
  kEscape,
  kModemStatus,
  kWrite,
  kWriteOverlapped,
  kReadOverlapped,
  kClose,
};

// One call on the port, as the bench saw it.
struct PortCall {
  Tick at;
  PortOp op;
  std::uint32_t value;  // escape code, status word, byte count, or the rate set
  bool ok;
  serial::DCB dcb;  // for the state calls
};

class World {
 public:
  World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // --- time ---
  Tick now() const { return now_; }
  // Moves virtual time to `target`, letting the line, the receiver and the circuit act on the way.
  void advance_to(Tick target);
  void advance_by(Tick span) { advance_to(now_ + span); }
  // Advances until `done` holds, checking it after every change; Stalled when it never can.
  void run_until(const std::function<bool()>& done);
  // A loop's wait: advances until the port has news for it or `limit` comes. News is what a poll
  // would see and has not been told yet: a write or read that finished, or the first byte of a
  // running read. The rest of a read's bytes go into it without waking anyone, as a driver fills
  // a read; its end does. True when news came; Stalled when nothing ever can before the limit.
  bool advance_until_news(Tick limit);
  // GetOverlappedResult calls that did not wait: the passes of a polling loop.
  std::uint64_t polls() const { return polls_; }
  // Virtual time charged to every poll of a busy loop (_kbhit, GetOverlappedResult).
  void set_poll_cost(Tick cost) { poll_cost_ = cost; }
  Tick poll_cost() const { return poll_cost_; }
  // Virtual time a control-line change or a modem status read takes, as the driver call does;
  // it gives a clock pulse of break cleared then set a visible width on the timelines.
  void set_line_op_cost(Tick cost) { line_op_cost_ = cost; }
  Tick line_op_cost() const { return line_op_cost_; }
  void set_deadline(Tick deadline) { deadline_ = deadline; }
  // Called with the target before time moves; live use paces the wall clock here.
  void set_pacer(std::function<void(Tick)> pacer) { pacer_ = std::move(pacer); }

  // --- what is wired up ---
  void attach(Circuit* circuit) { circuit_ = circuit; }

  // --- the port's configuration for a test ---
  // The device name the port answers to; other names do not open.
  void set_device_name(std::string name) { device_name_ = std::move(name); }
  void set_held_elsewhere(bool held) { held_elsewhere_ = held; }
  void set_settings_unreadable(bool unreadable) { settings_unreadable_ = unreadable; }
  // Settings the port refuses, as a driver refuses a rate or framing it cannot do.
  void set_refusal(std::function<bool(const serial::DCB&)> refuses) {
    refuses_ = std::move(refuses);
  }
  // A port that tells nothing of a running read: GetOverlappedResult gives 0 until it ends, as
  // Windows' own serial driver does.
  void set_running_read_count_hidden(bool hidden) { running_read_count_hidden_ = hidden; }
  bool running_read_count_hidden() const { return running_read_count_hidden_; }

  // The device goes away at `from` and is back at `until`, as an adapter pulled out and plugged
  // in again: meanwhile it does not open, and a port opened before `from` is dead for good.
  void set_away(Tick from, Tick until) {
    away_from_ = from;
    away_until_ = until;
  }
  bool away() const { return now_ >= away_from_ && now_ < away_until_; }
  // The open port's device went away after it was opened.
  bool port_lost() const { return open_ && opened_at_ < away_from_ && now_ >= away_from_; }

  // --- what happened ---
  const Timeline& tx() const { return tx_line_; }
  const Timeline& rx() const { return rx_line_; }
  const Timeline& dtr() const { return dtr_line_; }
  const Timeline& rts() const { return rts_line_; }
  const Timeline& brk() const { return brk_line_; }
  const Timeline& cts() const { return cts_line_; }
  const std::vector<SentFrame>& frames() const { return transmitter_.frames(); }
  const std::vector<PortCall>& calls() const { return calls_; }
  const std::vector<ReceivedByte>& received() const { return received_; }
  const UartTransmitter& transmitter() const { return transmitter_; }
  bool port_open() const { return open_; }
  std::uint32_t opened_access() const { return access_; }
  std::uint32_t opened_flags() const { return flags_; }
  const std::string& opened_name() const { return opened_name_; }
  // Drops the history before `t` (line changes, frames, calls, received bytes), so that a live run
  // of hours keeps its memory bounded; the port's state and the levels from `t` on stay.
  void forget_before(Tick t);
  // The format the line runs with now.
  const FrameFormat& format() const { return transmitter_.format(); }

  // --- the port operations, used by the bench's SerialPort ---
  bool open(const char* name, std::uint32_t access, std::uint32_t flags);
  bool get_comm_state(serial::DCB& dcb);
  bool set_comm_state(const serial::DCB& dcb);
  bool set_comm_timeouts(const serial::COMMTIMEOUTS& timeouts);
  bool escape(std::uint32_t function);
  bool modem_status(std::uint32_t& status);
  bool write(const void* buffer, std::uint32_t length, std::uint32_t* written,
             serial::OVERLAPPED* overlapped);
  bool read(void* buffer, std::uint32_t length, std::uint32_t* received,
            serial::OVERLAPPED* overlapped);
  bool overlapped_result(serial::OVERLAPPED& overlapped, std::uint32_t& transferred, bool wait);
  void close();

 private:
  struct PendingWrite {
    const serial::OVERLAPPED* overlapped = nullptr;
    std::uint64_t last_sequence = 0;
    std::uint32_t length = 0;
  };
  struct PendingRead {
    const serial::OVERLAPPED* overlapped = nullptr;
    std::uint8_t* buffer = nullptr;
    std::uint32_t length = 0;
    std::uint32_t count = 0;
    Tick last_byte = 0;
    bool done = false;
  };

  Tick next_event() const;
  void step_to(Tick t);
  void update_rx(Tick at);
  void deliver(const ReceivedByte& byte);
  void check_read_timeout(Tick at);
  bool write_finished() const;
  bool unreported_finish() const;
  void record(PortOp op, std::uint32_t value, bool ok, const serial::DCB& dcb = {});
  void set_control(Tick at);

  Tick now_ = 0;
  Tick poll_cost_ = from_us(10);
  Tick line_op_cost_ = from_us(10);
  Tick deadline_ = from_ms(3'600'000);
  std::function<void(Tick)> pacer_;

  Timeline tx_line_{1}, rx_line_{1}, dtr_line_{0}, rts_line_{0}, brk_line_{0}, cts_line_{0};
  UartTransmitter transmitter_{tx_line_};
  UartReceiver receiver_;
  Circuit* circuit_ = nullptr;
  ControlLines control_;

  std::string device_name_ = "COM1";
  bool held_elsewhere_ = false;
  bool settings_unreadable_ = false;
  bool running_read_count_hidden_ = false;
  std::function<bool(const serial::DCB&)> refuses_;

  bool usable() const { return open_ && !port_lost(); }

  bool open_ = false;
  Tick opened_at_ = 0;
  Tick away_from_ = kNever;
  Tick away_until_ = kNever;
  std::string opened_name_;
  std::uint32_t access_ = 0, flags_ = 0;
  serial::DCB settings_;
  std::uint32_t read_interval_ms_ = 0;

  std::deque<ReceivedByte> receive_queue_;
  std::vector<ReceivedByte> received_;
  PendingWrite pending_write_;
  PendingRead pending_read_;
  // GetOverlappedResult has told the pending write's or read's end.
  bool write_told_ = false;
  bool read_told_ = false;
  std::uint64_t polls_ = 0;
  std::vector<PortCall> calls_;
};

}  // namespace sim
