#include "posix_console.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "key_decoder.h"
#include "restore_registry.h"

namespace serial {
namespace {

// How long the rest of an escape sequence or of a UTF-8 character may take before the bytes so far
// count as they are (an ESC as the ESC key alone).
constexpr long kRestOfKeyWaitMs = 30;

// The terminal in raw key mode, for the signal handlers: its record in the registry (the
// settings it had before), and what SIGTSTP puts back once the program continues.
volatile std::sig_atomic_t g_terminal_entry = restore::kNoEntry;
int g_terminal_fd = -1;
termios g_raw_settings;
bool g_handlers_installed = false;

struct TerminalChanges {
  int fd;
  termios saved;
};

void undo_terminal_changes(const void* state, restore::Way) {
  const TerminalChanges& changes = *static_cast<const TerminalChanges*>(state);
  tcsetattr(changes.fd, TCSANOW, &changes.saved);
}

void restore_terminal() {
  restore::Entry entry = g_terminal_entry;
  if (entry == restore::kNoEntry) return;
  g_terminal_entry = restore::kNoEntry;
  restore::undo_and_remove(entry);
}

// exit() from anywhere: the port and the terminal are left as found, as by a close.
void restore_at_exit() {
  restore::undo_all(restore::Caller::kOtherThread);
}

// Ends the program the way the signal would, after undoing all it changed: the terminal, the
// ports (their unsent output dropped, or the kernel's close would hold the dying program up to
// 30 s) and the remote servers' settings.
void on_fatal_signal(int signal_number) {
  restore::undo_all(restore::Caller::kSignalHandler);
  std::signal(signal_number, SIG_DFL);
  // Blocked while this handler runs; delivered, with the default action, as it returns.
  std::raise(signal_number);
}

void install_stop_handler();

// Ctrl-Z: the shell gets its terminal back while the program is stopped, raw keys after.
void on_stop_signal(int) {
  int saved_errno = errno;
  restore::Entry entry = g_terminal_entry;
  if (entry != restore::kNoEntry) restore::undo_and_keep(entry);
  std::signal(SIGTSTP, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  std::raise(SIGTSTP);
  // Continued.
  install_stop_handler();
  if (entry != restore::kNoEntry) tcsetattr(g_terminal_fd, TCSANOW, &g_raw_settings);
  errno = saved_errno;
}

// The signals that end a program, each undoing all it changed first. SIGPIPE too: `kadrel
// /dev/ttyUSB0 | head` ends by it once head has gone, and the keyboard's terminal must not stay
// raw after that.
constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGPIPE};

// Installs a handler only where the signal still has its default action, so that a signal the
// caller chose to ignore (nohup) stays ignored. `blocked` waits while the handler runs.
void install_if_default(int signal_number, void (*handler)(int), const sigset_t& blocked) {
  struct sigaction current {};
  if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_mask = blocked;
  action.sa_flags = SA_RESTART;
  sigaction(signal_number, &action, nullptr);
}

void install_stop_handler() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTSTP, &action, nullptr);
}

void install_handlers_once() {
  if (g_handlers_installed) return;
  g_handlers_installed = true;
  // A second ending signal waits for the first one's undo: the farewell goes out once, whole.
  sigset_t fatal;
  sigemptyset(&fatal);
  for (int signal_number : kFatalSignals)
    sigaddset(&fatal, signal_number);
  for (int signal_number : kFatalSignals)
    install_if_default(signal_number, on_fatal_signal, fatal);
  sigset_t none;
  sigemptyset(&none);
  install_if_default(SIGTSTP, on_stop_signal, none);
  std::atexit(restore_at_exit);
}

// What output still waits at the end gets this long; a stopped terminal cannot hold the exit.
constexpr long kOutputAtEndMs = 2000;

}  // namespace

PosixConsole::PosixConsole(int input_fd, int output_fd, int error_fd)
    : input_fd_(input_fd),
      output_fd_(output_fd),
      error_fd_(error_fd),
      error_joins_output_(error_fd == output_fd || same_file(error_fd, output_fd)),
      input_is_terminal_(isatty(input_fd) != 0) {
  install_handlers_once();
  output_.open(output_fd);
  if (!error_joins_output_) error_.open(error_fd);
}

PosixConsole::~PosixConsole() {
  long deadline = monotonic_ms() + kOutputAtEndMs;
  output_.finish(deadline);
  error_.finish(deadline);
  leave_raw_keys();
}

void PosixConsole::enter_raw_keys() {
  if (raw_keys_ || !input_is_terminal_) return;
  termios settings{};
  if (tcgetattr(input_fd_, &settings) != 0) return;
  // Recorded before it changes, so that every way out from here on gives it back.
  restore::Entry entry = restore::add(undo_terminal_changes, TerminalChanges{input_fd_, settings});
  if (entry == restore::kNoEntry) return;
  g_terminal_fd = input_fd_;
  // ISIG stays: Ctrl-C still ends the program. Enter gives 13, as on a Windows console. Without
  // IXON, Ctrl+S and Ctrl+Q are keys too, and cannot stop the program's output.
  settings.c_lflag &= ~(ICANON | ECHO | ECHONL);
  settings.c_iflag &= ~(ICRNL | IXON);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  g_raw_settings = settings;
  g_terminal_entry = entry;
  if (tcsetattr(input_fd_, TCSANOW, &settings) != 0) {
    g_terminal_entry = restore::kNoEntry;
    restore::remove(entry);
    return;
  }
  raw_keys_ = true;
}

void PosixConsole::leave_raw_keys() {
  if (!raw_keys_) return;
  raw_keys_ = false;
  restore_terminal();
}

bool PosixConsole::fill(int timeout_ms) {
  if (input_ended_) return false;
  if (start_ == end_) {
    start_ = end_ = 0;
  } else if (end_ == kInputSize) {
    std::memmove(input_, input_ + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  if (end_ == kInputSize) return false;
  short events = wait(timeout_ms, true);
  if (events == 0) return false;
  if (events & POLLNVAL) {
    input_ended_ = true;
    return false;
  }
  ssize_t count = ::read(input_fd_, input_ + end_, kInputSize - end_);
  if (count > 0) {
    end_ += static_cast<std::size_t>(count);
    return true;
  }
  if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return false;
  // The end of a pipe or file, or a terminal that hung up: no input comes any more.
  input_ended_ = true;
  return false;
}

void PosixConsole::push_output() {
  output_.push();
  error_.push();
}

short PosixConsole::wait(long timeout_ms, bool for_input) {
  long deadline = timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms;
  for (;;) {
    push_output();
    pollfd watch[3];
    nfds_t count = 0;
    if (for_input) watch[count++] = {input_fd_, POLLIN, 0};
    for (const OutputStream* stream : {&output_, &error_}) {
      if (stream->wait_fd() >= 0) watch[count++] = {stream->wait_fd(), POLLOUT, 0};
    }
    long left = deadline < 0 ? -1 : deadline - monotonic_ms();
    if (deadline >= 0 && left <= 0) {
      if (!for_input) return 0;
      left = 0;
    }
    int ready;
    if (count == 0) {
      // Nothing to watch: a plain sleep (a wait without a limit always watches the input).
      timespec rest{static_cast<time_t>(left / 1000), (left % 1000) * 1'000'000};
      ready = nanosleep(&rest, nullptr) == 0 ? 0 : -1;
    } else {
      ready = poll(watch, count, static_cast<int>(left));
    }
    if (for_input && ready > 0 && watch[0].revents != 0) return watch[0].revents;
    // A signal ends a wait for input early, as it always did; a sleep goes on to its end.
    if (for_input && (ready < 0 || left == 0)) return 0;
  }
}

bool PosixConsole::pump_keys(bool block) {
  while (pending_count_ == 0) {
    std::size_t available = end_ - start_;
    bool waited_enough =
        unfinished_since_ms_ >= 0 && monotonic_ms() - unfinished_since_ms_ >= kRestOfKeyWaitMs;
    DecodedKey key = decode_key(input_ + start_, available, input_ended_ || waited_enough);
    if (key.consumed > 0) {
      start_ += key.consumed;
      unfinished_since_ms_ = -1;
      for (int i = 0; i < key.count; ++i)
        pending_[pending_count_++] = key.codes[i];
      continue;
    }
    if (available == 0) {
      if (input_ended_) return false;
      if (!fill(block ? -1 : 0) && !block) return false;
      continue;
    }
    // The start of an escape sequence or a character: give the rest a short while to arrive.
    if (unfinished_since_ms_ < 0) unfinished_since_ms_ = monotonic_ms();
    long left_ms = kRestOfKeyWaitMs - (monotonic_ms() - unfinished_since_ms_);
    if (left_ms < 0) left_ms = 0;
    if (!fill(block ? static_cast<int>(left_ms) : 0) && !block && left_ms > 0) return false;
  }
  return true;
}

void PosixConsole::begin_input(KeyInput input) {
  key_input_ = input;
  if (input != KeyInput::kLines) enter_raw_keys();
}

bool PosixConsole::_kbhit() {
  push_output();
  enter_raw_keys();
  // A key that only ends the program stays in the terminal's input, as a key stays in a Windows
  // console's input buffer, and the shell reads it next. Telling a whole key from a sequence of
  // none would take it from there, so here any byte counts.
  int waiting = 0;
  if (key_input_ == KeyInput::kKeysLeftUnread && input_is_terminal_ && pending_count_ == 0 &&
      start_ == end_ && ioctl(input_fd_, FIONREAD, &waiting) == 0) {
    return waiting > 0;
  }
  return pump_keys(false);
}

int PosixConsole::_getch() {
  push_output();
  enter_raw_keys();
  if (!pump_keys(true)) {
    for (;;)
      pause();
  }
  int code = pending_[0];
  pending_[0] = pending_[1];
  --pending_count_;
  return code;
}

void PosixConsole::_putch(int character) {
  char byte = static_cast<char>(character);
  // A single character is a progress mark (kadrel's dot) that may be dropped when the output
  // has been held up for long; a newline ends a line and is kept like any line.
  output_.write(&byte, 1, byte != '\n');
}

bool PosixConsole::read_line(char* buffer, std::size_t size) {
  // A line is typed with echo and editing, even in a program that also reads raw keys.
  bool was_raw = raw_keys_;
  leave_raw_keys();
  std::size_t limit = size > 0 ? size - 1 : 0;
  std::size_t kept = 0;
  bool any_byte = false;
  bool dropped = false;
  bool got_line = false;
  for (;;) {
    bool newline = false;
    while (start_ < end_) {
      unsigned char byte = input_[start_++];
      if (byte == '\n') {
        newline = true;
        break;
      }
      any_byte = true;
      if (kept < limit) {
        buffer[kept++] = static_cast<char>(byte);
      } else {
        dropped = true;
      }
    }
    if (newline || (input_ended_ && any_byte)) {
      got_line = true;
      break;
    }
    if (input_ended_) break;
    fill(-1);
  }
  if (got_line && !dropped && kept > 0 && buffer[kept - 1] == '\r') --kept;
  if (size > 0) buffer[kept] = '\0';
  if (was_raw) enter_raw_keys();
  return got_line;
}

bool PosixConsole::line_ready() {
  push_output();
  for (;;) {
    // A line longer than the buffer is read, and its rest dropped, by read_line at once too.
    if (input_ended_ || end_ - start_ == kInputSize ||
        std::memchr(input_ + start_, '\n', end_ - start_) != nullptr) {
      return true;
    }
    if (!fill(0)) return input_ended_;
  }
}

void PosixConsole::write_text(const char* text, std::size_t length) {
  output_.write(text, length, false);
}

void PosixConsole::write_error_text(const char* text, std::size_t length) {
  (error_joins_output_ ? output_ : error_).write(text, length, false);
}

void PosixConsole::add_wait(WaitSet& set) {
  add_input_wait(set);
  // Held output: the wait ends once the stream can take more.
  for (const OutputStream* stream : {&output_, &error_}) {
    if (stream->wait_fd() >= 0) set.add(stream->wait_fd(), true);
  }
}

void PosixConsole::Beep(std::uint32_t, std::uint32_t duration_ms) {
  // The bell is the one tone a terminal has; into a pipe or file it would be a stray byte.
  if (isatty(output_fd_)) {
    output_.write("\a", 1, true);
  } else if (isatty(error_fd_)) {
    (error_joins_output_ ? output_ : error_).write("\a", 1, true);
  }
  wait(duration_ms, false);
}

void PosixConsole::Sleep(std::uint32_t milliseconds) {
  wait(milliseconds, false);
}

long PosixConsole::clock() {
  push_output();
  return monotonic_ms();
}

void PosixConsole::add_input_wait(WaitSet& set) {
  if (pending_count_ > 0) {
    set.wake_now();
    return;
  }
  // Input that has ended never brings a key; its descriptor (a closed pipe polls as POLLHUP)
  // would only wake the wait at once, again and again.
  if (input_ended_) return;
  if (unfinished_since_ms_ >= 0) {
    // The bytes of an unfinished key count as they are once their time is up (see pump_keys).
    set.wake_within((unfinished_since_ms_ + kRestOfKeyWaitMs - monotonic_ms()) * 1'000'000);
  } else if (start_ != end_ && key_input_ != KeyInput::kLines) {
    // Bytes not yet looked at: the next _kbhit decodes them. Lines are looked for by line_ready,
    // which leaves only a line's unfinished start here: new input is what moves it on.
    set.wake_now();
    return;
  }
  set.add(input_fd_);
}

}  // namespace serial
