#include "timeline.h"

#include <algorithm>
#include <cassert>

namespace sim {

void Timeline::set(Tick at, int level) {
  assert(edges_.empty() || at >= edges_.back().at);
  if (level == this->level()) return;
  if (!edges_.empty() && edges_.back().at == at) {
    // Two changes at one instant: only the last one is ever visible.
    edges_.pop_back();
    if (level == this->level()) return;
  }
  edges_.push_back({at, level});
}

void Timeline::forget_before(Tick t) {
  auto keep = std::lower_bound(edges_.begin(), edges_.end(), t,
                               [](const Edge& e, Tick at) { return e.at < at; });
  if (keep == edges_.begin()) return;
  initial_ = std::prev(keep)->level;
  edges_.erase(edges_.begin(), keep);
}

int Timeline::level_at(Tick at) const {
  auto after = std::upper_bound(edges_.begin(), edges_.end(), at,
                                [](Tick t, const Edge& e) { return t < e.at; });
  return after == edges_.begin() ? initial_ : std::prev(after)->level;
}

namespace {

std::vector<Edge>::const_iterator first_at_or_after(const std::vector<Edge>& edges, Tick from) {
  return std::lower_bound(edges.begin(), edges.end(), from,
                          [](const Edge& e, Tick t) { return e.at < t; });
}

}  // namespace

std::size_t count_pulses(const Timeline& line, Tick from, Tick to) {
  std::size_t pulses = 0;
  bool low = false;
  for (auto e = first_at_or_after(line.edges(), from); e != line.edges().end() && e->at < to; ++e) {
    if (e->level == 0) {
      low = true;
    } else if (low) {
      ++pulses;
      low = false;
    }
  }
  return pulses;
}

WaveMeasurement measure_wave(const Timeline& line, Tick from, Tick to) {
  WaveMeasurement wave;
  Tick first_fall = kNever, previous_fall = kNever, high_since = kNever, high_time = 0;
  for (auto e = first_at_or_after(line.edges(), from); e != line.edges().end() && e->at < to; ++e) {
    if (e->level == 0) {
      if (previous_fall != kNever) {
        Tick period = e->at - previous_fall;
        if (wave.periods == 0 || period < wave.shortest_period) wave.shortest_period = period;
        wave.longest_period = std::max(wave.longest_period, period);
        ++wave.periods;
        if (high_since != kNever) high_time += e->at - high_since;
      } else {
        first_fall = e->at;
      }
      previous_fall = e->at;
      high_since = kNever;
    } else if (previous_fall != kNever) {
      high_since = e->at;
    }
  }
  if (wave.periods > 0) {
    Tick span = previous_fall - first_fall;
    wave.frequency_hz = static_cast<double>(wave.periods) * kTicksPerSecond / span;
    wave.duty_cycle = static_cast<double>(high_time) / span;
  }
  return wave;
}

Tick longest_run(const Timeline& line, int level, Tick from, Tick to) {
  Tick longest = 0;
  Tick since = line.level_at(from) == level ? from : kNever;
  for (auto e = first_at_or_after(line.edges(), from); e != line.edges().end() && e->at < to; ++e) {
    if (e->level == level) {
      if (since == kNever) since = e->at;
    } else if (since != kNever) {
      longest = std::max(longest, e->at - since);
      since = kNever;
    }
  }
  if (since != kNever) longest = std::max(longest, to - since);
  return longest;
}

Tick first_change(const Timeline& line, Tick from, Tick to) {
  auto e = first_at_or_after(line.edges(), from);
  return e != line.edges().end() && e->at < to ? e->at : kNever;
}

Tick last_change(const Timeline& line, Tick from, Tick to) {
  auto e = first_at_or_after(line.edges(), to);
  if (e == line.edges().begin()) return kNever;
  --e;
  return e->at >= from ? e->at : kNever;
}

}  // namespace sim
