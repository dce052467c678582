#include "vcd_writer.h"

#include <algorithm>

#include "world.h"

namespace sim::live {

std::int64_t to_nanoseconds(Tick t) {
  constexpr std::int64_t kNsPerSecond = 1'000'000'000;
  const std::int64_t seconds = t / kTicksPerSecond;
  const std::int64_t rest = t % kTicksPerSecond;  // below 2^26, so rest * 10^9 fits
  return seconds * kNsPerSecond + (rest * kNsPerSecond + kTicksPerSecond / 2) / kTicksPerSecond;
}

VcdWriter::VcdWriter(std::vector<Signal> signals) : signals_(std::move(signals)) {}

std::vector<VcdWriter::Signal> VcdWriter::port_signals(const World& world) {
  return {{"tx", 't', &world.tx()},   {"rx", 'r', &world.rx()},     {"dtr", 'd', &world.dtr()},
          {"rts", 's', &world.rts()}, {"break", 'b', &world.brk()}, {"cts", 'c', &world.cts()}};
}

void VcdWriter::begin() {
  text_ += "$version serial tools simulated port $end\n";
  text_ += "$timescale 1ns $end\n";
  text_ += "$scope module port $end\n";
  for (const Signal& signal : signals_) {
    text_ += "$var wire 1 ";
    text_ += signal.id;
    text_ += ' ' + signal.name + " $end\n";
  }
  text_ += "$upscope $end\n$enddefinitions $end\n";
  mark_time(0);
  text_ += "$dumpvars\n";
  for (const Signal& signal : signals_) {
    text_ += signal.line->initial_level() ? '1' : '0';
    text_ += signal.id;
    text_ += '\n';
  }
  text_ += "$end\n";
}

void VcdWriter::mark_time(Tick at) {
  std::int64_t ns = to_nanoseconds(at);
  if (ns == last_mark_ns_) return;
  last_mark_ns_ = ns;
  text_ += '#' + std::to_string(ns) + '\n';
}

void VcdWriter::write_until(Tick until) {
  if (until <= written_until_) return;
  // Each line's unwritten changes, merged in time order.
  std::vector<std::vector<Edge>::const_iterator> next, end;
  for (const Signal& signal : signals_) {
    const std::vector<Edge>& edges = signal.line->edges();
    auto by_time = [](const Edge& e, Tick t) { return e.at < t; };
    next.push_back(std::lower_bound(edges.begin(), edges.end(), written_until_, by_time));
    end.push_back(std::lower_bound(edges.begin(), edges.end(), until, by_time));
  }
  for (;;) {
    std::size_t first = signals_.size();
    for (std::size_t i = 0; i < signals_.size(); ++i) {
      if (next[i] != end[i] && (first == signals_.size() || next[i]->at < next[first]->at))
        first = i;
    }
    if (first == signals_.size()) break;
    mark_time(next[first]->at);
    text_ += next[first]->level ? '1' : '0';
    text_ += signals_[first].id;
    text_ += '\n';
    ++next[first];
  }
  written_until_ = until;
}

void VcdWriter::finish(Tick end) {
  write_until(end);
  mark_time(std::max(end, written_until_));
}

std::string VcdWriter::take_text() {
  std::string text;
  text.swap(text_);
  return text;
}

}  // namespace sim::live
