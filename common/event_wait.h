// The wait of a polling loop whose pass changed nothing: instead of polling again at once, it
// sleeps in the system until the first thing that could change its next pass, so the processor
// rests while every moment the loop keeps is still kept.
//
// The port and the console each say what they can be woken by (add_wait): the system handles
// that signal news (a descriptor on Linux, a HANDLE on Windows) and how long until their own next
// deadline (a read's interval timeout, the write pacer's low mark, the rest of an escape
// sequence). The System then sleeps on all of them at once (System::wait_for_events).
#pragma once

#include <cstdint>

namespace serial {

// One thing the system can sleep on, by its number: a file descriptor on Linux, a HANDLE on
// Windows.
struct WaitHandle {
  std::intptr_t handle = -1;
  // Descriptors only: wake when it can take output (POLLOUT) rather than when input came.
  bool for_output = false;
};

class WaitSet {
 public:
  static constexpr int kMaxHandles = 8;
  static constexpr std::int64_t kNoDeadline = INT64_MAX;

  // Wakes the wait when this handle signals. A set that is full already keeps its handles and
  // stops sleeping longer than a millisecond, so nothing is ever missed for long.
  void add(std::intptr_t handle, bool for_output = false) {
    if (count_ < kMaxHandles) {
      handles_[count_++] = {handle, for_output};
    } else {
      wake_within(1'000'000);
    }
  }
  // Wakes the wait at the latest this many nanoseconds from now (0: do not sleep at all).
  void wake_within(std::int64_t duration_ns) {
    if (duration_ns < 0) duration_ns = 0;
    if (duration_ns < within_ns_) within_ns_ = duration_ns;
  }
  void wake_now() { within_ns_ = 0; }

  int count() const { return count_; }
  const WaitHandle& handle(int index) const { return handles_[index]; }
  // The longest the wait may sleep, kNoDeadline when only a handle ends it.
  std::int64_t within_ns() const { return within_ns_; }

 private:
  WaitHandle handles_[kMaxHandles];
  int count_ = 0;
  std::int64_t within_ns_ = kNoDeadline;
};

}  // namespace serial
