#include "circuit.h"

#include <algorithm>

namespace sim {

bool LoopbackSwitch::closed_at(Tick at) const {
  auto after = std::upper_bound(closed_.begin(), closed_.end(), at,
                                [](Tick t, const std::pair<Tick, Tick>& c) { return t < c.first; });
  return after != closed_.begin() && at < std::prev(after)->second;
}

Tick LoopbackSwitch::next_change_after(Tick at) {
  for (const auto& [from, to] : closed_) {
    if (from > at) return from;
    if (to > at) return to;
  }
  return kNever;
}

}  // namespace sim
