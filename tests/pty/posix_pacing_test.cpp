// The write pacer against a simulated kernel transmit queue that drains at the baud rate in
// simulated time: how deep the queue gets, whether the line idles between writes, and how long
// a newly written byte waits before it goes out.
#include "write_pacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A UART transmit queue: bytes leave one frame time each, back to back while any wait.
class SimulatedQueue : public serial::PacingKernel {
 public:
  SimulatedQueue(std::uint32_t baud, unsigned frame_bits) : frame_ns_(1e9 * frame_bits / baud) {}

  // Options of the simulated device.
  std::int64_t wake_latency_ns = 0;  // how late a sleep ends (a busy scheduler)
  bool hides_queue = false;          // TIOCOUTQ reports 0 (a pty, bytes hidden in a FIFO)
  bool gone = false;                 // the device was unplugged: every write fails with EIO
  std::size_t capacity = 4096;       // the kernel buffer: beyond it a write gets EAGAIN

  long write(const std::uint8_t*, std::size_t length) override {
    count_call();
    if (gone) return -EIO;
    std::size_t queued = queued_at(now_);
    if (queued >= capacity) return -EAGAIN;
    std::size_t taken = std::min(length, capacity - queued);
    // The first new byte goes out once everything ahead of it has.
    double ahead_ns = std::max(0.0, line_free_ns_ - now_);
    max_delay_ns_ = std::max(max_delay_ns_, ahead_ns);
    if (line_free_ns_ < now_ && started_) idle_ns_ += now_ - line_free_ns_;
    line_free_ns_ = std::max(line_free_ns_, static_cast<double>(now_)) + taken * frame_ns_;
    started_ = true;
    max_queued_ns_ = std::max(max_queued_ns_, line_free_ns_ - now_);
    ++writes_;
    return static_cast<long>(taken);
  }
  // Like TIOCOUTQ: the bytes not yet started; the one in the shift register is not counted.
  long output_queue() override {
    count_call();
    std::size_t queued = queued_at(now_);
    return hides_queue || queued == 0 ? 0 : static_cast<long>(queued - 1);
  }
  void wait_writable(std::int64_t timeout_ns) override {
    ++waits_;
    // Wakes when a byte has left, or at the timeout.
    double next_room = line_free_ns_ - (capacity - 1) * frame_ns_ + 1;
    advance(std::min<double>(std::max<double>(next_room - now_, 0), timeout_ns));
  }
  void sleep_for(std::int64_t duration_ns) override {
    ++sleeps_;
    advance(static_cast<double>(duration_ns));
  }
  std::int64_t now_ns() override { return now_; }

  // The caller doing other work between writes.
  void pass(double ns) { advance(ns); }

  // Ends a run: the last bytes leave, and no idle gap is counted after them.
  double max_queued_ms() const { return max_queued_ns_ / 1e6; }
  std::size_t max_queued() const { return frames_in(max_queued_ns_); }
  double idle_ms() const { return idle_ns_ / 1e6; }
  double max_delay_ms() const { return max_delay_ns_ / 1e6; }
  double queued_ms_now() const { return std::max(0.0, line_free_ns_ - now_) / 1e6; }
  int calls_since_sleep() const { return calls_since_sleep_; }
  int max_calls_without_sleep() const { return max_calls_without_sleep_; }
  long writes() const { return writes_; }

 private:
  // Whole frames, a started one counted, with no rounding noise turning 2.0000001 into 3.
  std::size_t frames_in(double ns) const {
    if (ns <= 0) return 0;
    return static_cast<std::size_t>(std::ceil(ns / frame_ns_ - 1e-6));
  }
  std::size_t queued_at(std::int64_t time) const { return frames_in(line_free_ns_ - time); }
  // A pacer that keeps calling without ever sleeping spins: stop it.
  void count_call() {
    if (++calls_since_sleep_ > 1000) throw std::runtime_error("spinning without sleep");
  }
  void advance(double ns) {
    max_calls_without_sleep_ = std::max(max_calls_without_sleep_, calls_since_sleep_);
    calls_since_sleep_ = 0;
    now_ += static_cast<std::int64_t>(ns) + wake_latency_ns;
  }

  double frame_ns_;
  std::int64_t now_ = 1'000'000'000;
  double line_free_ns_ = 0;
  bool started_ = false;
  double idle_ns_ = 0;
  double max_delay_ns_ = 0;
  double max_queued_ns_ = 0;
  int calls_since_sleep_ = 0;
  int max_calls_without_sleep_ = 0;
  long sleeps_ = 0;
  long waits_ = 0;
  long writes_ = 0;
};

struct Measurement {
  double max_queue_ms;
  std::size_t max_queue_bytes;
  double idle_ms;
  double max_delay_ms;
  double queued_at_return_ms;
};

// Back-to-back synchronous writes of a 256-byte buffer, the way a tool streams a wave.
Measurement stream(SimulatedQueue& queue, std::uint32_t baud, unsigned frame_bits, int writes) {
  serial::WritePacer pacer(queue);
  pacer.set_line(baud, frame_bits);
  std::vector<std::uint8_t> buffer(256, 0x55);
  Measurement result{};
  for (int i = 0; i < writes; ++i) {
    std::size_t taken = 0;
    EXPECT_NO_THROW(EXPECT_TRUE(pacer.write_all(buffer.data(), buffer.size(), taken)));
    EXPECT_EQ(taken, buffer.size());
    result.queued_at_return_ms = std::max(result.queued_at_return_ms, queue.queued_ms_now());
    queue.pass(20'000);  // the caller's own work between writes: 20 us
  }
  result.max_queue_ms = queue.max_queued_ms();
  result.max_queue_bytes = queue.max_queued();
  result.idle_ms = queue.idle_ms();
  result.max_delay_ms = queue.max_delay_ms();
  return result;
}

void report(const std::string& name, std::uint32_t baud, const Measurement& m) {
  std::printf(
      "[ pacing ] %s %u baud: max queue %zu bytes = %.2f ms, idle between writes %.3f ms, "
      "delay of a new byte up to %.2f ms, queued at return up to %.2f ms\n",
      name.c_str(), baud, m.max_queue_bytes, m.max_queue_ms, m.idle_ms, m.max_delay_ms,
      m.queued_at_return_ms);
  std::string prefix = name + "_" + std::to_string(baud) + "_";
  ::testing::Test::RecordProperty(prefix + "max_queue_us", static_cast<int>(m.max_queue_ms * 1000));
  ::testing::Test::RecordProperty(prefix + "idle_us", static_cast<int>(m.idle_ms * 1000));
  ::testing::Test::RecordProperty(prefix + "new_byte_delay_us",
                                  static_cast<int>(m.max_delay_ms * 1000));
}

// The most a queue may hold: 10 ms of line time or two frames, and one frame of rounding.
double allowed_queue_ms(std::uint32_t baud) {
  double frame_ms = 1e3 * 10 / baud;
  return std::max(10.0, 2 * frame_ms) + frame_ms;
}

TEST(WritePacing, QueueStaysShortAndTheLineNeverIdles) {
  for (std::uint32_t baud : {110u, 4800u, 115200u}) {
    SimulatedQueue queue(baud, 10);
    // Sleeps end 2 ms late, as on a loaded machine.
    queue.wake_latency_ns = 2'000'000;
    Measurement m = stream(queue, baud, 10, baud == 110 ? 4 : 40);
    report("busy_scheduler", baud, m);
    EXPECT_LE(m.max_queue_ms, allowed_queue_ms(baud) + 2) << baud;
    EXPECT_EQ(m.idle_ms, 0.0) << baud;
    EXPECT_LE(m.max_delay_ms, allowed_queue_ms(baud) + 2) << baud;
    // Sleeping, not spinning: a handful of calls between two sleeps.
    EXPECT_LE(queue.max_calls_without_sleep(), 6) << baud;
  }
}

TEST(WritePacing, AHiddenQueueIsStillPacedByTheLineTime) {
  for (std::uint32_t baud : {110u, 4800u, 115200u}) {
    SimulatedQueue queue(baud, 10);
    queue.hides_queue = true;
    Measurement m = stream(queue, baud, 10, baud == 110 ? 2 : 20);
    report("hidden_queue", baud, m);
    EXPECT_LE(m.max_queue_ms, allowed_queue_ms(baud)) << baud;
    EXPECT_EQ(m.idle_ms, 0.0) << baud;
    EXPECT_LE(queue.max_calls_without_sleep(), 6) << baud;
  }
}

TEST(WritePacing, FullDeviceIsWaitedOnNotSpunOn) {
  // A device whose buffer holds two bytes and whose queue depth is hidden.
  SimulatedQueue queue(115200, 10);
  queue.hides_queue = true;
  queue.capacity = 2;
  Measurement m = stream(queue, 115200, 10, 4);
  EXPECT_LE(m.max_queue_bytes, 2u);
  EXPECT_LE(queue.max_calls_without_sleep(), 6);
}

TEST(WritePacing, AGoneDeviceFailsAfterTheLineTimeOfItsBytes) {
  // 110 baud, 12-bit frames: wendro's slowest row, 20 bytes a write.
  SimulatedQueue queue(110, 12);
  queue.gone = true;
  serial::WritePacer pacer(queue);
  pacer.set_line(110, 12);
  std::uint8_t buffer[20] = {};
  for (std::size_t length : {std::size_t{20}, std::size_t{1}}) {
    std::int64_t before = queue.now_ns();
    std::size_t taken = 99;
    EXPECT_NO_THROW(EXPECT_FALSE(pacer.write_all(buffer, length, taken)));
    EXPECT_EQ(taken, 0u);
    double line_ns = 1e9 * 12 / 110 * length;
    EXPECT_NEAR(static_cast<double>(queue.now_ns() - before), line_ns, 1e3) << length;
  }
}

TEST(WritePacing, OfferNeverBlocksAndRespectsTheMarks) {
  SimulatedQueue queue(4800, 10);
  serial::WritePacer pacer(queue);
  pacer.set_line(4800, 10);
  std::vector<std::uint8_t> buffer(256, 0x55);
  long first = pacer.offer(buffer.data(), buffer.size());
  EXPECT_EQ(first, static_cast<long>(pacer.high_mark_ns() / pacer.frame_ns()));
  // Above the low mark nothing more is taken until the line has sent some.
  EXPECT_EQ(pacer.offer(buffer.data(), buffer.size()), 0);
  queue.pass(first * pacer.frame_ns() - pacer.low_mark_ns() - 1000);
  EXPECT_EQ(pacer.offer(buffer.data(), buffer.size()), 0);
  queue.pass(2000);
  EXPECT_GT(pacer.offer(buffer.data(), buffer.size()), 0);
  EXPECT_LE(queue.max_queued_ms(), pacer.high_mark_ns() / 1e6 + 1e-6);
}

}  // namespace
