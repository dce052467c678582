// What is wired to the simulated port's lines.
#pragma once

#include <utility>
#include <vector>

#include "ticks.h"

namespace sim {

struct ControlLines {
  bool dtr = false;
  bool rts = false;
  bool brk = false;  // the transmit line held at 0
};

// A circuit on the port's connector. It hears the control lines, drives CTS and decides what the
// receive line shows. It may change by itself; it then names the next instant it does.
class Circuit {
 public:
  virtual ~Circuit() = default;
  virtual void on_control_lines(Tick /*at*/, const ControlLines& /*lines*/) {}
  virtual bool cts(Tick /*at*/) { return false; }
  // The receive level at `at` while the transmit line is at tx_level; an open input idles at 1.
  virtual int rx_level(Tick /*at*/, int /*tx_level*/) { return 1; }
  virtual Tick next_change_after(Tick /*at*/) { return kNever; }
};

// A switch that joins transmit to receive while closed. A frame cut short when it opens arrives as
// whatever its levels make, as on a real wire.
class LoopbackSwitch : public Circuit {
 public:
  // Closes the switch over [from, to); intervals are added in time order and do not overlap.
  void close_between(Tick from, Tick to) { closed_.push_back({from, to}); }
  bool closed_at(Tick at) const;
  int rx_level(Tick at, int tx_level) override { return closed_at(at) ? tx_level : 1; }
  Tick next_change_after(Tick at) override;
  const std::vector<std::pair<Tick, Tick>>& closures() const { return closed_; }

 private:
  std::vector<std::pair<Tick, Tick>> closed_;
};

}  // namespace sim
