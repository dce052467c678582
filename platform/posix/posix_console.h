// The console on Linux: keys from a raw terminal or from a pipe, lines, output that is shown at
// once and never blocks the program, the terminal bell and a monotonic clock.
//
// Keys are read raw and unechoed only while the input is a terminal, from the tool's start
// (begin_input) or else from the first _kbhit or _getch on. _kbhit is true only once a whole key
// is there: a sequence the decoder knows no key for is dropped and never leaves _getch waiting
// (for keys left unread, where _kbhit only looks, any byte in the terminal counts). The
// terminal's settings come back on every way out: destruction, exit(), and the signals that end a
// program from the keyboard or from outside (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE) or after
// a failed check (SIGABRT); SIGTSTP gives the shell a normal terminal while the program is
// stopped. Those signal handlers undo everything the program changed, the open ports and remote
// servers too (see restore_registry.h), then end it as the signal would.
//
// Raw keys turn XON/XOFF off: Ctrl+S and Ctrl+Q are keys (19 and 17) as on a Windows console, and
// a program whose output is held cannot stop its loop. What standard output or standard error
// cannot take at once waits (see output_stream.h) and goes out at the next console call, during
// the console's own waits (keys, lines, Sleep, Beep) and when the loop's wait finds the output
// writable (add_wait). Standard error that is the same file as standard output shares its
// buffer, so the two keep their order. At the end what still waits gets up to 2 s.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console.h"
#include "output_stream.h"

namespace serial {

class PosixConsole : public Console {
 public:
  // Reads keys and lines from input_fd and writes to output_fd and error_fd; the tools use 0, 1
  // and 2.
  explicit PosixConsole(int input_fd = 0, int output_fd = 1, int error_fd = 2);
  ~PosixConsole() override;
  PosixConsole(const PosixConsole&) = delete;
  PosixConsole& operator=(const PosixConsole&) = delete;

  void begin_input(KeyInput input) override;
  bool _kbhit() override;
  // At the end of the input no key ever comes: it then waits for good.
  int _getch() override;
  void _putch(int character) override;
  bool line_ready() override;
  bool read_line(char* buffer, std::size_t size) override;
  void write_text(const char* text, std::size_t length) override;
  void write_error_text(const char* text, std::size_t length) override;
  void add_wait(WaitSet& set) override;
  void Beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) override;
  void Sleep(std::uint32_t milliseconds) override;
  long clock() override;

 private:
  // A key coming in: the input descriptor, a decoded key or the rest of an escape sequence.
  void add_input_wait(WaitSet& set);
  void enter_raw_keys();
  void leave_raw_keys();
  // Reads what the input has into the buffer, waiting up to timeout_ms (-1: until something
  // comes or the input ends). False when no byte came.
  bool fill(int timeout_ms);
  // Sends on the output that waits, as far as it goes out now.
  void push_output();
  // Waits up to timeout_ms (-1: no limit) for the input when `for_input`, sending held output on
  // as it can go. The input's poll events, 0 when the time passed or a signal came.
  short wait(long timeout_ms, bool for_input);
  // Decodes keys into pending_ until one is there. With `block` false it never waits; false
  // when no key is ready (or, blocking, when the input has ended).
  bool pump_keys(bool block);

  static constexpr std::size_t kInputSize = 4096;

  int input_fd_;
  int output_fd_;
  int error_fd_;
  OutputStream output_;
  OutputStream error_;
  // Standard error is the same file as standard output and goes through its buffer.
  bool error_joins_output_;
  bool input_is_terminal_;
  bool raw_keys_ = false;
  bool input_ended_ = false;
  KeyInput key_input_ = KeyInput::kKeys;
  // Bytes read from the input that no key or line has taken yet: keys and lines share them.
  unsigned char input_[kInputSize];
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  // When an unfinished escape sequence or character began to wait for its rest; -1 when none
  // waits.
  long unfinished_since_ms_ = -1;
  // Key codes decoded but not yet handed out (the second of an extended key).
  int pending_[2] = {0, 0};
  int pending_count_ = 0;
};

}  // namespace serial
