// The test bench: the simulated world with a scripted keyboard and a captured screen, offered to
// a tool as its System.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "start.h"
#include "world.h"

namespace sim {

// A SerialPort whose calls go to a World; what a tool gets from the bench's CreateFileA.
class SimPort : public serial::SerialPort {
 public:
  explicit SimPort(World& world) : world_(world) {}
  ~SimPort() override { CloseHandle(); }
  bool GetCommState(serial::DCB& dcb) override { return world_.get_comm_state(dcb); }
  bool SetCommState(const serial::DCB& dcb) override { return world_.set_comm_state(dcb); }
  bool SetCommTimeouts(const serial::COMMTIMEOUTS& t) override {
    return world_.set_comm_timeouts(t);
  }
  bool EscapeCommFunction(std::uint32_t function) override { return world_.escape(function); }
  bool GetCommModemStatus(std::uint32_t& status) override { return world_.modem_status(status); }
  bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t* written,
                 serial::OVERLAPPED* overlapped) override {
    return world_.write(buffer, length, written, overlapped);
  }
  bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t* received,
                serial::OVERLAPPED* overlapped) override {
    return world_.read(buffer, length, received, overlapped);
  }
  bool GetOverlappedResult(serial::OVERLAPPED& overlapped, std::uint32_t& transferred,
                           bool wait) override {
    return world_.overlapped_result(overlapped, transferred, wait);
  }
  bool counts_running_reads() override { return !world_.running_read_count_hidden(); }
  // The world tells its own news to the bench's wait (see Bench::wait_for_events).
  void add_wait(serial::WaitSet&) override {}
  serial::PortPresence presence() override {
    return open_ && world_.port_lost() ? serial::PortPresence::kGone : serial::PortPresence::kHere;
  }
  void CloseHandle() override {
    if (open_) world_.close();
    open_ = false;
  }

 private:
  World& world_;
  bool open_ = true;
};

struct Printed {
  Tick at;
  std::string text;
};

struct Tone {
  Tick at;
  std::uint32_t frequency_hz;
  std::uint32_t duration_ms;
};

// Keys and lines typed at given virtual times; the screen and tones captured.
class ScriptedConsole : public serial::Console {
 public:
  explicit ScriptedConsole(World& world) : world_(world) {}

  // Input, in time order. Keys and lines share one input stream, as on a console.
  void type(Tick at, const std::string& text);
  void press(Tick at, int code) { input_.push_back({at, code}); }
  void press_extended(Tick at, int prefix, int code) {
    press(at, prefix);
    press(at, code);
  }
  std::size_t unread_input() const { return input_.size(); }
  // When the next code becomes available; kNever when the script has none left.
  Tick next_input_at() const { return input_.empty() ? kNever : input_.front().at; }

  const std::string& screen() const { return screen_; }
  // What went to standard error.
  const std::string& errors() const { return errors_; }
  const std::vector<Printed>& printed() const { return printed_; }
  const std::vector<Tone>& tones() const { return tones_; }
  // How long a key waited between becoming available and being read, the longest seen.
  Tick longest_key_wait() const { return longest_key_wait_; }

  bool _kbhit() override;
  int _getch() override;
  void _putch(int character) override;
  bool read_line(char* buffer, std::size_t size) override;
  bool line_ready() override;
  void write_text(const char* text, std::size_t length) override;
  void write_error_text(const char* text, std::size_t length) override {
    errors_.append(text, length);
  }
  void Beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) override;
  void Sleep(std::uint32_t milliseconds) override;
  long clock() override { return static_cast<long>(world_.now() / kTicksPerMs); }

 private:
  struct Code {
    Tick at;
    int code;
  };
  // Waits for the next code to arrive; false when the script has none left.
  bool wait_for_input();
  int take();

  World& world_;
  std::deque<Code> input_;
  std::string screen_;
  std::string errors_;
  std::vector<Printed> printed_;
  std::vector<Tone> tones_;
  Tick longest_key_wait_ = 0;
};

// The whole bench: one world, one port on it named "COM1" unless set otherwise, one console.
class Bench : public serial::System {
 public:
  Bench() : console_(world_) {}

  World& world() { return world_; }
  ScriptedConsole& keyboard() { return console_; }
  ScriptedConsole& screen() { return console_; }

  std::unique_ptr<serial::SerialPort> CreateFileA(const char* device_name, std::uint32_t access,
                                                  std::uint32_t flags) override;
  serial::Console& console() override { return console_; }
  // Virtual time goes straight to the first of: the port's news, the next scripted key, the
  // caller's timeout (the moment its clock shows timeout_ms more).
  void wait_for_events(serial::SerialPort& port, long timeout_ms) override;

  // Runs a tool's entry with these arguments after the program name; returns its exit status.
  int run(serial::ToolEntry entry, const char* program, std::initializer_list<const char*> args);

 private:
  World world_;
  ScriptedConsole console_;
};

}  // namespace sim
