// Helpers for tests that run the port layer or a real tool binary on Linux pseudo-terminals.
//
//   PtyPair        an openpty pair. The test holds the master end: what the port sends arrives
//                  there (read_master), and what the test writes there arrives at the port
//                  (write_master). The slave end is the "serial device"; it is reachable by its
//                  /dev/pts path and by a symlink in a private temporary directory (link_path),
//                  and the pair keeps one slave descriptor open so the pty outlives the program
//                  under test. master_settings()/master_rate() read the line settings the
//                  slave runs with, as seen from the master end.
//   ToolProcess    a binary started with arguments (fork/exec), with stdin from a pipe the test
//                  writes to (or from a given terminal descriptor), stdout and stderr captured
//                  through pipes. wait_for_output() waits for a text to appear on stdout;
//                  wait_exit() waits with a timeout for the exit status and collects the rest
//                  of the output. A process still running at destruction is killed.
//   LockHolder     another process that holds flock(LOCK_EX) on a path until destroyed, the way
//                  a second program that has the port open holds it.
//
// A pty keeps baud rates (also arbitrary ones through termios2), forces 8 data bits and drops
// parity, has no modem lines (TIOCMGET fails) and reports an empty transmit queue.
#pragma once

#include <termios.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ptytest {

using std::chrono::milliseconds;

class PtyPair {
 public:
  PtyPair();  // fails the current test (ADD_FAILURE) when no pty can be had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& slave_path() const { return slave_path_; }
  const std::string& link_path() const { return link_path_; }

  // Reads from the master until `count` bytes have come or the deadline passes.
  std::vector<std::uint8_t> read_master(std::size_t count, milliseconds deadline);
  // Reads whatever comes until nothing more has come for `quiet`.
  std::vector<std::uint8_t> drain_master(milliseconds quiet);
  void write_master(const std::vector<std::uint8_t>& bytes);
  // Hangs the line up: the slave's reads and writes fail from then on.
  void close_master();

  // The slave's settings, read through the master end.
  termios master_settings() const;
  // The slave's output rate in bits per second, through the master end: termios2, or the
  // standard rate code where termios2 is missing.
  std::uint32_t master_rate() const;
  // Sets the slave's line, to see a program change it: rate (standard ones) and CSTOPB.
  void set_line(speed_t rate, bool two_stop_bits);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
  std::string directory_;
  std::string link_path_;
};

// What this process cannot do to a tty that a Linux kernel can: a reason to skip, or "" when
// nothing is missing. qemu-user passes on neither termios2 (TCGETS2/TCSETS2) nor the rate codes
// above 460800; the tests that need them skip there and run everywhere else.
std::string no_termios2();
std::string rate_code_lost(speed_t code);

struct ExitResult {
  bool finished = false;  // false: the timeout passed (the process was then killed)
  bool exited = false;    // ended by exit/return; exit_status valid
  int exit_status = -1;
  bool signaled = false;  // ended by a signal; signal_number valid
  int signal_number = 0;
};

// Success when the process ended by itself in time with `status`; otherwise says how it ended.
::testing::AssertionResult exited_with(const ExitResult& result, int status);

class ToolProcess {
 public:
  // Starts `binary` with `args` (argv[1]...). stdin_fd < 0: stdin is a pipe the test writes to;
  // otherwise the child's stdin is a dup of stdin_fd (a pty slave, a file). closed_fd (0, 1 or 2)
  // is a standard descriptor the child starts without. With `output_to_stdin_fd`, stdout and
  // stderr are stdin_fd too, as a program run in a terminal has them (nothing is captured then).
  ToolProcess(const std::string& binary, const std::vector<std::string>& args, int stdin_fd = -1,
              int closed_fd = -1, bool output_to_stdin_fd = false);
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  pid_t pid() const { return pid_; }
  void write_stdin(const std::string& text);
  void close_stdin();
  void send_signal(int signal_number);

  // Waits until stdout contains `text`; false when the deadline passes first.
  bool wait_for_output(const std::string& text, milliseconds deadline);
  // Waits for the process to end, collecting its output; kills it when the timeout passes.
  ExitResult wait_exit(milliseconds timeout);

  const std::string& stdout_text() const { return stdout_text_; }
  const std::string& stderr_text() const { return stderr_text_; }

 private:
  // Moves whatever the output pipes hold into the texts, waiting up to `wait`.
  void collect(milliseconds wait);

  pid_t pid_ = -1;
  int stdin_pipe_ = -1;
  int stdout_pipe_ = -1;
  int stderr_pipe_ = -1;
  std::string stdout_text_;
  std::string stderr_text_;
  bool reaped_ = false;
};

class LockHolder {
 public:
  explicit LockHolder(const std::string& path);  // returns once the lock is held
  ~LockHolder();
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  bool holding() const { return holding_; }

 private:
  pid_t pid_ = -1;
  int release_pipe_ = -1;
  bool holding_ = false;
};

// Bytes as "55 FF" for readable assertion messages.
std::string hex(const std::vector<std::uint8_t>& bytes);

}  // namespace ptytest
