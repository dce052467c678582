#include "uart.h"

#include <algorithm>

namespace sim {

Tick FrameFormat::stop_ticks() const {
  switch (stop_bits) {
    case serial::ONE5STOPBITS:
      return bit() + bit() / 2;
    case serial::TWOSTOPBITS:
      return 2 * bit();
    default:
      return bit();
  }
}

int parity_level(std::uint8_t byte, const FrameFormat& format) {
  unsigned data = byte & ((1u << format.data_bits) - 1);
  int ones = 0;
  for (; data != 0; data >>= 1)
    ones += data & 1;
  switch (format.parity) {
    case serial::NOPARITY:
      return -1;
    case serial::ODDPARITY:
      return (ones + 1) & 1;
    case serial::EVENPARITY:
      return ones & 1;
    case 3:  // mark
      return 1;
    default:  // space
      return 0;
  }
}

void UartTransmitter::emit(Tick at, int level) {
  uart_level_ = level;
  line_.set(at, break_ ? 0 : level);
}

void UartTransmitter::set_break(Tick at, bool on) {
  break_ = on;
  line_.set(at, break_ ? 0 : uart_level_);
}

std::uint64_t UartTransmitter::enqueue(Tick now, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i)
    waiting_.push_back({bytes[i], now});
  return started_ + waiting_.size();
}

Tick UartTransmitter::idle_from() const {
  Tick end = in_frame_ ? frame_.end : line_free_;
  if (!waiting_.empty()) {
    end = std::max(end, waiting_.front().since);
    end += static_cast<Tick>(waiting_.size()) * format_.frame_ticks();
  }
  return end;
}

Tick UartTransmitter::next_change() const {
  if (in_frame_) {
    return next_bit_ < bit_count_ ? frame_.start + next_bit_ * frame_.format.bit() : frame_.end;
  }
  if (waiting_.empty()) return kNever;
  return std::max(line_free_, waiting_.front().since);
}

void UartTransmitter::begin_frame(Tick at, std::uint8_t byte) {
  frame_ = {at, at + format_.frame_ticks(), byte, format_};
  bit_count_ = 0;
  levels_[bit_count_++] = 0;
  for (int i = 0; i < format_.data_bits; ++i)
    levels_[bit_count_++] = (byte >> i) & 1;
  int parity = parity_level(byte, format_);
  if (parity >= 0) levels_[bit_count_++] = static_cast<std::uint8_t>(parity);
  levels_[bit_count_++] = 1;  // the stop bits, however long
  next_bit_ = 0;
  in_frame_ = true;
  ++started_;
}

void UartTransmitter::advance_to(Tick t) {
  for (;;) {
    if (!in_frame_) {
      if (waiting_.empty()) return;
      Tick start = std::max(line_free_, waiting_.front().since);
      if (start > t) return;
      std::uint8_t byte = waiting_.front().byte;
      waiting_.pop_front();
      begin_frame(start, byte);
    }
    Tick bit = frame_.format.bit();
    while (next_bit_ < bit_count_ && frame_.start + next_bit_ * bit <= t) {
      emit(frame_.start + next_bit_ * bit, levels_[next_bit_]);
      ++next_bit_;
    }
    if (next_bit_ < bit_count_ || frame_.end > t) return;
    in_frame_ = false;
    line_free_ = frame_.end;
    frames_.push_back(frame_);
  }
}

void UartTransmitter::forget_frames_before(Tick t) {
  auto keep = std::find_if(frames_.begin(), frames_.end(),
                           [t](const SentFrame& frame) { return frame.end >= t; });
  frames_.erase(frames_.begin(), keep);
}

void UartReceiver::on_level(Tick at, int level) {
  if (next_sample_ == kNever && last_level_ == 1 && level == 0) {
    frame_start_ = at;
    bit_index_ = 0;
    value_ = 0;
    parity_seen_ = -1;
    next_sample_ = at + format_.bit() / 2;
  }
  last_level_ = level;
}

bool UartReceiver::sample(Tick at, int level, ReceivedByte& byte) {
  const int data_end = 1 + format_.data_bits;
  const int parity_index = format_.parity_bits() ? data_end : -1;
  const int stop_index = data_end + format_.parity_bits();
  if (bit_index_ == 0) {
    if (level != 0) {  // a glitch, not a start bit
      next_sample_ = kNever;
      return false;
    }
  } else if (bit_index_ < data_end) {
    value_ |= static_cast<unsigned>(level) << (bit_index_ - 1);
  } else if (bit_index_ == parity_index) {
    parity_seen_ = level;
  } else if (bit_index_ == stop_index) {
    byte.at = at;
    byte.value = static_cast<std::uint8_t>(value_);
    byte.framing_error = level == 0;
    int expected = parity_level(byte.value, format_);
    byte.parity_error = expected >= 0 && parity_seen_ != expected;
    next_sample_ = kNever;
    // Hunt for the next falling edge from here on; a line still low needs to rise first.
    last_level_ = level;
    return true;
  }
  ++bit_index_;
  next_sample_ = frame_start_ + format_.bit() / 2 + bit_index_ * format_.bit();
  return false;
}

}  // namespace sim
