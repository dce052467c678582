#include "pty_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix_port.h"
#include "termios2_rate.h"

namespace ptytest {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void set_flags(int fd, int status_flags) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | status_flags);
  fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Writes to a child that already quit must fail the write, not kill the test.
void ignore_broken_pipes_once() {
  static bool done = false;
  if (!done) {
    signal(SIGPIPE, SIG_IGN);
    done = true;
  }
}

}  // namespace

PtyPair::PtyPair() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << std::strerror(errno);
    return;
  }
  set_flags(master_, O_NONBLOCK);
  set_flags(slave_, 0);
  slave_path_ = name;
  char directory[] = "/tmp/pty_port_XXXXXX";
  if (mkdtemp(directory) != nullptr) {
    directory_ = directory;
    link_path_ = directory_ + "/port";
    if (symlink(slave_path_.c_str(), link_path_.c_str()) != 0) link_path_ = slave_path_;
  } else {
    link_path_ = slave_path_;
  }
}

PtyPair::~PtyPair() {
  if (!directory_.empty()) {
    unlink((directory_ + "/port").c_str());
    rmdir(directory_.c_str());
  }
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

std::vector<std::uint8_t> PtyPair::read_master(std::size_t count, milliseconds deadline) {
  std::vector<std::uint8_t> bytes;
  auto end = Clock::now() + deadline;
  while (bytes.size() < count) {
    pollfd watch{master_, POLLIN, 0};
    if (poll(&watch, 1, remaining_ms(end)) <= 0) break;
    std::uint8_t chunk[4096];
    ssize_t got = read(master_, chunk, std::min(sizeof chunk, count - bytes.size()));
    if (got > 0) {
      bytes.insert(bytes.end(), chunk, chunk + got);
    } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    } else {
      break;
    }
  }
  return bytes;
}

std::vector<std::uint8_t> PtyPair::drain_master(milliseconds quiet) {
  std::vector<std::uint8_t> bytes;
  for (;;) {
    pollfd watch{master_, POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(quiet.count())) <= 0) break;
    std::uint8_t chunk[4096];
    ssize_t got = read(master_, chunk, sizeof chunk);
    if (got > 0) {
      bytes.insert(bytes.end(), chunk, chunk + got);
    } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    } else {
      break;
    }
  }
  return bytes;
}

void PtyPair::write_master(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t count = write(master_, bytes.data() + done, bytes.size() - done);
    if (count > 0) {
      done += static_cast<std::size_t>(count);
    } else if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd watch{master_, POLLOUT, 0};
      poll(&watch, 1, 100);
    } else {
      ADD_FAILURE() << "write to pty master: " << std::strerror(errno);
      return;
    }
  }
}

void PtyPair::close_master() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

termios PtyPair::master_settings() const {
  termios settings{};
  if (tcgetattr(master_, &settings) != 0) ADD_FAILURE() << "tcgetattr on pty master";
  return settings;
}

std::uint32_t PtyPair::master_rate() const {
  std::uint32_t rate = 0;
  if (serial::read_termios2_rate(master_, rate)) return rate;
  // Without termios2 (qemu-user) the rate can only be one of the standard codes.
  if (errno != ENOSYS) ADD_FAILURE() << "TCGETS2 on pty master: " << std::strerror(errno);
  const termios settings = master_settings();
  return serial::standard_rate_baud(cfgetospeed(&settings));
}

std::string no_termios2() {
  PtyPair pty;
  std::uint32_t rate = 0;
  if (serial::read_termios2_rate(pty.master(), rate) || errno != ENOSYS) return "";
  return "qemu-user: TCGETS2 fails with ENOSYS, so no rate outside the standard codes";
}

std::string rate_code_lost(speed_t code) {
  PtyPair pty;
  termios settings = pty.master_settings();
  cfsetospeed(&settings, code);
  if (tcsetattr(pty.master(), TCSANOW, &settings) == 0) {
    settings = pty.master_settings();
    if (cfgetospeed(&settings) == code) return "";
  }
  return "qemu-user: the standard rate code of " +
         std::to_string(serial::standard_rate_baud(code)) + " baud does not pass through tcsetattr";
}

void PtyPair::set_line(speed_t rate, bool two_stop_bits) {
  termios settings = master_settings();
  cfsetispeed(&settings, rate);
  cfsetospeed(&settings, rate);
  if (two_stop_bits) {
    settings.c_cflag |= CSTOPB;
  } else {
    settings.c_cflag &= ~CSTOPB;
  }
  if (tcsetattr(master_, TCSANOW, &settings) != 0) ADD_FAILURE() << "tcsetattr on pty master";
}

ToolProcess::ToolProcess(const std::string& binary, const std::vector<std::string>& args,
                         int stdin_fd, int closed_fd, bool output_to_stdin_fd) {
  ignore_broken_pipes_once();
  int input[2] = {-1, -1};
  int output[2];
  int errors[2];
  if ((stdin_fd < 0 && pipe2(input, O_CLOEXEC) != 0) || pipe2(output, O_CLOEXEC) != 0 ||
      pipe2(errors, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(stdin_fd >= 0 ? stdin_fd : input[0], STDIN_FILENO);
    bool on_terminal = output_to_stdin_fd && stdin_fd >= 0;
    dup2(on_terminal ? stdin_fd : output[1], STDOUT_FILENO);
    dup2(on_terminal ? stdin_fd : errors[1], STDERR_FILENO);
    if (closed_fd >= 0) close(closed_fd);
    for (int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP}) {
      signal(signal_number, SIG_DFL);
    }
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  if (input[0] >= 0) close(input[0]);
  close(output[1]);
  close(errors[1]);
  stdin_pipe_ = input[1];
  stdout_pipe_ = output[0];
  stderr_pipe_ = errors[0];
  if (pid_ < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {stdin_pipe_, stdout_pipe_, stderr_pipe_}) {
    if (fd >= 0) close(fd);
  }
}

void ToolProcess::write_stdin(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size() && stdin_pipe_ >= 0) {
    ssize_t count = write(stdin_pipe_, text.data() + done, text.size() - done);
    if (count > 0) {
      done += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else if (count < 0 && errno == EPIPE) {
      // The program has ended, or closed its input, before reading this: what it did is
      // what the test then checks.
      return;
    } else {
      ADD_FAILURE() << "write to child stdin: " << std::strerror(errno);
      return;
    }
  }
}

void ToolProcess::close_stdin() {
  if (stdin_pipe_ >= 0) close(stdin_pipe_);
  stdin_pipe_ = -1;
}

void ToolProcess::send_signal(int signal_number) {
  if (pid_ > 0 && !reaped_) kill(pid_, signal_number);
}

void ToolProcess::collect(milliseconds wait) {
  pollfd watch[2] = {{stdout_pipe_, POLLIN, 0}, {stderr_pipe_, POLLIN, 0}};
  if (stdout_pipe_ < 0 && stderr_pipe_ < 0) return;
  if (poll(watch, 2, static_cast<int>(wait.count())) <= 0) return;
  int* pipes[2] = {&stdout_pipe_, &stderr_pipe_};
  std::string* texts[2] = {&stdout_text_, &stderr_text_};
  for (int i = 0; i < 2; ++i) {
    if (*pipes[i] < 0 || watch[i].revents == 0) continue;
    char chunk[4096];
    ssize_t got = read(*pipes[i], chunk, sizeof chunk);
    if (got > 0) {
      texts[i]->append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      close(*pipes[i]);
      *pipes[i] = -1;
    }
  }
}

bool ToolProcess::wait_for_output(const std::string& text, milliseconds deadline) {
  auto end = Clock::now() + deadline;
  while (stdout_text_.find(text) == std::string::npos) {
    if (Clock::now() >= end || (stdout_pipe_ < 0 && stderr_pipe_ < 0)) return false;
    collect(milliseconds(std::max(1, std::min(remaining_ms(end), 20))));
  }
  return true;
}

ExitResult ToolProcess::wait_exit(milliseconds timeout) {
  ExitResult result;
  if (pid_ <= 0) return result;
  auto end = Clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (Clock::now() >= end) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      reaped_ = true;
      return result;
    }
    collect(milliseconds(10));
    if (stdout_pipe_ < 0 && stderr_pipe_ < 0) usleep(5000);
  }
  reaped_ = true;
  // The output the process left in the pipes before it ended.
  while (stdout_pipe_ >= 0 || stderr_pipe_ >= 0) {
    std::size_t before = stdout_text_.size() + stderr_text_.size();
    collect(milliseconds(200));
    if (stdout_text_.size() + stderr_text_.size() == before && Clock::now() >= end) break;
  }
  result.finished = true;
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signaled = true;
    result.signal_number = WTERMSIG(status);
  }
  return result;
}

LockHolder::LockHolder(const std::string& path) {
  int ready[2];
  int release[2];
  if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(release, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    close(ready[0]);
    close(release[1]);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    char answer = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'L' : 'F';
    if (write(ready[1], &answer, 1) != 1) _exit(1);
    char ignored;
    while (read(release[0], &ignored, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  release_pipe_ = release[1];
  char answer = 'F';
  if (pid_ > 0 && read(ready[0], &answer, 1) == 1) holding_ = answer == 'L';
  close(ready[0]);
  if (!holding_) ADD_FAILURE() << "could not lock " << path;
}

LockHolder::~LockHolder() {
  if (release_pipe_ >= 0) close(release_pipe_);
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char item[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(item, sizeof item, "%s%02X", text.empty() ? "" : " ", byte);
    text += item;
  }
  return text;
}

::testing::AssertionResult exited_with(const ExitResult& result, int status) {
  if (!result.finished) return ::testing::AssertionFailure() << "still running at the deadline";
  if (!result.exited)
    return ::testing::AssertionFailure() << "ended by signal " << result.signal_number;
  if (result.exit_status != status)
    return ::testing::AssertionFailure() << "exit status " << result.exit_status;
  return ::testing::AssertionSuccess();
}

}  // namespace ptytest
