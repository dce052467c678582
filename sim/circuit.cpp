#include "circuit.h"

#include <algorithm>

namespace sim {

bool LoopbackSwitch::closed_at(Tick at) const {
  auto after = std::upper_bound(closed_.begin(), closed_.end(), at,
                                [](Tick t, const std::pair<Tick, Tick>& c) { return t < c.first; });
  return after != closed_.begin() && at < std::prev(after)->second;
}

Tick LoopbackSwitch::next_change_after(Tick at) {
  // The first closure not over by `at`: the switch next closes at its start, or opens at its end.
  auto next = std::upper_bound(closed_.begin(), closed_.end(), at,
                               [](Tick t, const std::pair<Tick, Tick>& c) { return t < c.second; });
  if (next == closed_.end()) return kNever;
  return next->first > at ? next->first : next->second;
}

}  // namespace sim
