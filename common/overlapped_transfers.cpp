#include "overlapped_transfers.h"

namespace serial {
namespace {

constexpr std::uint32_t kReadReturnsAtOnce = 0xFFFFFFFFu;

}  // namespace

void OverlappedTransfers::set_timeouts(const COMMTIMEOUTS& timeouts) {
  read_interval_ms_ = timeouts.ReadIntervalTimeout;
  // As on Windows: an interval of MAXDWORD with no total timeouts returns what has arrived.
  read_returns_at_once_ = timeouts.ReadIntervalTimeout == kReadReturnsAtOnce &&
                          timeouts.ReadTotalTimeoutMultiplier == 0 &&
                          timeouts.ReadTotalTimeoutConstant == 0;
}

bool OverlappedTransfers::start_write(const void* buffer, std::uint32_t length,
                                      std::uint32_t* written, OVERLAPPED* overlapped) {
  // A new write replaces the record of the previous one; the tools start one only after the
  // last has finished.
  write_ = Transfer{};
  write_.overlapped = overlapped;
  write_.buffer = static_cast<std::uint8_t*>(const_cast<void*>(buffer));
  write_.length = length;
  advance_write();
  if (!write_.finished) return false;
  if (written != nullptr) *written = write_.done;
  return true;
}

bool OverlappedTransfers::read(void* buffer, std::uint32_t length, std::uint32_t* received,
                               OVERLAPPED* overlapped) {
  OVERLAPPED synchronous;
  read_ = Transfer{};
  read_.overlapped = overlapped != nullptr ? overlapped : &synchronous;
  read_.buffer = static_cast<std::uint8_t*>(buffer);
  read_.length = length;
  read_.last_byte_ns = device_.transfer_clock_ns();
  advance_read();
  if (overlapped == nullptr) {
    std::uint32_t count = 0;
    bool ok = result(synchronous, count, true);
    if (received != nullptr) *received = read_.done;
    read_ = Transfer{};
    return ok;
  }
  if (!read_.finished) return false;
  if (received != nullptr) *received = read_.done;
  return true;
}

bool OverlappedTransfers::result(OVERLAPPED& overlapped, std::uint32_t& transferred, bool wait) {
  bool is_read = read_.overlapped == &overlapped;
  if (!is_read && write_.overlapped != &overlapped) return false;
  Transfer& transfer = is_read ? read_ : write_;
  for (;;) {
    if (is_read) {
      advance_read();
    } else {
      advance_write();
    }
    if (transfer.finished) {
      transferred = transfer.done;
      transfer.reported = true;
      return true;
    }
    // A failed transfer never finishes: to the caller it is still running.
    if (transfer.failed) return false;
    if (!wait) {
      if (is_read) transferred = transfer.done;
      return false;
    }
    wait_for_progress(transfer, is_read);
  }
}

void OverlappedTransfers::abandon() {
  write_ = Transfer{};
  read_ = Transfer{};
}

void OverlappedTransfers::add_wait(WaitSet& set) {
  if (write_.overlapped != nullptr && !write_.failed) {
    if (!write_.finished) {
      device_.add_output_wait(set);
    } else if (!write_.reported) {
      set.wake_now();
    }
  }
  if (read_.overlapped == nullptr || read_.failed) return;
  if (read_.finished) {
    if (!read_.reported) set.wake_now();
    return;
  }
  device_.add_input_wait(set);
  if (read_.done > 0 && read_interval_ms_ != 0) {
    // The read ends once the interval has passed since its last byte (see advance_read).
    std::int64_t ends_ns =
        read_.last_byte_ns + static_cast<std::int64_t>(read_interval_ms_) * 1'000'000 + 1;
    set.wake_within(ends_ns - device_.transfer_clock_ns());
  }
}

void OverlappedTransfers::advance_write() {
  Transfer& transfer = write_;
  if (transfer.overlapped == nullptr || transfer.finished || transfer.failed) return;
  while (transfer.done < transfer.length) {
    long taken =
        device_.offer_output(transfer.buffer + transfer.done, transfer.length - transfer.done);
    if (taken < 0) {
      transfer.failed = true;
      return;
    }
    if (taken == 0) break;
    transfer.done += static_cast<std::uint32_t>(taken);
  }
  transfer.finished = transfer.done == transfer.length;
}

void OverlappedTransfers::advance_read() {
  Transfer& transfer = read_;
  if (transfer.overlapped == nullptr || transfer.finished || transfer.failed) return;
  while (transfer.done < transfer.length) {
    long count =
        device_.take_input(transfer.buffer + transfer.done, transfer.length - transfer.done);
    if (count > 0) {
      transfer.done += static_cast<std::uint32_t>(count);
      transfer.last_byte_ns = device_.transfer_clock_ns();
      continue;
    }
    if (count == 0) break;
    transfer.failed = true;
    return;
  }
  if (transfer.done == transfer.length || read_returns_at_once_) {
    transfer.finished = true;
  } else if (transfer.done > 0 && read_interval_ms_ != 0) {
    std::int64_t quiet_ns = device_.transfer_clock_ns() - transfer.last_byte_ns;
    transfer.finished = quiet_ns > static_cast<std::int64_t>(read_interval_ms_) * 1'000'000;
  }
}

void OverlappedTransfers::wait_for_progress(const Transfer& transfer, bool is_read) {
  if (!is_read) {
    device_.wait_for_output();
    return;
  }
  std::int64_t timeout_ns = -1;
  if (transfer.done > 0 && read_interval_ms_ != 0) {
    std::int64_t deadline =
        transfer.last_byte_ns + static_cast<std::int64_t>(read_interval_ms_) * 1'000'000;
    timeout_ns = deadline - device_.transfer_clock_ns() + 1'000'000;
    if (timeout_ns < 1'000'000) timeout_ns = 1'000'000;
  }
  device_.wait_for_input(timeout_ns);
}

}  // namespace serial
