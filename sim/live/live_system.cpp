#include "live_system.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "bench.h"

namespace sim::live {
namespace {

constexpr Tick kServiceEvery = kTicksPerMs;
constexpr Tick kTrimEvery = kTicksPerSecond;
constexpr Tick kFlushEvery = 100 * kTicksPerMs;
// After the last frame, the waveform runs on this long, so that viewers show its stop bits whole.
constexpr Tick kQuietTail = 10 * kTicksPerMs;
// The lines idle this long before the tool can open the port, so that a decoder reading the
// waveform sees the first start bit fall from the idle level.
constexpr Tick kLeadIn = 10 * kTicksPerMs;

std::int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// --- wall clock ---

SteadyWallClock::SteadyWallClock(serial::System& native)
    : native_(native), start_ns_(steady_ns()) {}

namespace {

// What the native wait is given beside the console: a port with nothing to wake for.
class NoPort final : public serial::SerialPort {
 public:
  bool GetCommState(serial::DCB&) override { return false; }
  bool SetCommState(const serial::DCB&) override { return false; }
  bool SetCommTimeouts(const serial::COMMTIMEOUTS&) override { return false; }
  bool EscapeCommFunction(std::uint32_t) override { return false; }
  bool GetCommModemStatus(std::uint32_t&) override { return false; }
  bool WriteFile(const void*, std::uint32_t, std::uint32_t*, serial::OVERLAPPED*) override {
    return false;
  }
  bool ReadFile(void*, std::uint32_t, std::uint32_t*, serial::OVERLAPPED*) override {
    return false;
  }
  bool GetOverlappedResult(serial::OVERLAPPED&, std::uint32_t&, bool) override { return false; }
  void CloseHandle() override {}
  void add_wait(serial::WaitSet&) override {}
};

}  // namespace

void SteadyWallClock::wait_ms(std::uint32_t milliseconds) {
  NoPort none;
  native_.wait_for_events(none, static_cast<long>(milliseconds));
}

Tick SteadyWallClock::elapsed() {
  constexpr std::int64_t kNsPerSecond = 1'000'000'000;
  std::int64_t ns = steady_ns() - start_ns_;
  return ns / kNsPerSecond * kTicksPerSecond + ns % kNsPerSecond * kTicksPerSecond / kNsPerSecond;
}

// --- console ---

bool LiveConsole::_kbhit() {
  bool waiting = native_._kbhit();
  system_.keep_up(system_.world().poll_cost());
  return waiting;
}

int LiveConsole::_getch() {
  int code = native_._getch();
  system_.keep_up(0);
  return code;
}

void LiveConsole::_putch(int character) {
  char c = static_cast<char>(character);
  write_text(&c, 1);
}

bool LiveConsole::read_line(char* buffer, std::size_t size) {
  bool read = native_.read_line(buffer, size);
  // A typed line's echo ends the screen line; a line from a pipe or file leaves the prompt as it
  // is, and so does the end of the input.
  if (read && system_.notes_screen().input_echoed) mid_line_ = false;
  system_.keep_up(0);
  return read;
}

void LiveConsole::write_text(const char* text, std::size_t length) {
  // What the line did up to now is noted before the tool's own output of this moment.
  system_.keep_up(0);
  system_.service(true);
  native_.write_text(text, length);
  if (length > 0) mid_line_ = text[length - 1] != '\n';
}

void LiveConsole::Beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) {
  World& world = system_.world();
  const Tick start = world.now();
  const Tick end = start + static_cast<Tick>(duration_ms) * kTicksPerMs;
  // The tone follows the bytes still on the line, so that the bench's note of them comes first;
  // the tone and the call last as long as asked all the same.
  const Tick quiet = std::clamp(world.transmitter().idle_from(), start, end);
  system_.advance_paced(quiet);
  system_.service(true);
  native_.Beep(frequency_hz, static_cast<std::uint32_t>((end - quiet) / kTicksPerMs));
  system_.advance_paced(end);
  system_.service(true);
}

void LiveConsole::Sleep(std::uint32_t milliseconds) {
  system_.advance_paced(system_.world().now() + static_cast<Tick>(milliseconds) * kTicksPerMs);
  system_.service(false);
}

long LiveConsole::clock() {
  return static_cast<long>(system_.world().now() / kTicksPerMs);
}

// --- system ---

LiveSystem::LiveSystem(serial::Console& native, WallClock& clock, Rig& rig,
                       const std::string& device_name,
                       std::function<void(const std::string&)> notes, std::FILE* waveform,
                       NotesScreen screen, Tick slack)
    : native_(native),
      clock_(clock),
      rig_(rig),
      notes_(std::move(notes)),
      waveform_(waveform),
      screen_(screen),
      slack_(slack),
      console_(*this, native),
      vcd_(VcdWriter::port_signals(world_)) {
  world_.set_device_name(device_name);
  world_.set_deadline(kNever);
  world_.attach(rig_.circuit());
  world_.set_pacer([this](Tick target) { pace(target); });
  if (waveform_) vcd_.begin();
  advance_paced(kLeadIn);
}

std::unique_ptr<serial::SerialPort> LiveSystem::CreateFileA(const char* device_name,
                                                            std::uint32_t access,
                                                            std::uint32_t flags) {
  if (!world_.open(device_name, access, flags)) return nullptr;
  port_was_open_ = true;
  return std::make_unique<SimPort>(world_);
}

void LiveSystem::pace(Tick target) {
  service(false);
  for (Tick wall = clock_.elapsed(); wall < target; wall = clock_.elapsed()) {
    Tick ahead = target - wall;
    clock_.sleep_ms(static_cast<std::uint32_t>((ahead + kTicksPerMs - 1) / kTicksPerMs));
  }
}

void LiveSystem::wait_for_events(serial::SerialPort&, long timeout_ms) {
  // The world may lag the wall clock by this much while it waits: news found within a step is
  // kept at its own virtual moment, and the wall clock wakes the wait about every step.
  constexpr Tick kStep = 10 * kTicksPerMs;
  Tick limit = kNever;
  if (timeout_ms >= 0) limit = (world_.now() / kTicksPerMs + timeout_ms) * kTicksPerMs;
  for (;;) {
    // Never ahead of the wall clock: the world runs up to it and stops at the port's news.
    bool news = world_.advance_until_news(std::min(limit, clock_.elapsed()));
    service(false);
    if (news || world_.now() >= limit || native_._kbhit()) return;
    Tick rest = std::min(limit - world_.now(), kStep);
    clock_.wait_ms(static_cast<std::uint32_t>((rest + kTicksPerMs - 1) / kTicksPerMs));
  }
}

void LiveSystem::advance_paced(Tick target) {
  world_.advance_to(target);
  service(false);
}

void LiveSystem::keep_up(Tick cost) {
  advance_paced(std::max(world_.now() + cost, clock_.elapsed() - slack_));
}

void LiveSystem::note(const std::string& text) {
  // On the tool's screen a note starts a line of its own, also after output that has not ended
  // its line (a prompt), and ends the line itself. The tool's output stays as it wrote it.
  std::string line = screen_.shared_with_output && console_.mid_line() ? "\n[sim] " : "[sim] ";
  line += text;
  line += '\n';
  notes_(line);
  if (screen_.shared_with_output) console_.line_ended();
}

void LiveSystem::service(bool force) {
  const Tick now = world_.now();
  if (!force && now < next_service_) return;
  next_service_ = now + kServiceEvery;

  rig_.observe(world_, [this](const std::string& text) { note(text); });
  if (port_was_open_ && !world_.port_open()) {
    port_was_open_ = false;
    note("port closed after " + counted(world_.transmitter().started(), "byte") + " sent");
  }
  if (waveform_) {
    vcd_.write_until(now);
    std::string text = vcd_.take_text();
    std::fwrite(text.data(), 1, text.size(), waveform_);
    if (force || now >= next_flush_) {
      std::fflush(waveform_);
      next_flush_ = now + kFlushEvery;
    }
  }
  if (now >= next_trim_) {
    next_trim_ = now + kTrimEvery;
    Tick keep = std::min(rig_.keep_from(world_), waveform_ ? vcd_.written_until() : now);
    world_.forget_before(keep);
  }
}

void LiveSystem::finish() {
  // A closed port lets the frame on the line end; nothing follows it.
  Tick quiet = std::max(world_.now(), world_.transmitter().idle_from());
  advance_paced(quiet + kQuietTail);
  service(true);
  rig_.finish(world_, [this](const std::string& text) { note(text); });
  if (waveform_) {
    vcd_.finish(world_.now());
    std::string text = vcd_.take_text();
    std::fwrite(text.data(), 1, text.size(), waveform_);
    std::fflush(waveform_);
  }
}

// --- entry ---

SimulatedPortArgument parse_port_argument(const char* argument) {
  serial::PortArgument classified = serial::classify_port_argument(argument);
  SimulatedPortArgument parsed;
  parsed.names_simulated_port = classified.form == serial::PortForm::kSimulated;
  parsed.waveform_path = std::move(classified.waveform_path);
  return parsed;
}

int run_live(int argc, const char* const* argv, serial::ToolEntry entry, const char* program,
             serial::System& native_system, NotesScreen screen) {
  serial::Console& native = native_system.console();
  // Through the native console, which never lets a held terminal or pipe stop the world.
  auto notes = [&native](const std::string& line) {
    native.write_error_text(line.data(), line.size());
  };
  SimulatedPortArgument argument = parse_port_argument(argc == 2 ? argv[1] : "");
  std::FILE* waveform = nullptr;
  if (!argument.waveform_path.empty()) {
    waveform = std::fopen(argument.waveform_path.c_str(), "wb");
    if (!waveform) {
      notes("[sim] cannot write the waveform file " + argument.waveform_path + ": " +
            std::strerror(errno) + "\n");
      return serial::kPortNotOpened;
    }
  }
  const std::uint32_t seed = static_cast<std::uint32_t>(steady_ns());
  std::unique_ptr<Rig> rig = make_rig(program, seed);
  SteadyWallClock clock(native_system);
  int status;
  std::string intro = "[sim] simulated port, " + rig->description();
  if (waveform) intro += "; waveform to " + argument.waveform_path;
  notes(intro + "\n");
  {
    LiveSystem system(native, clock, *rig, serial::device_name(argc == 2 ? argv[1] : ""), notes,
                      waveform, screen);
    status = entry(argc, argv, system);
    system.finish();
  }
  if (waveform) std::fclose(waveform);
  return status;
}

}  // namespace sim::live
