#include "write_pacer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace serial {
namespace {

constexpr std::int64_t kWritableWaitNs = 100'000'000;

}  // namespace

void WritePacer::set_line(std::uint32_t baud, unsigned frame_bits) {
  if (baud == 0) baud = 9600;
  if (frame_bits == 0) frame_bits = 10;
  frame_ns_ = 1e9 * frame_bits / baud;
  set_lead(lead_ns_);
}

void WritePacer::set_lead(double lead_ns) {
  lead_ns_ = lead_ns;
  high_mark_ns_ = std::max(2 * frame_ns_, lead_ns_);
  // Refilled with at least one frame of room, while at least one frame is still going out.
  low_mark_ns_ = std::max(frame_ns_, high_mark_ns_ / 2);
}

double WritePacer::queued_ns(std::int64_t now) {
  // A byte the driver still counts has its whole frame ahead of it.
  long reported = kernel_.output_queue();
  double queued = reported > 0 ? reported * frame_ns_ : 0;
  return std::max(queued, line_busy_until_ns_ - static_cast<double>(now));
}

WritePacer::Attempt WritePacer::attempt(const std::uint8_t* data, std::size_t length) {
  std::int64_t now = kernel_.now_ns();
  double queued = queued_ns(now);
  if (queued > low_mark_ns_) {
    return {0, static_cast<std::int64_t>(std::ceil(queued - low_mark_ns_)), false};
  }
  auto room = static_cast<std::size_t>(std::max(0.0, (high_mark_ns_ - queued) / frame_ns_));
  long taken = kernel_.write(data, std::min(std::max<std::size_t>(room, 1), length));
  if (taken == -EINTR) return {0, 0, false};
  if (taken == -EAGAIN || taken == 0) return {0, 0, true};
  if (taken < 0) return {taken, 0, false};
  // The line starts on these bytes once everything before them has gone.
  line_busy_until_ns_ = std::max(line_busy_until_ns_, static_cast<double>(now)) + taken * frame_ns_;
  return {taken, 0, false};
}

std::int64_t WritePacer::hold_ns() {
  double over = queued_ns(kernel_.now_ns()) - low_mark_ns_;
  return over > 0 ? static_cast<std::int64_t>(std::ceil(over)) : 0;
}

long WritePacer::offer(const std::uint8_t* data, std::size_t length) {
  if (length == 0) return 0;
  return attempt(data, length).taken;
}

bool WritePacer::write_all(const std::uint8_t* data, std::size_t length, std::size_t& taken) {
  taken = 0;
  while (taken < length) {
    Attempt result = attempt(data + taken, length - taken);
    if (result.taken < 0) {
      // A device that has gone away (an unplugged adapter) fails every write at once. The
      // write still lasts as long as its bytes would have taken on the line, at least a frame,
      // so that a program writing in a loop sleeps instead of spinning.
      double left_ns = static_cast<double>(length - taken) * frame_ns_;
      kernel_.sleep_for(static_cast<std::int64_t>(std::max(left_ns, frame_ns_)));
      return false;
    }
    taken += static_cast<std::size_t>(result.taken);
    if (result.wait_ns > 0) kernel_.sleep_for(result.wait_ns);
    if (result.device_full) kernel_.wait_writable(kWritableWaitNs);
  }
  return true;
}

}  // namespace serial
