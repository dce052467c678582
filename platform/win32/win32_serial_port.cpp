// The serial port of the Windows build: each operation is the Win32 call of the same name.
//
// Overlapped transfers: the caller's serial::OVERLAPPED only names a transfer. The native
// ::OVERLAPPED that Windows writes into while the transfer runs lives in the port, one for a write
// and one for a read, so it outlives every call that polls it. A new transfer never reuses a record
// that Windows still owns: it is refused until the running one has finished.
//
// Windows does not tell what a running read holds so far. Under the interval timeout a read is
// therefore run in pieces: a poll that finds the current piece running for a while cancels it
// (CancelIoEx), takes the bytes it completes with and starts the next piece on the rest of the
// buffer. Bytes that come in between wait in the driver's queue for the next piece. A piece's own
// interval timer starts only with its first byte, so once earlier pieces hold bytes the port ends
// the read itself when a piece stays empty past the interval after the last poll that saw bytes.
//
// A device that went away (a USB adapter pulled out) leaves the handle open, and every call on
// it fails from then on. The port tells that from a call refused on a port that stays by asking
// the driver for the line's status (ClearCommError), which a present device always answers: on
// the first look for the device after any failed call, and otherwise once kLookUs have passed
// since the last time it asked, so a loop that calls nothing that fails still learns of it soon.

// Project headers first: <windows.h> defines macros with the names of the port constants, so
// below it the code uses only the native names and types.
#include "restore_registry.h"
#include "win32_platform.h"

#include <windows.h>

#include <cstdint>

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

// How a driver fails a call for a device that went away: a removed device's pending delete or
// unknown device (ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND), a device that refuses every request
// in its state (ERROR_BAD_COMMAND), a failed request (ERROR_GEN_FAILURE), I/O aborted by the
// removal (ERROR_OPERATION_ABORTED), a handle whose device object is gone (ERROR_INVALID_HANDLE),
// the removal itself (ERROR_DEVICE_REMOVED, ERROR_DEVICE_NOT_CONNECTED, ERROR_DEV_NOT_EXIST); and
// Wine's hung-up terminal, whose status requests fail with ERROR_NOT_READY and whose reads end
// with ERROR_BROKEN_PIPE. Only a status request that fails so says the device is gone.
bool is_removal_error(::DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_INVALID_HANDLE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
      return true;
    default:
      return false;
  }
}

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
    if (found_timeouts_read_) take_timeouts(found_timeouts_);
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
    return succeeded(::SetCommState(handle_, &native));
  }

  bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override {
    if (!is_open()) return false;
    ::COMMTIMEOUTS native;
    native.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    native.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    native.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    native.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    native.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    if (!succeeded(::SetCommTimeouts(handle_, &native))) return false;
    take_timeouts(native);
    return true;
  }

  bool EscapeCommFunction(std::uint32_t function) override {
    // The tools' codes are the Win32 values.
    return is_open() && succeeded(::EscapeCommFunction(handle_, function));
  }

  bool GetCommModemStatus(std::uint32_t& status) override {
    ::DWORD native = 0;
    bool ok = is_open() && succeeded(::GetCommModemStatus(handle_, &native));
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
    if (transfer == &read_) return read_result(transferred, wait);
    ::DWORD count = 0;
    if (!::GetOverlappedResult(handle_, &transfer->native, &count, wait ? TRUE : FALSE)) {
      // Still running, or ended in error; an error stays "running" for good, as callers expect.
      if (::GetLastError() != ERROR_IO_INCOMPLETE) fail(*transfer);
      return false;
    }
    transfer->state = TransferState::kFinished;
    transferred = count;
    return true;
  }

  bool counts_running_reads() override { return read_in_pieces_; }

  PortPresence presence() override {
    if (gone_) return PortPresence::kGone;
    if (!is_open()) return PortPresence::kHere;
    std::int64_t now = now_us();
    if (!failed_since_look_ && now - looked_us_ < kLookUs) return PortPresence::kHere;
    failed_since_look_ = false;
    looked_us_ = now;
    ::DWORD errors = 0;
    ::COMSTAT status;
    // The line's error flags it clears are read by no tool; a driver that aborts transfers on a
    // line error takes them again only once they are cleared.
    gone_ = !::ClearCommError(handle_, &errors, &status) && is_removal_error(::GetLastError());
    return gone_ ? PortPresence::kGone : PortPresence::kHere;
  }

  void add_wait(WaitSet& set) override {
    // A transfer seen finished signals for good: only running ones can bring news.
    if (write_.state == TransferState::kRunning)
      set.add(reinterpret_cast<std::intptr_t>(write_.event));
    if (read_.state != TransferState::kRunning) return;
    set.add(reinterpret_cast<std::intptr_t>(read_.event));
    // The end of a read whose bytes came in earlier pieces is the port's own deadline.
    if (read_.done > 0 && read_in_pieces_)
      set.wake_within((read_.bytes_seen_us + read_interval_us() - now_us() + 1000) * 1000);
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
    // Reads: the caller's buffer, the bytes that finished pieces put into it, when the current
    // piece started, when a poll last found bytes, and whether the piece is being cancelled.
    std::uint8_t* buffer = nullptr;
    ::DWORD length = 0;
    ::DWORD done = 0;
    std::int64_t piece_started_us = 0;
    std::int64_t bytes_seen_us = 0;
    bool cancelling = false;
  };

  // A piece running this long is cut at the next poll, so what a poll tells is never older.
  static constexpr std::int64_t kPieceUs = 20'000;
  // The longest a poll waits for a cancelled piece to complete; Wine takes about 0.1 ms.
  static constexpr ::DWORD kCancelWaitMs = 5;

  // Whether the device may be gone is asked this often when no call failed in between.
  static constexpr std::int64_t kLookUs = 100'000;

  bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }

  // A native call's result. A call that failed, other than by still running, makes the next
  // presence() ask whether the device is still there.
  bool succeeded(BOOL ok) {
    if (!ok && ::GetLastError() != ERROR_IO_PENDING && ::GetLastError() != ERROR_IO_INCOMPLETE)
      failed_since_look_ = true;
    return ok != 0;
  }

  void fail(Transfer& transfer) {
    transfer.state = TransferState::kFailed;
    failed_since_look_ = true;
  }

  PortChanges changes() const {
    return {handle_, found_state_, found_state_read_, found_timeouts_, found_timeouts_read_};
  }

  bool read_native_state(::DCB& native) {
    if (!is_open()) return false;
    native = ::DCB{};
    native.DCBlength = sizeof native;
    return succeeded(::GetCommState(handle_, &native));
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
    transfer.caller = caller;
    transfer.buffer = static_cast<std::uint8_t*>(buffer);
    transfer.length = length;
    transfer.done = 0;
    transfer.bytes_seen_us = 0;
    if (!start_piece(transfer, is_write)) {
      // Never started: polls report it as running and it is never restarted by a poller.
      if (::GetLastError() != ERROR_IO_PENDING) fail(transfer);
      return false;
    }
    transfer.state = TransferState::kFinished;
    transfer.done = static_cast<::DWORD>(transfer.native.InternalHigh);
    if (count) *count = transfer.done;
    return true;
  }

  // Starts the transfer's next native operation on the rest of its buffer. True when it finished
  // at once; false with ERROR_IO_PENDING while it runs, or with the error that refused it.
  bool start_piece(Transfer& transfer, bool is_write) {
    transfer.native = ::OVERLAPPED{};
    transfer.native.Offset = transfer.caller->Offset;
    transfer.native.OffsetHigh = transfer.caller->OffsetHigh;
    transfer.native.hEvent = transfer.event;
    transfer.state = TransferState::kRunning;
    transfer.cancelling = false;
    transfer.piece_started_us = now_us();
    std::uint8_t* rest = transfer.buffer + transfer.done;
    ::DWORD rest_length = transfer.length - transfer.done;
    ::DWORD done = 0;
    BOOL ok = is_write ? ::WriteFile(handle_, rest, rest_length, &done, &transfer.native)
                       : ::ReadFile(handle_, rest, rest_length, &done, &transfer.native);
    if (ok) transfer.native.InternalHigh = done;
    return ok != 0;
  }

  // GetOverlappedResult of the read: moves its pieces on; blocks only with `wait`.
  bool read_result(std::uint32_t& transferred, bool wait) {
    Transfer& read = read_;
    // A finished read gives the same count to every poll until the next one starts.
    for (int step = 0; read.state == TransferState::kRunning && (wait || step < 4); ++step) {
      if (!HasOverlappedIoCompleted(&read.native)) {
        std::int64_t now = now_us();
        bool idle_past_interval =
            read_in_pieces_ && read.done > 0 && now - read.bytes_seen_us > read_interval_us();
        bool piece_due = read_in_pieces_ && !wait && now - read.piece_started_us >= kPieceUs;
        if (!read.cancelling && (idle_past_interval || piece_due)) {
          read.cancelling = true;
          ::CancelIoEx(handle_, &read.native);
          if (!HasOverlappedIoCompleted(&read.native))
            ::WaitForSingleObject(read.event, kCancelWaitMs);
        } else if (wait) {
          ::DWORD timeout = INFINITE;
          if (read_in_pieces_ && read.done > 0 && !read.cancelling) {
            std::int64_t left = read.bytes_seen_us + read_interval_us() - now;
            timeout = left > 0 ? static_cast<::DWORD>(left / 1000 + 1) : 0;
          }
          ::WaitForSingleObject(read.event, timeout);
          continue;
        }
        if (!HasOverlappedIoCompleted(&read.native)) break;
      }
      ::DWORD count = 0;
      if (::GetOverlappedResult(handle_, &read.native, &count, FALSE)) {
        // Full, or ended short by the interval timeout after bytes of its own.
        read.done += count;
        read.state = TransferState::kFinished;
        break;
      }
      if (::GetLastError() != ERROR_OPERATION_ABORTED || !read.cancelling) {
        fail(read);  // an error looks like a read still running
        return false;
      }
      // Cut by a poll: its bytes count, the rest of the buffer goes on in the next piece.
      read.done += count;
      std::int64_t now = now_us();
      if (count > 0) read.bytes_seen_us = now;
      if (read.done > 0 && count == 0 && now - read.bytes_seen_us > read_interval_us()) {
        read.state = TransferState::kFinished;
        break;
      }
      if (start_piece(read, /*is_write=*/false)) {
        read.done += static_cast<::DWORD>(read.native.InternalHigh);
        read.state = TransferState::kFinished;
      } else if (::GetLastError() != ERROR_IO_PENDING) {
        fail(read);
        return false;
      }
    }
    if (read.state != TransferState::kFinished) {
      transferred = read_in_pieces_ ? read.done : 0;
      return false;
    }
    transferred = read.done;
    return true;
  }

  // Reads run in pieces only under the interval timeout alone: total timeouts would start anew
  // with every piece, and without an interval a piece never needs to end early.
  void take_timeouts(const ::COMMTIMEOUTS& timeouts) {
    read_interval_ms_ = timeouts.ReadIntervalTimeout;
    read_in_pieces_ =
        timeouts.ReadIntervalTimeout > 0 && timeouts.ReadIntervalTimeout != MAXDWORD &&
        timeouts.ReadTotalTimeoutMultiplier == 0 && timeouts.ReadTotalTimeoutConstant == 0;
  }

  std::int64_t read_interval_us() const {
    return static_cast<std::int64_t>(read_interval_ms_) * 1000;
  }

  std::int64_t now_us() const {
    ::LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart / ticks_per_second_ * 1'000'000 +
           now.QuadPart % ticks_per_second_ * 1'000'000 / ticks_per_second_;
  }

  // A transfer without an OVERLAPPED. On a handle opened for overlapped use Windows requires a
  // record even then, so a private one is used and waited for.
  bool transfer_and_wait(void* buffer, std::uint32_t length, std::uint32_t* count, bool is_write) {
    ::DWORD done = 0;
    if (!overlapped_handle_) {
      BOOL ok = is_write ? ::WriteFile(handle_, buffer, length, &done, nullptr)
                         : ::ReadFile(handle_, buffer, length, &done, nullptr);
      if (count) *count = done;
      return succeeded(ok);
    }
    ::OVERLAPPED native{};
    native.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!native.hEvent) return false;
    BOOL ok = is_write ? ::WriteFile(handle_, buffer, length, nullptr, &native)
                       : ::ReadFile(handle_, buffer, length, nullptr, &native);
    if (ok || ::GetLastError() == ERROR_IO_PENDING) {
      ok = ::GetOverlappedResult(handle_, &native, &done, TRUE);
    }
    succeeded(ok);
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
  ::DWORD read_interval_ms_ = 0;
  bool read_in_pieces_ = false;
  bool failed_since_look_ = false;
  std::int64_t looked_us_ = 0;
  bool gone_ = false;
  std::int64_t ticks_per_second_ = [] {
    ::LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
  }();
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
