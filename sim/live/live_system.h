// The simulated port for users: the bench's world run in real time, paced by the wall clock, with
// the machine's own keyboard and screen and a circuit chosen for the tool.
//
// Virtual time follows the tool as on the bench (writes wait for the line, polls cost a little,
// sleeps pass), and is never allowed ahead of the wall clock: before it moves, the pacer sleeps
// until the wall clock has got there. It may fall behind by a little: a tool that keeps the line
// busy queues its next bytes in time on a real port even when the machine is slow for a moment,
// so the world lags by up to `slack` before a console call pulls it forward to the wall clock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "console.h"
#include "rigs.h"
#include "start.h"
#include "vcd_writer.h"
#include "world.h"

namespace sim::live {

// The wall clock as the live world sees it: ticks since the run began, and a way to wait.
class WallClock {
 public:
  virtual ~WallClock() = default;
  virtual Tick elapsed() = 0;
  virtual void sleep_ms(std::uint32_t milliseconds) = 0;
  // Sleeps as long, or less once a key has come to the native console.
  virtual void wait_ms(std::uint32_t milliseconds) { sleep_ms(milliseconds); }
};

// The machine's monotonic clock; sleeps with the native console's Sleep, and waits for keys in
// the native system's wait.
class SteadyWallClock : public WallClock {
 public:
  explicit SteadyWallClock(serial::System& native);
  Tick elapsed() override;
  void sleep_ms(std::uint32_t milliseconds) override { native_.console().Sleep(milliseconds); }
  void wait_ms(std::uint32_t milliseconds) override;

 private:
  serial::System& native_;
  std::int64_t start_ns_;
};

class LiveSystem;

// Where the notes show beside the tool's own output.
struct NotesScreen {
  // The notes (stderr) show where the tool's output (stdout) does: a note then starts on a line
  // of its own after output that did not end its line.
  bool shared_with_output = true;
  // A line the tool reads is echoed there as it is typed, and its Enter ends the screen line.
  bool input_echoed = true;
};

// The native console with the world kept in step: every call first brings virtual time up to
// the wall clock. Keys, lines and screen output pass through unchanged.
class LiveConsole : public serial::Console {
 public:
  LiveConsole(LiveSystem& system, serial::Console& native) : system_(system), native_(native) {}

  void begin_input(serial::KeyInput input) override { native_.begin_input(input); }
  bool _kbhit() override;
  int _getch() override;
  void _putch(int character) override;
  bool read_line(char* buffer, std::size_t size) override;
  void write_text(const char* text, std::size_t length) override;
  void Beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) override;
  void Sleep(std::uint32_t milliseconds) override;
  long clock() override;

  // Whether the screen's cursor stands after text without a newline.
  bool mid_line() const { return mid_line_; }
  // Something else (a note) ended the screen line.
  void line_ended() { mid_line_ = false; }

 private:
  LiveSystem& system_;
  serial::Console& native_;
  bool mid_line_ = false;
};

class LiveSystem : public serial::System {
 public:
  static constexpr Tick kDefaultSlack = 50 * kTicksPerMs;

  // `notes` takes each observation as a finished line ("[sim] ...\n"); `waveform`, when not null,
  // receives the VCD text as the run goes.
  LiveSystem(serial::Console& native, WallClock& clock, Rig& rig, const std::string& device_name,
             std::function<void(const std::string&)> notes, std::FILE* waveform,
             NotesScreen screen = {}, Tick slack = kDefaultSlack);
  LiveSystem(const LiveSystem&) = delete;
  LiveSystem& operator=(const LiveSystem&) = delete;

  std::unique_ptr<serial::SerialPort> CreateFileA(const char* device_name, std::uint32_t access,
                                                  std::uint32_t flags) override;
  serial::Console& console() override { return console_; }
  // The world runs to the port's news or the timeout (see Bench::wait_for_events) no faster
  // than the wall clock, resting on it meanwhile; a key at the native console ends the wait.
  void wait_for_events(serial::SerialPort& port, long timeout_ms) override;
  const NotesScreen& notes_screen() const { return screen_; }

  World& world() { return world_; }
  WallClock& wall() { return clock_; }

  // Brings virtual time to at least now + cost, and up to the wall clock less the slack.
  void keep_up(Tick cost);
  // Moves virtual time to `target`, sleeping as far as the wall clock is behind it.
  void advance_paced(Tick target);
  // Observes, writes the waveform and drops old history; at most once per millisecond of virtual
  // time unless forced.
  void service(bool force);
  // After the tool has returned: lets the line finish its last frame, then closes the records.
  void finish();

 private:
  void note(const std::string& text);
  void pace(Tick target);

  serial::Console& native_;
  WallClock& clock_;
  Rig& rig_;
  std::function<void(const std::string&)> notes_;
  std::FILE* waveform_;
  NotesScreen screen_;
  Tick slack_;
  World world_;
  LiveConsole console_;
  VcdWriter vcd_;

  Tick next_service_ = 0;
  Tick next_trim_ = 0;
  Tick next_flush_ = 0;
  bool port_was_open_ = false;
};

// The port argument that names the built-in simulated port: "sim", or "sim:FILE" to also write
// the waveform to FILE.
struct SimulatedPortArgument {
  bool names_simulated_port = false;
  std::string waveform_path;  // empty: no waveform file
};
SimulatedPortArgument parse_port_argument(const char* argument);

// Runs a tool on the live simulated port: the circuit for `program`, observations on stderr,
// the waveform file if the argument names one. Returns the tool's exit status, or
// serial::kPortNotOpened when the waveform file cannot be created.
int run_live(int argc, const char* const* argv, serial::ToolEntry entry, const char* program,
             serial::System& native, NotesScreen screen);

}  // namespace sim::live
