// The serial port of the Windows build: each operation is the Win32 call of the same name.
//
// Overlapped transfers: the caller's serial::OVERLAPPED only names a transfer. The native
// ::OVERLAPPED that Windows writes into while the transfer runs lives in the port, one for a write
// and one for a read, so it outlives every call that polls it. A new transfer never reuses a record
// that Windows still owns: it is refused until the running one has finished.

// Project headers first: <windows.h> defines macros with the names of the port constants, so
// below it the code uses only the native names and types.
#include "restore_registry.h"
#include "win32_platform.h"

#include <windows.h>

namespace serial {
namespace win32 {
namespace {

// What the program changes on a port, for its undo (see restore_registry.h): the settings and
// timeouts it was found with.
struct PortChanges {
  HANDLE handle;
  ::DCB found_state;
  bool found_state_read;
  ::COMMTIMEOUTS found_timeouts;
  bool found_timeouts_read;
};

void undo_port_changes(const void* state, restore::Way way) {
  // A copy: the Win32 calls take their settings by non-const pointer.
  PortChanges changes = *static_cast<const PortChanges*>(state);
  if (way == restore::Way::kEnding) {
    // Ended without its close (a console event, on a thread of its own): a write the program
    // still waits in lets the handle go, and what waits for the line is dropped, as a kill drops
    // it on Linux.
    ::CancelIoEx(changes.handle, nullptr);
    ::PurgeComm(changes.handle, PURGE_TXABORT | PURGE_TXCLEAR);
  }
  if (changes.found_state_read) ::SetCommState(changes.handle, &changes.found_state);
  if (changes.found_timeouts_read) ::SetCommTimeouts(changes.handle, &changes.found_timeouts);
}

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort(HANDLE handle, bool overlapped_handle)
      : handle_(handle), overlapped_handle_(overlapped_handle) {
    // Events per record rather than the port handle's own signal, which cannot tell a finished
    // read from a finished write.
    write_.event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    read_.event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // The port as it was found, given back at the close.
    found_state_read_ = read_native_state(found_state_);
    found_timeouts_read_ = ::GetCommTimeouts(handle_, &found_timeouts_) != 0;
    changes_ = restore::add(undo_port_changes, changes());
  }

  ~Win32SerialPort() override { CloseHandle(); }

  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  bool GetCommState(DCB& dcb) override {
    ::DCB native;
    if (!read_native_state(native)) return false;
    dcb.BaudRate = native.BaudRate;
    dcb.ByteSize = native.ByteSize;
    dcb.Parity = native.Parity;
    dcb.StopBits = native.StopBits;
    return true;
  }

  bool SetCommState(const DCB& dcb) override {
    // Flow control, special characters and the rest stay exactly as the driver reports them.
    ::DCB native;
    if (!read_native_state(native)) return false;
    native.BaudRate = dcb.BaudRate;
    native.ByteSize = dcb.ByteSize;
    native.Parity = dcb.Parity;
    native.StopBits = dcb.StopBits;
    return ::SetCommState(handle_, &native) != 0;
  }

  bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override {
    if (!is_open()) return false;
    ::COMMTIMEOUTS native;
    native.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    native.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    native.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    native.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    native.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    return ::SetCommTimeouts(handle_, &native) != 0;
  }

  bool EscapeCommFunction(std::uint32_t function) override {
    // The tools' codes are the Win32 values.
    return is_open() && ::EscapeCommFunction(handle_, function) != 0;
  }

  bool GetCommModemStatus(std::uint32_t& status) override {
    ::DWORD native = 0;
    bool ok = is_open() && ::GetCommModemStatus(handle_, &native) != 0;
    status = ok ? native : 0;  // no line reads as asserted when the driver cannot tell
    return ok;
  }

  bool WriteFile(const void* buffer, std::uint32_t length, std::uint32_t* written,
                 OVERLAPPED* overlapped) override {
    if (written) *written = 0;
    if (!is_open()) return false;
    if (overlapped)
      return start_transfer(write_, overlapped, const_cast<void*>(buffer), length, written,
                            /*is_write=*/true);
    return transfer_and_wait(const_cast<void*>(buffer), length, written, /*is_write=*/true);
  }

  bool ReadFile(void* buffer, std::uint32_t length, std::uint32_t* received,
                OVERLAPPED* overlapped) override {
    if (received) *received = 0;
    if (!is_open()) return false;
    if (overlapped)
      return start_transfer(read_, overlapped, buffer, length, received,
                            /*is_write=*/false);
    return transfer_and_wait(buffer, length, received, /*is_write=*/false);
  }

  bool GetOverlappedResult(OVERLAPPED& overlapped, std::uint32_t& transferred, bool wait) override {
    Transfer* transfer = find_transfer(&overlapped);
    if (!transfer || !is_open() || transfer->state == TransferState::kFailed) return false;
    ::DWORD count = 0;
    if (!::GetOverlappedResult(handle_, &transfer->native, &count, wait ? TRUE : FALSE)) {
      // Still running, or ended in error; an error stays "running" for good, as callers expect.
      // Windows does not tell what a running read holds so far.
      if (::GetLastError() != ERROR_IO_INCOMPLETE) {
        transfer->state = TransferState::kFailed;
      } else if (transfer == &read_) {
        transferred = 0;
      }
      return false;
    }
    transfer->state = TransferState::kFinished;
    transferred = count;
    return true;
  }

  void CloseHandle() override {
    if (is_open()) {
      bool running = is_running(write_) || is_running(read_);
      if (running) {
        // Abandon what is still queued, then let Windows finish with the records and buffers
        // before they can go away with this object.
        ::CancelIoEx(handle_, nullptr);
        ::PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        wait_until_released(write_);
        wait_until_released(read_);
      }
      // The port gets back the settings and timeouts it was found with, for the next program or
      // a console on it. A synchronous write has handed its bytes over by now; what the UART
      // still holds is not purged, so a burst written just before the end reaches the line.
      if (changes_ != restore::kNoEntry) {
        restore::undo_and_remove(changes_);
      } else {
        PortChanges own = changes();
        undo_port_changes(&own, restore::Way::kClose);
      }
      changes_ = restore::kNoEntry;
      ::CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
    close_event(write_);
    close_event(read_);
  }

 private:
  enum class TransferState { kIdle, kRunning, kFinished, kFailed };

  struct Transfer {
    ::OVERLAPPED native{};
    HANDLE event = nullptr;
    const OVERLAPPED* caller = nullptr;
    TransferState state = TransferState::kIdle;
  };

  bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }

  PortChanges changes() const {
    return {handle_, found_state_, found_state_read_, found_timeouts_, found_timeouts_read_};
  }

  bool read_native_state(::DCB& native) {
    if (!is_open()) return false;
    native = ::DCB{};
    native.DCBlength = sizeof native;
    return ::GetCommState(handle_, &native) != 0;
  }

  static bool is_running(const Transfer& transfer) {
    return transfer.state == TransferState::kRunning && !HasOverlappedIoCompleted(&transfer.native);
  }

  Transfer* find_transfer(const OVERLAPPED* caller) {
    if (write_.caller == caller && write_.state != TransferState::kIdle) return &write_;
    if (read_.caller == caller && read_.state != TransferState::kIdle) return &read_;
    return nullptr;
  }

  bool start_transfer(Transfer& transfer, OVERLAPPED* caller, void* buffer, std::uint32_t length,
                      std::uint32_t* count, bool is_write) {
    if (is_running(transfer)) {
      ::SetLastError(ERROR_BUSY);
      return false;
    }
    transfer.native = ::OVERLAPPED{};
    transfer.native.Offset = caller->Offset;
    transfer.native.OffsetHigh = caller->OffsetHigh;
    transfer.native.hEvent = transfer.event;
    transfer.caller = caller;
    transfer.state = TransferState::kRunning;
    ::DWORD done = 0;
    BOOL ok = is_write ? ::WriteFile(handle_, buffer, length, &done, &transfer.native)
                       : ::ReadFile(handle_, buffer, length, &done, &transfer.native);
    if (ok) {
      if (count) *count = done;
      return true;
    }
    if (::GetLastError() == ERROR_IO_PENDING) return false;
    // Never started: polls report it as running and it is never restarted by a poller.
    transfer.state = TransferState::kFailed;
    return false;
  }

  // A transfer without an OVERLAPPED. On a handle opened for overlapped use Windows requires a
  // record even then, so a private one is used and waited for.
  bool transfer_and_wait(void* buffer, std::uint32_t length, std::uint32_t* count, bool is_write) {
    ::DWORD done = 0;
    if (!overlapped_handle_) {
      BOOL ok = is_write ? ::WriteFile(handle_, buffer, length, &done, nullptr)
                         : ::ReadFile(handle_, buffer, length, &done, nullptr);
      if (count) *count = done;
      return ok != 0;
    }
    ::OVERLAPPED native{};
    native.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!native.hEvent) return false;
    BOOL ok = is_write ? ::WriteFile(handle_, buffer, length, nullptr, &native)
                       : ::ReadFile(handle_, buffer, length, nullptr, &native);
    if (ok || ::GetLastError() == ERROR_IO_PENDING) {
      ok = ::GetOverlappedResult(handle_, &native, &done, TRUE);
    }
    ::CloseHandle(native.hEvent);
    if (count) *count = done;
    return ok != 0;
  }

  void wait_until_released(Transfer& transfer) {
    if (transfer.state != TransferState::kRunning) return;
    ::DWORD ignored = 0;
    ::GetOverlappedResult(handle_, &transfer.native, &ignored, TRUE);
    transfer.state = TransferState::kIdle;
  }

  static void close_event(Transfer& transfer) {
    if (transfer.event) ::CloseHandle(transfer.event);
    transfer.event = nullptr;
  }

  HANDLE handle_;
  bool overlapped_handle_;
  ::DCB found_state_{};
  bool found_state_read_ = false;
  ::COMMTIMEOUTS found_timeouts_{};
  bool found_timeouts_read_ = false;
  restore::Entry changes_ = restore::kNoEntry;
  Transfer write_;
  Transfer read_;
};

// Wine answers GetCommState and SetCommState only on a handle that may read, where Windows asks
// no access for them; a write-only tool would end with "settings not read" there.
bool running_under_wine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace

std::unique_ptr<SerialPort> open_port(const char* device_name, std::uint32_t access,
                                      std::uint32_t flags) {
  if (running_under_wine()) access |= GENERIC_READ;
  HANDLE handle = ::CreateFileA(device_name, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  bool overlapped_handle = (flags & FILE_FLAG_OVERLAPPED) != 0;
  return std::make_unique<Win32SerialPort>(handle, overlapped_handle);
}

}  // namespace win32
}  // namespace serial
