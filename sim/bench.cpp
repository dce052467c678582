#include "bench.h"

#include <algorithm>
#include <vector>

namespace sim {

void ScriptedConsole::type(Tick at, const std::string& text) {
  for (unsigned char c : text)
    press(at, c);
}

bool ScriptedConsole::wait_for_input() {
  if (input_.empty()) return false;
  world_.advance_to(input_.front().at);
  return true;
}

int ScriptedConsole::take() {
  Code code = input_.front();
  input_.pop_front();
  longest_key_wait_ = std::max(longest_key_wait_, world_.now() - code.at);
  return code.code;
}

bool ScriptedConsole::_kbhit() {
  world_.advance_by(world_.poll_cost());
  return !input_.empty() && input_.front().at <= world_.now();
}

int ScriptedConsole::_getch() {
  // A console read with nothing to come waits for ever; on the bench that ends the run.
  if (!wait_for_input()) throw Stalled("_getch with no key left in the script");
  return take();
}

void ScriptedConsole::_putch(int character) {
  char c = static_cast<char>(character);
  write_text(&c, 1);
}

bool ScriptedConsole::read_line(char* buffer, std::size_t size) {
  if (!wait_for_input()) return false;
  std::size_t length = 0;
  while (wait_for_input()) {
    int code = take();
    if (code == '\n') break;
    if (length + 1 < size) buffer[length++] = static_cast<char>(code);
  }
  buffer[length] = '\0';
  return true;
}

bool ScriptedConsole::line_ready() {
  for (const Code& code : input_) {
    if (code.at > world_.now()) return false;
    if (code.code == '\n') return true;
  }
  // All the script holds is typed: read_line returns it, or tells the end of input.
  return true;
}

void ScriptedConsole::write_text(const char* text, std::size_t length) {
  screen_.append(text, length);
  printed_.push_back({world_.now(), std::string(text, length)});
}

void ScriptedConsole::Beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) {
  tones_.push_back({world_.now(), frequency_hz, duration_ms});
  world_.advance_by(static_cast<Tick>(duration_ms) * kTicksPerMs);
}

void ScriptedConsole::Sleep(std::uint32_t milliseconds) {
  world_.advance_by(static_cast<Tick>(milliseconds) * kTicksPerMs);
}

std::unique_ptr<serial::SerialPort> Bench::CreateFileA(const char* device_name,
                                                       std::uint32_t access, std::uint32_t flags) {
  if (!world_.open(device_name, access, flags)) return nullptr;
  return std::make_unique<SimPort>(world_);
}

void Bench::wait_for_events(serial::SerialPort& port, long timeout_ms) {
  Tick limit = console_.next_input_at();
  // The port's own moments: the next look for a device that went away.
  serial::WaitSet set;
  port.add_wait(set);
  if (set.within_ns() != serial::WaitSet::kNoDeadline) {
    limit = std::min(limit, world_.now() + set.within_ns() * kTicksPerMs / 1'000'000);
  }
  if (timeout_ms >= 0) {
    limit = std::min(limit, (world_.now() / kTicksPerMs + timeout_ms) * kTicksPerMs);
  }
  world_.advance_until_news(limit);
}

int Bench::run(serial::ToolEntry entry, const char* program,
               std::initializer_list<const char*> args) {
  std::vector<const char*> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(nullptr);
  return entry(static_cast<int>(argv.size() - 1), argv.data(), *this);
}

}  // namespace sim
