// What each tool finds on the simulated port when it runs live: the circuit on the connector and
// the instruments that tell the user what happened on the lines.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>

#include "circuit.h"
#include "console.h"
#include "shift_register_board.h"
#include "world.h"

namespace sim::live {

// Takes one observation, a short line of text without the newline.
using Note = std::function<void(const std::string&)>;

// printf into a std::string, for notes.
std::string format_note(const char* format, ...) SERIAL_PRINTF_LIKE(1, 2);

// A count and its noun, singular for one: "1 byte", "3 bytes", "0 bytes".
std::string counted(unsigned long long count, const char* noun);

// One tool's bench: a circuit (or none) and the observations made on the world.
class Rig {
 public:
  virtual ~Rig() = default;
  // What the rig is, for the first note of a run.
  virtual std::string description() const = 0;
  virtual Circuit* circuit() { return nullptr; }
  // Looks at the world up to world.now(), which only grows from call to call, and notes events.
  virtual void observe(World& world, const Note& note) = 0;
  // The earliest time whose line history the rig still needs; earlier history may be dropped.
  virtual Tick keep_from(const World& world) const { return world.now(); }
  // The run is over and the line has fallen quiet: notes what is still unreported.
  virtual void finish(World& /*world*/, const Note& /*note*/) {}
};

// The rig for a tool by its program name; a plain open line for a name it does not know.
std::unique_ptr<Rig> make_rig(const std::string& program, std::uint32_t seed);

// Counts the pulses of each burst on the transmit line and how long the burst lasted.
class BurstCounter : public Rig {
 public:
  std::string description() const override;
  void observe(World& world, const Note& note) override;
  Tick keep_from(const World& world) const override;
  void finish(World& world, const Note& note) override { observe(world, note); }

 private:
  void report(const World& world, const Note& note);

  bool in_burst_ = false;
  Tick burst_start_ = 0;
  Tick burst_end_ = 0;
  std::size_t burst_frames_ = 0;
  FrameFormat burst_format_;
  Tick seen_until_ = 0;  // the end of the last frame looked at
};

// Measures frequency and duty cycle for one second after each change of the wave, and whether
// the line stayed busy (no idle stretch between frames).
class WaveMeter : public Rig {
 public:
  static constexpr Tick kWindow = kTicksPerSecond;

  std::string description() const override;
  void observe(World& world, const Note& note) override;
  Tick keep_from(const World& world) const override;
  void finish(World& world, const Note& note) override;

 private:
  void report(const World& world, Tick until, const Note& note);

  bool window_open_ = false;
  bool reported_ = false;
  Tick window_start_ = 0;
  FrameFormat window_format_;
  std::uint8_t window_byte_ = 0;
  Tick seen_until_ = 0;
};

// A loop-back switch whose closures are scheduled ahead and dropped once they are over, so that
// it runs for ever in constant memory.
class ScheduledLoopback : public Circuit {
 public:
  // Closes over [from, to); closures are added in time order and do not overlap.
  void add(Tick from, Tick to) { closures_.push_back({from, to}); }
  void drop_first() { closures_.pop_front(); }
  const std::deque<std::pair<Tick, Tick>>& closures() const { return closures_; }
  bool closed_at(Tick at) const;

  int rx_level(Tick at, int tx_level) override { return closed_at(at) ? tx_level : 1; }
  Tick next_change_after(Tick at) override;

 private:
  std::deque<std::pair<Tick, Tick>> closures_;
};

// Closes the loop-back switch now and then for a random time and notes the true time it was
// closed, to compare with the tool's report.
class RandomLoopback : public Rig {
 public:
  static constexpr double kShortestClosedS = 0.05, kLongestClosedS = 2.0;
  // Open long enough between closures that the tool reports each one on its own.
  static constexpr double kShortestOpenS = 1.0, kLongestOpenS = 4.0;

  explicit RandomLoopback(std::uint32_t seed);
  std::string description() const override;
  Circuit* circuit() override { return &switch_; }
  void observe(World& world, const Note& note) override;
  const ScheduledLoopback& loopback() const { return switch_; }

 private:
  void schedule_until(Tick horizon);

  std::mt19937 random_;
  ScheduledLoopback switch_;
  Tick scheduled_until_ = 0;
  bool announced_closing_ = false;
};

// The shift-register board with its seven-segment display and eight input switches that the rig
// changes now and then; each exchange's digit is drawn as text.
class SwitchesAndDisplay : public Rig {
 public:
  static constexpr double kShortestStillS = 2.0, kLongestStillS = 6.0;

  explicit SwitchesAndDisplay(std::uint32_t seed);
  std::string description() const override;
  Circuit* circuit() override { return &board_; }
  void observe(World& world, const Note& note) override;
  const ShiftRegisterBoard& board() const { return board_; }

 private:
  std::mt19937 random_;
  ShiftRegisterBoard board_;
  bool started_ = false;
  std::uint8_t inputs_ = 0;
  Tick next_change_ = 0;
  std::size_t shown_ = 0;  // exchanges drawn so far
};

// The text drawing of a display digit: the digit, with a '.' when the point is lit ("3.", "b").
std::string draw_digit(const SevenSegmentDigit& digit);

// "8N1", "8E2": data bits, parity letter, stop bits.
std::string framing_name(const FrameFormat& format);

}  // namespace sim::live
