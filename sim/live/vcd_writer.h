// The port's lines as a Value Change Dump, the text format that waveform viewers and logic
// analyser software read. Written as the run goes, so that a long run needs no more memory than
// a short one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ticks.h"
#include "timeline.h"

namespace sim {
class World;
}

namespace sim::live {

// Nanoseconds for a tick, rounded from the exact time: no error adds up over a long run.
std::int64_t to_nanoseconds(Tick t);

class VcdWriter {
 public:
  struct Signal {
    std::string name;
    char id;  // the short code that stands for the signal in every change
    const Timeline* line;
  };

  explicit VcdWriter(std::vector<Signal> signals);
  // The port's six lines: tx, rx, dtr, rts, break and cts.
  static std::vector<Signal> port_signals(const World& world);

  // The header and the start levels; called before anything has changed.
  void begin();
  // Every change before `until` that is not written yet. Changes at `until` itself may still be
  // replaced by a later change at the same instant, so they wait for the next call.
  void write_until(Tick until);
  // A last time mark, so that viewers show the final levels up to `end`.
  void finish(Tick end);

  Tick written_until() const { return written_until_; }
  // The text produced since the last call; the owner writes it to the file.
  std::string take_text();

 private:
  void mark_time(Tick at);

  std::vector<Signal> signals_;
  std::string text_;
  Tick written_until_ = 0;
  std::int64_t last_mark_ns_ = -1;
};

}  // namespace sim::live
