// The UART of the bench: a transmitter that turns bytes into frames of line levels and a receiver
// that turns line levels back into bytes, both at bit-exact virtual times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "serial_port.h"
#include "ticks.h"
#include "timeline.h"

namespace sim {

// The framing in force: rate, data bits and the DCB's Parity and StopBits codes.
struct FrameFormat {
  std::uint32_t baud = 9600;
  std::uint8_t data_bits = 8;
  std::uint8_t parity = serial::NOPARITY;
  std::uint8_t stop_bits = serial::ONESTOPBIT;

  Tick bit() const { return bit_ticks(baud); }
  int parity_bits() const { return parity == serial::NOPARITY ? 0 : 1; }
  // Ticks of the stop bits: one, one and a half, or two bit times.
  Tick stop_ticks() const;
  Tick frame_ticks() const { return (1 + data_bits + parity_bits()) * bit() + stop_ticks(); }
};

// The level of the parity bit for the data byte, or -1 when the format has none.
int parity_level(std::uint8_t byte, const FrameFormat& format);

struct SentFrame {
  Tick start;
  Tick end;
  std::uint8_t byte;
  FrameFormat format;
};

// Sends waiting bytes back to back, each as a frame in the format in force when it starts, and
// draws the levels on a timeline. Break holds the line at 0 while the frames go on underneath.
class UartTransmitter {
 public:
  explicit UartTransmitter(Timeline& line) : line_(line) {}

  // Callers advance to the current time before changing anything.
  void set_format(const FrameFormat& format) { format_ = format; }
  const FrameFormat& format() const { return format_; }
  void set_break(Tick at, bool on);
  bool break_on() const { return break_; }

  // Queues bytes at `now`; returns the sequence number the last of them will have when it starts.
  std::uint64_t enqueue(Tick now, const std::uint8_t* bytes, std::size_t count);
  // Drops the bytes that have not started; a frame on the line finishes.
  void drop_waiting() { waiting_.clear(); }

  std::size_t waiting() const { return waiting_.size(); }
  // Bytes whose frame has started since the beginning.
  std::uint64_t started() const { return started_; }
  bool in_frame() const { return in_frame_; }
  // When the line falls idle with what is queued now.
  Tick idle_from() const;
  // The next instant at which the transmitter changes something, or kNever.
  Tick next_change() const;
  void advance_to(Tick t);

  const std::vector<SentFrame>& frames() const { return frames_; }
  // Drops the record of the frames that ended before `t`.
  void forget_frames_before(Tick t);

 private:
  void emit(Tick at, int level);
  void begin_frame(Tick at, std::uint8_t byte);

  struct Waiting {
    std::uint8_t byte;
    Tick since;
  };

  Timeline& line_;
  FrameFormat format_;
  bool break_ = false;
  int uart_level_ = 1;
  std::deque<Waiting> waiting_;
  std::uint64_t started_ = 0;
  Tick line_free_ = 0;

  bool in_frame_ = false;
  SentFrame frame_{};
  int bit_count_ = 0;
  int next_bit_ = 0;
  std::uint8_t levels_[16] = {};
  std::vector<SentFrame> frames_;
};

struct ReceivedByte {
  Tick at;  // when the stop bit was sampled
  std::uint8_t value;
  bool framing_error;
  bool parity_error;
};

// Receives like a UART: a falling edge starts a frame, every bit is sampled in its middle, and the
// byte is done when the stop bit is sampled. After a frame it waits for the next falling edge.
class UartReceiver {
 public:
  void set_format(const FrameFormat& format) { format_ = format; }
  // The receive line changed to `level` at `at`.
  void on_level(Tick at, int level);
  // The next sample instant, or kNever while hunting for a start bit.
  Tick next_sample() const { return next_sample_; }
  // Takes the sample due at `at`; returns true when that completed a byte, stored in `byte`.
  bool sample(Tick at, int level, ReceivedByte& byte);

 private:
  FrameFormat format_;
  int last_level_ = 1;
  Tick next_sample_ = kNever;
  Tick frame_start_ = 0;
  int bit_index_ = 0;  // 0 start, 1..data_bits data, then parity, then stop
  unsigned value_ = 0;
  int parity_seen_ = -1;
};

}  // namespace sim
