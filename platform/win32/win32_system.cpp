// Project headers first: <windows.h> defines macros with the names of the port constants.
#include "launch.h"
#include "win32_platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>

namespace serial {
namespace {

const ::DWORD kStandardHandles[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

// A handle that names an open object. A parent may pass none, or a value that is not open here
// and that a later CreateFileA could hand out again, to the port.
bool names_an_object(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  ::SetLastError(NO_ERROR);
  return ::GetFileType(handle) != FILE_TYPE_UNKNOWN || ::GetLastError() == NO_ERROR;
}

bool is_console(HANDLE handle) {
  ::DWORD mode = 0;
  return names_an_object(handle) && ::GetConsoleMode(handle, &mode);
}

bool same_file(HANDLE first, HANDLE second) {
  ::BY_HANDLE_FILE_INFORMATION a;
  ::BY_HANDLE_FILE_INFORMATION b;
  return ::GetFileInformationByHandle(first, &a) && ::GetFileInformationByHandle(second, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

class Win32System final : public System {
  static constexpr std::int64_t kLongestWaitMs = 1000;

 public:
  Win32System() : console_(win32::make_console()) { win32::undo_on_console_events(); }

  std::unique_ptr<SerialPort> CreateFileA(const char* device_name, std::uint32_t access,
                                          std::uint32_t flags) override {
    return win32::open_port(device_name, access, flags);
  }

  Console& console() override { return *console_; }

  void wait_for_events(SerialPort& port, long timeout_ms) override {
    WaitSet set;
    port.add_wait(set);
    console_->add_wait(set);
    // Whole milliseconds, rounded up so that a deadline is never woken for too early.
    std::int64_t within_ns = set.within_ns();
    std::int64_t wait_ms =
        within_ns == WaitSet::kNoDeadline ? -1 : (within_ns + 999'999) / 1'000'000;
    if (timeout_ms >= 0 && (wait_ms < 0 || timeout_ms < wait_ms)) wait_ms = timeout_ms;
    if (wait_ms == 0) return;
    // Bounded even when nothing can come: the caller then simply makes its next pass.
    if (wait_ms < 0 || wait_ms > kLongestWaitMs) wait_ms = kLongestWaitMs;

    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    ::DWORD count = 0;
    for (int i = 0; i < set.count(); ++i) {
      HANDLE handle = reinterpret_cast<HANDLE>(set.handle(i).handle);
      if (handle == nullptr || handle == INVALID_HANDLE_VALUE) continue;
      bool known = false;
      for (::DWORD j = 0; j < count; ++j)
        known |= handles[j] == handle;  // Windows refuses a handle listed twice
      if (known) continue;
      if (count == MAXIMUM_WAIT_OBJECTS) {
        wait_ms = 1;  // the rest are not watched: look again soon
        break;
      }
      handles[count++] = handle;
    }
    ::DWORD timeout = static_cast<::DWORD>(wait_ms);
    if (count == 0) {
      ::Sleep(timeout);
    } else if (::WaitForMultipleObjects(count, handles, FALSE, timeout) == WAIT_FAILED) {
      ::Sleep(1);  // a handle that cannot be waited on must not make the loop spin
    }
  }

  // COM10 and up exist only in the device namespace: COMn in any case names \\.\COMn.
  PortNaming port_naming() override { return {true, nullptr}; }
  PortListing list_ports(const PortNeeds& needs) override { return win32::list_ports(needs); }

 private:
  std::unique_ptr<Console> console_;
};

}  // namespace

bool guard_standard_streams() {
  for (int fd = 0; fd < 3; ++fd) {
    if (names_an_object(::GetStdHandle(kStandardHandles[fd]))) continue;
    // The C runtime's descriptor too, which printf and getchar use.
    int null_device = ::_open("NUL", _O_RDWR | _O_BINARY);
    if (null_device < 0) return false;
    bool moved = null_device == fd || ::_dup2(null_device, fd) == 0;
    if (null_device != fd) ::_close(null_device);
    if (!moved) return false;
    ::SetStdHandle(kStandardHandles[fd], reinterpret_cast<HANDLE>(::_get_osfhandle(fd)));
  }
  return true;
}

bool standard_error_joins_output() {
  HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE errors = ::GetStdHandle(STD_ERROR_HANDLE);
  if (is_console(output) || is_console(errors)) return is_console(output) && is_console(errors);
  if (::GetFileType(output) == FILE_TYPE_DISK && ::GetFileType(errors) == FILE_TYPE_DISK)
    return same_file(output, errors);
  // Two pipes cannot be told apart from here; a note on a fresh line costs a separate log at
  // most an empty line, a note glued to a prompt garbles a shared one.
  return ::GetFileType(output) == ::GetFileType(errors);
}

bool typed_lines_echo_on_output() {
  // The console echoes a line typed at it onto its own screen.
  return is_console(::GetStdHandle(STD_INPUT_HANDLE)) &&
         is_console(::GetStdHandle(STD_OUTPUT_HANDLE));
}

System& native_system() {
  static Win32System system;
  return system;
}

}  // namespace serial
