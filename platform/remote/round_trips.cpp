#include "round_trips.h"

#include <algorithm>
#include <cmath>

namespace serial {

void RoundTrips::add(std::int64_t ns) {
  trips_[next_] = std::max<std::int64_t>(ns, 0);
  next_ = (next_ + 1) % kKept;
  count_ = std::min(count_ + 1, kKept);
}

double RoundTrips::mean_ns() const {
  if (count_ == 0) return 0;
  double sum = 0;
  for (int i = 0; i < count_; ++i)
    sum += static_cast<double>(trips_[i]);
  return sum / count_;
}

double RoundTrips::spread_ns() const {
  if (count_ < 2) return 0;
  double mean = mean_ns();
  double deviation = 0;
  std::int64_t low = trips_[0], high = trips_[0];
  for (int i = 0; i < count_; ++i) {
    deviation += std::fabs(static_cast<double>(trips_[i]) - mean);
    low = std::min(low, trips_[i]);
    high = std::max(high, trips_[i]);
  }
  return std::max(static_cast<double>(high - low), 4 * deviation / count_);
}

}  // namespace serial
