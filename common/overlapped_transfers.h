// Overlapped transfers for a port whose system has none: one write and one read at a time, each
// moved on by every poll without blocking, with the read's interval timeout kept on the port's
// own clock. The Linux port and the remote port share it; each provides the device side.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial_port.h"

namespace serial {

// What the transfers move bytes through.
class TransferDevice {
 public:
  virtual ~TransferDevice() = default;
  // Never blocks: the bytes taken for sending (0 when none can be now), or negative when the
  // device has failed.
  virtual long offer_output(const std::uint8_t* data, std::size_t length) = 0;
  // Never blocks: the bytes received (0 when none are waiting), or negative when the device has
  // failed or hung up.
  virtual long take_input(std::uint8_t* buffer, std::size_t length) = 0;
  // Sleeps until input may have come or the timeout passes (negative: no timeout).
  virtual void wait_for_input(std::int64_t timeout_ns) = 0;
  // Sleeps until more output may be taken, about a frame at most.
  virtual void wait_for_output() = 0;
  // Monotonic nanoseconds.
  virtual std::int64_t transfer_clock_ns() = 0;
  // What wakes a waiting loop while a read runs (input that may come) and while a write is held
  // back (room on the device, or the pacer's next moment). A device that names nothing is polled
  // again within a millisecond.
  virtual void add_input_wait(WaitSet& set) { set.wake_within(1'000'000); }
  virtual void add_output_wait(WaitSet& set) { set.wake_within(1'000'000); }
};

class OverlappedTransfers {
 public:
  explicit OverlappedTransfers(TransferDevice& device) : device_(device) {}

  // The read timeouts in force (see COMMTIMEOUTS): the interval, and MAXDWORD for "return what
  // has come".
  void set_timeouts(const COMMTIMEOUTS& timeouts);

  // WriteFile with an OVERLAPPED: starts the write and moves it on; true when it finished at once.
  bool start_write(const void* buffer, std::uint32_t length, std::uint32_t* written,
                   OVERLAPPED* overlapped);
  // ReadFile with or without an OVERLAPPED (without one it waits for the read to end).
  bool read(void* buffer, std::uint32_t length, std::uint32_t* received, OVERLAPPED* overlapped);
  // GetOverlappedResult.
  bool result(OVERLAPPED& overlapped, std::uint32_t& transferred, bool wait);
  // Forgets running transfers, as a close does.
  void abandon();
  // What can move the running transfers on (see SerialPort::add_wait): a transfer that finished
  // and has not been reported yet wakes at once, a running one asks its device, a read that holds
  // bytes also wakes at its interval timeout. A failed or reported transfer adds nothing, so a
  // device that hung up never makes the wait spin.
  void add_wait(WaitSet& set);

 private:
  struct Transfer {
    OVERLAPPED* overlapped = nullptr;  // null: no transfer started
    std::uint8_t* buffer = nullptr;
    std::uint32_t length = 0;
    std::uint32_t done = 0;
    bool finished = false;
    bool failed = false;
    bool reported = false;          // GetOverlappedResult has told it finished
    std::int64_t last_byte_ns = 0;  // reads: when the latest byte came in
  };

  void advance_write();
  void advance_read();
  void wait_for_progress(const Transfer& transfer, bool is_read);

  TransferDevice& device_;
  std::uint32_t read_interval_ms_ = 0;
  bool read_returns_at_once_ = false;
  Transfer write_;
  Transfer read_;
};

}  // namespace serial
