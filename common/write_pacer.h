// Paces writes to a serial port so its transmit queue never holds more than a few milliseconds
// of line time (a few tens on a remote port, whose queue sits across a network).
//
// A Win32 port takes bytes into a UART FIFO of a few bytes, so a write "taken for sending" is on
// the line moments later. The Linux queue holds 4 KiB and more, minutes of wave at 110 baud:
// writing straight into it would let the line run far behind the program. The pacer keeps the
// queue between a low and a high mark (about 5 and 10 ms of line time, at least one and two
// frames) and refills it before it runs dry, so back-to-back writes leave no idle gap.
//
// The queue depth is the larger of what the kernel reports (TIOCOUTQ) and what the line can at
// most have sent since the pacer's own writes: a driver that hides bytes (a UART FIFO, a
// pseudo-terminal that reports 0) still cannot run ahead of the line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace serial {

// The few system calls pacing needs, so a test can run the pacer against a simulated queue.
class PacingKernel {
 public:
  virtual ~PacingKernel() = default;
  // Non-blocking write: the count taken (0 or more), or -errno (-EAGAIN when the queue is full).
  virtual long write(const std::uint8_t* data, std::size_t length) = 0;
  // Bytes waiting in the transmit queue, or -1 when the driver cannot tell.
  virtual long output_queue() = 0;
  // Sleeps until the device takes more bytes or the timeout passes.
  virtual void wait_writable(std::int64_t timeout_ns) = 0;
  virtual void sleep_for(std::int64_t duration_ns) = 0;
  // Monotonic nanoseconds.
  virtual std::int64_t now_ns() = 0;
};

class WritePacer {
 public:
  // `lead_ns`: the line time kept queued at most, 10 ms for a local port. A remote port keeps
  // more, so that the network's delays never let its line run dry.
  explicit WritePacer(PacingKernel& kernel, double lead_ns = 10e6)
      : kernel_(kernel), lead_ns_(lead_ns), high_mark_ns_(lead_ns), low_mark_ns_(lead_ns / 2) {}

  // The line the queue drains into: bits per second and bits per frame (start, data, parity,
  // stop; one and a half stop bits count as two).
  void set_line(std::uint32_t baud, unsigned frame_bits);
  // Changes the line time kept queued at most: a remote port sizes it by the round trips it
  // measures. The bytes already handed on keep their account.
  void set_lead(double lead_ns);
  double lead_ns() const { return lead_ns_; }

  // Never blocks: writes as much as keeps the queue under the high mark, and only once it has
  // drained to the low mark. The count taken, or -errno on a device error (-EAGAIN is not one).
  long offer(const std::uint8_t* data, std::size_t length);

  // Blocks, sleeping, until all bytes are taken. False on a device error, after sleeping for the
  // line time of the bytes not taken (at least a frame); `taken` counts the bytes the device took
  // before it.
  bool write_all(const std::uint8_t* data, std::size_t length, std::size_t& taken);

  // How long until offer takes bytes again: the line time until the queue is down to the low
  // mark, or 0 once it is there (then only a full device can refuse them).
  std::int64_t hold_ns();

  // The marks in nanoseconds of line time, and one frame's time.
  double high_mark_ns() const { return high_mark_ns_; }
  double low_mark_ns() const { return low_mark_ns_; }
  double frame_ns() const { return frame_ns_; }
  // When the line will have sent every byte this pacer handed on, as far as it can know.
  double line_busy_until_ns() const { return line_busy_until_ns_; }

 private:
  // What one attempt to write did.
  struct Attempt {
    long taken;            // bytes taken, or -errno on a device error
    std::int64_t wait_ns;  // nothing taken: sleep this long for the queue to drain
    bool device_full;      // nothing taken: the device refused more (EAGAIN)
  };
  Attempt attempt(const std::uint8_t* data, std::size_t length);
  // The line time the queue still holds at `now`, as best known.
  double queued_ns(std::int64_t now);

  PacingKernel& kernel_;
  double lead_ns_;
  double frame_ns_ = 1e9 * 10 / 9600;
  double high_mark_ns_;
  double low_mark_ns_;
  // When the line would have sent everything this pacer wrote, had it sent without a pause.
  double line_busy_until_ns_ = 0;
};

}  // namespace serial
