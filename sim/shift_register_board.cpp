#include "shift_register_board.h"

namespace sim {
namespace {

// Each hexadecimal digit by the segments that draw it, a..g.
struct DigitShape {
  char digit;
  const char* segments;
};
constexpr DigitShape kDigitShapes[] = {
    {'0', "abcdef"},  {'1', "bc"},     {'2', "abdeg"},  {'3', "abcdg"},
    {'4', "bcfg"},    {'5', "acdfg"},  {'6', "acdefg"}, {'7', "abcf"},
    {'8', "abcdefg"}, {'9', "abcdfg"}, {'A', "abcefg"}, {'b', "cdefg"},
    {'C', "adef"},    {'d', "bcdeg"},  {'E', "adefg"},  {'F', "aefg"},
};

std::uint8_t segment_bits(const char* segments) {
  std::uint8_t bits = 0;
  for (const char* s = segments; *s; ++s)
    bits = static_cast<std::uint8_t>(bits | 1u << (*s - 'a'));
  return bits;
}

}  // namespace

SevenSegmentDigit decode_seven_segment(std::uint8_t byte) {
  SevenSegmentDigit shown;
  for (int i = 0; i < 7; ++i)
    shown.segments[i] = ((byte >> i) & 1) != 0;
  shown.point = (byte & 0x80) != 0;
  const std::uint8_t lit = byte & 0x7F;
  if (lit == 0) return shown;
  shown.digit = '?';
  for (const DigitShape& shape : kDigitShapes) {
    if (segment_bits(shape.segments) == lit) shown.digit = shape.digit;
  }
  return shown;
}

void ShiftRegisterBoard::set_inputs(std::uint8_t inputs) {
  base_inputs_ = inputs;
  input_schedule_.clear();
}

void ShiftRegisterBoard::set_inputs_at(Tick from, std::uint8_t inputs) {
  input_schedule_.push_back({from, inputs});
}

std::uint8_t ShiftRegisterBoard::inputs_at(Tick at) const {
  std::uint8_t inputs = base_inputs_;
  for (const auto& [from, value] : input_schedule_) {
    if (from > at) break;
    inputs = value;
  }
  return inputs;
}

void ShiftRegisterBoard::on_control_lines(Tick at, const ControlLines& lines) {
  const bool edge = lines.brk && !break_set_;
  break_set_ = lines.brk;
  if (edge) clock_edge(at, lines);
}

void ShiftRegisterBoard::clock_edge(Tick at, const ControlLines& lines) {
  output_register_ = static_cast<std::uint8_t>(output_register_ << 1 | (lines.rts ? 1 : 0));
  if (!lines.dtr) {
    input_register_ = inputs_at(at);
    edges_since_load_ = 0;
    ++loads_;
    return;
  }
  // The register's serial input is tied high: bits past the eighth read as CTS not asserted.
  input_register_ = static_cast<std::uint8_t>(input_register_ >> 1 | 0x80);
  if (edges_since_load_ < 0) return;
  if (++edges_since_load_ == 8) taken_.push_back({at, output_register_});
}

bool ShiftRegisterBoard::cts(Tick /*at*/) {
  if (edges_since_load_ >= 0 && static_cast<std::size_t>(edges_since_load_) < cts_script_.size()) {
    return cts_script_[edges_since_load_];
  }
  return (input_register_ & 1) == 0;
}

}  // namespace sim
