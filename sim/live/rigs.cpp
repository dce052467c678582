#include "rigs.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace sim::live {
namespace {

// How far ahead the loop-back switch's closures are drawn.
constexpr Tick kScheduleAhead = 30 * kTicksPerSecond;

bool same_format(const FrameFormat& a, const FrameFormat& b) {
  return a.baud == b.baud && a.data_bits == b.data_bits && a.parity == b.parity &&
         a.stop_bits == b.stop_bits;
}

// The frames that ended after `seen_until`, oldest first.
std::vector<SentFrame>::const_iterator frames_after(const World& world, Tick seen_until) {
  const std::vector<SentFrame>& frames = world.frames();
  return std::upper_bound(frames.begin(), frames.end(), seen_until,
                          [](Tick t, const SentFrame& frame) { return t < frame.end; });
}

Tick seconds_between(std::mt19937& random, double shortest_s, double longest_s) {
  std::uniform_real_distribution<double> seconds(shortest_s, longest_s);
  return static_cast<Tick>(seconds(random) * kTicksPerSecond);
}

// A line with nothing on it and nothing watching.
class OpenLine : public Rig {
 public:
  std::string description() const override { return "nothing connected"; }
  void observe(World&, const Note&) override {}
};

}  // namespace

std::string format_note(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return length < 0 ? std::string() : std::string(text);
}

std::string counted(unsigned long long count, const char* noun) {
  return std::to_string(count) + ' ' + noun + (count == 1 ? "" : "s");
}

std::string framing_name(const FrameFormat& format) {
  static const char kParity[] = "NOEMS";
  std::string name = std::to_string(format.data_bits);
  name += format.parity < 5 ? kParity[format.parity] : '?';
  name += format.stop_bits == serial::TWOSTOPBITS    ? "2"
          : format.stop_bits == serial::ONE5STOPBITS ? "1.5"
                                                     : "1";
  return name;
}

std::string draw_digit(const SevenSegmentDigit& digit) {
  std::string drawn(1, digit.digit);
  if (digit.point) drawn += '.';
  return drawn;
}

// --- bursts ---

std::string BurstCounter::description() const {
  return "a counter of the pulses on the transmit line";
}

void BurstCounter::observe(World& world, const Note& note) {
  const std::vector<SentFrame>& frames = world.frames();
  for (auto frame = frames_after(world, seen_until_); frame != frames.end(); ++frame) {
    // Frames that follow without a gap belong to one burst.
    if (in_burst_ && frame->start != burst_end_) report(world, note);
    if (!in_burst_) {
      in_burst_ = true;
      burst_start_ = frame->start;
      burst_frames_ = 0;
      burst_format_ = frame->format;
    }
    burst_end_ = frame->end;
    ++burst_frames_;
    seen_until_ = frame->end;
  }
  const UartTransmitter& uart = world.transmitter();
  if (in_burst_ && !uart.in_frame() && uart.waiting() == 0 && world.now() >= burst_end_)
    report(world, note);
}

void BurstCounter::report(const World& world, const Note& note) {
  const Timeline& tx = world.tx();
  std::size_t pulses = count_pulses(tx, burst_start_, burst_end_);
  Tick first = first_change(tx, burst_start_, burst_end_);
  Tick last = last_change(tx, burst_start_, burst_end_);
  double lasted_ms = first == kNever ? 0.0 : to_ms(last - first);
  note(format_note("burst: %s in %.3f ms (%s at %u baud %s)", counted(pulses, "pulse").c_str(),
                   lasted_ms, counted(burst_frames_, "byte").c_str(), burst_format_.baud,
                   framing_name(burst_format_).c_str()));
  in_burst_ = false;
}

Tick BurstCounter::keep_from(const World&) const {
  return in_burst_ ? burst_start_ : seen_until_;
}

// --- square wave ---

std::string WaveMeter::description() const {
  return "a frequency meter on the transmit line";
}

void WaveMeter::observe(World& world, const Note& note) {
  const std::vector<SentFrame>& frames = world.frames();
  for (auto frame = frames_after(world, seen_until_); frame != frames.end(); ++frame) {
    bool same_wave =
        window_open_ && same_format(frame->format, window_format_) && frame->byte == window_byte_;
    if (!same_wave) {
      if (window_open_ && !reported_) report(world, frame->start, note);
      window_open_ = true;
      reported_ = false;
      window_start_ = frame->start;
      window_format_ = frame->format;
      window_byte_ = frame->byte;
    }
    seen_until_ = frame->end;
  }
  if (window_open_ && !reported_ && world.now() >= window_start_ + kWindow)
    report(world, window_start_ + kWindow, note);
}

void WaveMeter::report(const World& world, Tick until, const Note& note) {
  reported_ = true;
  const Timeline& tx = world.tx();
  WaveMeasurement wave = measure_wave(tx, window_start_, until);
  std::string framing = format_note("%u baud %s, byte %02x", window_format_.baud,
                                    framing_name(window_format_).c_str(), window_byte_);
  if (wave.periods == 0) {
    note(format_note("wave: no whole period in %.3f ms (%s)", to_ms(until - window_start_),
                     framing.c_str()));
    return;
  }
  // In an even square wave the line stays at 1 for half a period at most; anything longer is
  // the line lying idle between frames.
  Tick longest_high = longest_run(tx, 1, window_start_, until);
  std::string busy = 2 * longest_high <= wave.longest_period
                         ? std::string("line busy")
                         : format_note("line idle for up to %.3f ms", to_ms(longest_high));
  note(format_note("wave: %.3f Hz, duty %.1f %%, %s (%s, over %.3f s)", wave.frequency_hz,
                   100.0 * wave.duty_cycle, busy.c_str(), framing.c_str(),
                   to_seconds(until - window_start_)));
}

Tick WaveMeter::keep_from(const World&) const {
  return window_open_ && !reported_ ? window_start_ : seen_until_;
}

void WaveMeter::finish(World& world, const Note& note) {
  observe(world, note);
  if (window_open_ && !reported_) report(world, seen_until_, note);
}

// --- loop-back switch ---

bool ScheduledLoopback::closed_at(Tick at) const {
  for (const auto& [from, to] : closures_) {
    if (at < from) return false;
    if (at < to) return true;
  }
  return false;
}

Tick ScheduledLoopback::next_change_after(Tick at) {
  for (const auto& [from, to] : closures_) {
    if (from > at) return from;
    if (to > at) return to;
  }
  return kNever;
}

RandomLoopback::RandomLoopback(std::uint32_t seed) : random_(seed) {
  schedule_until(kScheduleAhead);
}

std::string RandomLoopback::description() const {
  return format_note(
      "a loop-back switch from transmit to receive that closes now and then for "
      "%.2f to %.0f s",
      kShortestClosedS, kLongestClosedS);
}

void RandomLoopback::schedule_until(Tick horizon) {
  while (scheduled_until_ < horizon) {
    Tick from = scheduled_until_ + seconds_between(random_, kShortestOpenS, kLongestOpenS);
    Tick to = from + seconds_between(random_, kShortestClosedS, kLongestClosedS);
    switch_.add(from, to);
    scheduled_until_ = to;
  }
}

void RandomLoopback::observe(World& world, const Note& note) {
  const Tick now = world.now();
  while (!switch_.closures().empty()) {
    auto [from, to] = switch_.closures().front();
    if (now < from) break;
    if (!announced_closing_) {
      note("loop-back switch closed");
      announced_closing_ = true;
    }
    if (now < to) break;
    note(format_note("loop-back switch open again: it was closed %.3f s", to_seconds(to - from)));
    switch_.drop_first();
    announced_closing_ = false;
  }
  schedule_until(now + kScheduleAhead);
}

// --- shift-register board ---

SwitchesAndDisplay::SwitchesAndDisplay(std::uint32_t seed) : random_(seed) {
  inputs_ = static_cast<std::uint8_t>(random_());
  board_.set_inputs(inputs_);
}

std::string SwitchesAndDisplay::description() const {
  return "the shift-register board: a seven-segment display and eight input switches";
}

void SwitchesAndDisplay::observe(World& world, const Note& note) {
  const Tick now = world.now();
  if (!started_) {
    started_ = true;
    note(format_note("input switches at %02x", inputs_));
    next_change_ = now + seconds_between(random_, kShortestStillS, kLongestStillS);
  }
  const auto& taken = board_.taken_in();
  for (; shown_ < taken.size(); ++shown_)
    note("display " + draw_digit(decode_seven_segment(taken[shown_].value)));
  if (now >= next_change_) {
    std::uint8_t inputs = inputs_;
    while (inputs == inputs_)
      inputs = static_cast<std::uint8_t>(random_());
    inputs_ = inputs;
    board_.set_inputs(inputs_);
    note(format_note("input switches set to %02x", inputs_));
    next_change_ = now + seconds_between(random_, kShortestStillS, kLongestStillS);
  }
}

std::unique_ptr<Rig> make_rig(const std::string& program, std::uint32_t seed) {
  if (program == "tessik") return std::make_unique<BurstCounter>();
  if (program == "wendro") return std::make_unique<WaveMeter>();
  if (program == "kadrel") return std::make_unique<RandomLoopback>(seed);
  if (program == "lorvel") return std::make_unique<SwitchesAndDisplay>(seed);
  return std::make_unique<OpenLine>();
}

}  // namespace sim::live
