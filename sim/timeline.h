// The recorded levels of one line over virtual time, and what an oscilloscope reads off them.
#pragma once

#include <cstddef>
#include <vector>

#include "ticks.h"

namespace sim {

struct Edge {
  Tick at;
  int level;  // the level from `at` on
};

// A line's levels: a start level and the changes after it, in time order.
class Timeline {
 public:
  explicit Timeline(int initial_level = 1) : initial_(initial_level) {}

  // The line takes `level` at `at` (not earlier than the last change); repeats are not recorded.
  void set(Tick at, int level);
  int level_at(Tick at) const;
  int level() const { return edges_.empty() ? initial_ : edges_.back().level; }
  int initial_level() const { return initial_; }
  const std::vector<Edge>& edges() const { return edges_; }
  // Drops the changes before `t`; the level at `t` becomes the start level. Long live runs keep
  // their memory bounded this way; levels before `t` can no longer be asked for.
  void forget_before(Tick t);

 private:
  int initial_;
  std::vector<Edge> edges_;
};

// Pulses in [from, to): falls from 1 to 0 followed by a rise back to 1 within the window.
std::size_t count_pulses(const Timeline& line, Tick from, Tick to);

// A periodic wave measured from falling edge to falling edge within [from, to).
struct WaveMeasurement {
  std::size_t periods = 0;
  double frequency_hz = 0;
  double duty_cycle = 0;  // share of each period at level 1
  Tick shortest_period = 0;
  Tick longest_period = 0;
};
WaveMeasurement measure_wave(const Timeline& line, Tick from, Tick to);

// The longest stretch within [from, to) during which the line stays at `level`.
Tick longest_run(const Timeline& line, int level, Tick from, Tick to);

// The time of the first and last change within [from, to); kNever for the first when there is none.
Tick first_change(const Timeline& line, Tick from, Tick to);
Tick last_change(const Timeline& line, Tick from, Tick to);

}  // namespace sim
