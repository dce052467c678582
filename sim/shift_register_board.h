// An external 8-bit I/O board driven through the port's control lines alone, and the
// seven-segment display it carries.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "circuit.h"
#include "ticks.h"

namespace sim {

// What a seven-segment display with decimal point shows for one byte: segment a in bit 0 through
// segment g in bit 6, the point in bit 7.
struct SevenSegmentDigit {
  std::array<bool, 7> segments{};  // a, b, c, d, e, f, g
  bool point = false;
  // The hexadecimal digit the lit segments draw ('0'..'9', 'A', 'b', 'C', 'd', 'E', 'F'),
  // ' ' when none is lit, '?' for a pattern that is no digit.
  char digit = ' ';
};
SevenSegmentDigit decode_seven_segment(std::uint8_t byte);

// Two shift registers on one clock. The clock is the break state: each change from cleared to set
// is one edge. An edge while DTR is low loads the eight inputs into the input register; every
// other edge shifts it by one, so that CTS shows input bit 0 after the load, bit 1 after the next
// edge, and so on. CTS is asserted where the input bit is 0 (the line driver inverts). Every edge
// also shifts RTS into the output register, most significant bit first; once eight edges have
// followed a load the output register holds a whole byte, which the display then shows.
class ShiftRegisterBoard : public Circuit {
 public:
  struct TakenByte {
    Tick at;
    std::uint8_t value;
  };

  // The inputs from now on; the earlier schedule is dropped.
  void set_inputs(std::uint8_t inputs);
  // The inputs from `from` on; calls in time order.
  void set_inputs_at(Tick from, std::uint8_t inputs);
  std::uint8_t inputs_at(Tick at) const;

  // CTS per cycle instead of the inputs: cycle k is the k-th sample after a load (0 for the one
  // right after it); cycles beyond the script follow the inputs again. Applies to every exchange.
  void script_cts(std::vector<bool> asserted_per_cycle) {
    cts_script_ = std::move(asserted_per_cycle);
  }
  void clear_cts_script() { cts_script_.clear(); }

  // Every byte completed, with the time of its eighth edge.
  const std::vector<TakenByte>& taken_in() const { return taken_; }
  bool has_taken_in() const { return !taken_.empty(); }
  std::uint8_t last_taken_in() const { return taken_.empty() ? 0 : taken_.back().value; }
  // What the display shows: the last byte completed, dark before the first.
  SevenSegmentDigit display() const { return decode_seven_segment(last_taken_in()); }
  // How often the inputs were loaded.
  std::size_t loads() const { return loads_; }

  void on_control_lines(Tick at, const ControlLines& lines) override;
  bool cts(Tick at) override;

 private:
  void clock_edge(Tick at, const ControlLines& lines);

  std::uint8_t base_inputs_ = 0;
  std::vector<std::pair<Tick, std::uint8_t>> input_schedule_;
  std::vector<bool> cts_script_;

  bool break_set_ = false;
  std::uint8_t input_register_ = 0xFF;  // idles at 1: CTS not asserted
  std::uint8_t output_register_ = 0;
  int edges_since_load_ = -1;  // -1 until the first load
  std::size_t loads_ = 0;
  std::vector<TakenByte> taken_;
};

}  // namespace sim
