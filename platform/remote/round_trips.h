// The round trips a remote port measures to its server, and what they say about the path: how
// much the delay of one trip may differ from another's.
#pragma once

#include <cstdint>

namespace serial {

class RoundTrips {
 public:
  // One trip: from the moment a query left to the moment its answer came.
  void add(std::int64_t ns);
  int count() const { return count_; }
  double mean_ns() const;
  // How far the delay of one trip may stray from another's: the larger of the range of the
  // last few trips and four times their mean deviation, since a handful of trips rarely shows
  // a path's whole range. 0 until two trips are known.
  double spread_ns() const;

 private:
  static constexpr int kKept = 16;
  std::int64_t trips_[kKept] = {};
  int count_ = 0;  // trips kept, at most kKept
  int next_ = 0;   // where the next one goes
};

}  // namespace serial
