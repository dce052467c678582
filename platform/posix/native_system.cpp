#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "launch.h"
#include "posix_console.h"
#include "posix_port.h"
#include "posix_port_list.h"

namespace serial {
namespace {

bool path_exists(const char* path) {
  struct stat status {};
  return stat(path, &status) == 0;
}

// Linux opens every port for reading and writing in non-blocking mode, whatever the access and
// flags: the port layer itself gives each call its Win32 behaviour.
class NativeSystem : public System {
 public:
  std::unique_ptr<SerialPort> CreateFileA(const char* device_name, std::uint32_t,
                                          std::uint32_t) override {
    return open_posix_port(device_name);
  }
  Console& console() override { return console_; }
  // A bare name such as ttyUSB0 names /dev/ttyUSB0 when that exists.
  PortNaming port_naming() override { return {false, path_exists}; }
  PortListing list_ports(const PortNeeds& needs) override { return list_posix_ports(needs); }
  std::string port_identity(const char* device_name) override {
    return posix_port_identity(device_name);
  }

  void wait_for_events(SerialPort& port, long timeout_ms) override {
    WaitSet set;
    port.add_wait(set);
    console_.add_wait(set);
    if (timeout_ms >= 0) set.wake_within(static_cast<std::int64_t>(timeout_ms) * 1'000'000);
    std::int64_t within_ns = set.within_ns();
    if (within_ns == 0) return;
    pollfd watches[WaitSet::kMaxHandles];
    for (int i = 0; i < set.count(); ++i) {
      const WaitHandle& handle = set.handle(i);
      watches[i] = {static_cast<int>(handle.handle),
                    static_cast<short>(handle.for_output ? POLLOUT : POLLIN), 0};
    }
    // Rounded up: waking a little late keeps a moment, waking early only costs a pass. Nothing at
    // all to wait for would be a program that can never go on; it looks again each minute.
    int poll_ms = 60'000;
    if (within_ns != WaitSet::kNoDeadline && within_ns < 60'000'000'000) {
      poll_ms = static_cast<int>((within_ns + 999'999) / 1'000'000);
    }
    // A signal ends the wait early (EINTR), which the caller takes as one more pass.
    ::poll(watches, static_cast<nfds_t>(set.count()), poll_ms);
  }

 private:
  PosixConsole console_;
};

}  // namespace

bool guard_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open gives the lowest free number, which is this one while the ones below are open.
    int null_device = open("/dev/null", O_RDWR);
    if (null_device < 0) return false;
    if (null_device != fd) {
      bool moved = dup2(null_device, fd) == fd;
      close(null_device);
      if (!moved) return false;
    }
  }
  return true;
}

bool standard_error_joins_output() {
  return same_file(STDOUT_FILENO, STDERR_FILENO);
}

bool typed_lines_echo_on_output() {
  // The terminal echoes a line typed at it onto itself.
  return isatty(STDIN_FILENO) && same_file(STDIN_FILENO, STDOUT_FILENO);
}

System& native_system() {
  static NativeSystem system;
  return system;
}

}  // namespace serial
