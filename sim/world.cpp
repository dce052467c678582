#include "world.h"

#include <algorithm>

namespace sim {
namespace {

constexpr std::size_t kReceiveQueueBytes = 4096;

FrameFormat format_of(const serial::DCB& dcb) {
  return {dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits};
}

}  // namespace

World::World() {
  settings_ = {9600, 8, serial::NOPARITY, serial::ONESTOPBIT};
  transmitter_.set_format(format_of(settings_));
  receiver_.set_format(format_of(settings_));
}

void World::advance_to(Tick target) {
  if (target <= now_) return;
  if (target > deadline_) throw Stalled("virtual time passed the bench's deadline");
  if (pacer_) pacer_(target);
  for (;;) {
    Tick next = std::min(next_event(), target);
    step_to(next);
    if (next >= target) break;
  }
}

void World::run_until(const std::function<bool()>& done) {
  while (!done()) {
    Tick next = next_event();
    if (next == kNever) throw Stalled("waiting for something that never comes");
    if (next > deadline_) throw Stalled("virtual time passed the bench's deadline");
    if (next <= now_) {
      step_to(now_);
    } else {
      advance_to(next);
    }
  }
}

bool World::write_finished() const {
  return pending_write_.overlapped && transmitter_.started() >= pending_write_.last_sequence;
}

bool World::unreported_finish() const {
  return (write_finished() && !write_told_) ||
         (pending_read_.overlapped && pending_read_.done && !read_told_);
}

bool World::advance_until_news(Tick limit) {
  const bool read_was_empty = pending_read_.count == 0;
  auto news = [&] {
    return unreported_finish() ||
           (read_was_empty && pending_read_.overlapped && pending_read_.count > 0);
  };
  while (!news()) {
    if (now_ >= limit) return false;
    Tick next = std::min(next_event(), limit);
    if (next == kNever) throw Stalled("waiting for something that never comes");
    advance_to(std::max(next, now_ + 1));
  }
  return true;
}

Tick World::next_event() const {
  Tick next = std::min(transmitter_.next_change(), receiver_.next_sample());
  if (circuit_) next = std::min(next, circuit_->next_change_after(now_));
  if (pending_read_.overlapped && !pending_read_.done && pending_read_.count > 0 &&
      read_interval_ms_ > 0) {
    next = std::min(
        next, pending_read_.last_byte + static_cast<Tick>(read_interval_ms_) * kTicksPerMs + 1);
  }
  return next;
}

void World::step_to(Tick t) {
  now_ = std::max(now_, t);
  transmitter_.advance_to(now_);
  update_rx(now_);
  if (receiver_.next_sample() == now_) {
    ReceivedByte byte;
    if (receiver_.sample(now_, rx_line_.level(), byte)) deliver(byte);
  }
  check_read_timeout(now_);
}

void World::update_rx(Tick at) {
  int level = circuit_ ? circuit_->rx_level(at, tx_line_.level()) : 1;
  if (level == rx_line_.level()) return;
  rx_line_.set(at, level);
  receiver_.on_level(at, level);
}

void World::check_read_timeout(Tick at) {
  PendingRead& read = pending_read_;
  if (read.overlapped && !read.done && read.count > 0 && read_interval_ms_ > 0 &&
      at - read.last_byte > static_cast<Tick>(read_interval_ms_) * kTicksPerMs) {
    read.done = true;
  }
}

void World::deliver(const ReceivedByte& byte) {
  received_.push_back(byte);
  if (!usable()) return;
  check_read_timeout(byte.at);
  PendingRead& read = pending_read_;
  if (read.overlapped && !read.done) {
    read.buffer[read.count++] = byte.value;
    read.last_byte = byte.at;
    read.done = read.count == read.length;
  } else if (receive_queue_.size() < kReceiveQueueBytes) {
    receive_queue_.push_back(byte);
  }
}

void World::record(PortOp op, std::uint32_t value, bool ok, const serial::DCB& dcb) {
  calls_.push_back({now_, op, value, ok, dcb});
}

bool World::open(const char* name, std::uint32_t access, std::uint32_t flags) {
  bool ok = !open_ && !held_elsewhere_ && device_name_ == name && !away();
  record(PortOp::kOpen, 0, ok);
  if (!ok) return false;
  open_ = true;
  opened_at_ = now_;
  opened_name_ = name;
  access_ = access;
  flags_ = flags;
  return true;
}

bool World::get_comm_state(serial::DCB& dcb) {
  bool ok = usable() && !settings_unreadable_;
  if (ok) dcb = settings_;
  record(PortOp::kGetCommState, 0, ok, dcb);
  return ok;
}

bool World::set_comm_state(const serial::DCB& dcb) {
  bool valid = dcb.BaudRate > 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= 4 &&
               dcb.StopBits <= serial::TWOSTOPBITS;
  bool ok = usable() && valid && !(refuses_ && refuses_(dcb));
  record(PortOp::kSetCommState, dcb.BaudRate, ok, dcb);
  if (!ok) return false;
  transmitter_.advance_to(now_);
  settings_ = dcb;
  transmitter_.set_format(format_of(dcb));
  receiver_.set_format(format_of(dcb));
  return true;
}

bool World::set_comm_timeouts(const serial::COMMTIMEOUTS& timeouts) {
  record(PortOp::kSetCommTimeouts, timeouts.ReadIntervalTimeout, usable());
  if (!usable()) return false;
  read_interval_ms_ = timeouts.ReadIntervalTimeout;
  return true;
}

void World::set_control(Tick at) {
  dtr_line_.set(at, control_.dtr);
  rts_line_.set(at, control_.rts);
  brk_line_.set(at, control_.brk);
  if (circuit_) circuit_->on_control_lines(at, control_);
}

bool World::escape(std::uint32_t function) {
  bool ok = usable();
  if (ok) {
    switch (function) {
      case serial::SETRTS:
        control_.rts = true;
        break;
      case serial::CLRRTS:
        control_.rts = false;
        break;
      case serial::SETDTR:
        control_.dtr = true;
        break;
      case serial::CLRDTR:
        control_.dtr = false;
        break;
      case serial::SETBREAK:
        control_.brk = true;
        break;
      case serial::CLRBREAK:
        control_.brk = false;
        break;
      default:
        ok = false;
    }
  }
  record(PortOp::kEscape, function, ok);
  if (ok) {
    transmitter_.set_break(now_, control_.brk);
    set_control(now_);
    update_rx(now_);
  }
  advance_by(line_op_cost_);
  return ok;
}

bool World::modem_status(std::uint32_t& status) {
  bool ok = usable();
  if (ok) {
    bool cts = circuit_ && circuit_->cts(now_);
    cts_line_.set(now_, cts);
    status = cts ? serial::MS_CTS_ON : 0;
  }
  record(PortOp::kModemStatus, ok ? status : 0, ok);
  advance_by(line_op_cost_);
  return ok;
}

bool World::write(const void* buffer, std::uint32_t length, std::uint32_t* written,
                  serial::OVERLAPPED* overlapped) {
  record(overlapped ? PortOp::kWriteOverlapped : PortOp::kWrite, length, usable());
  if (written) *written = 0;
  if (!usable()) return false;
  std::uint64_t last = transmitter_.enqueue(now_, static_cast<const std::uint8_t*>(buffer), length);
  if (overlapped) {
    pending_write_ = {overlapped, last, length};
    write_told_ = false;
    step_to(now_);
    return false;  // running, as ERROR_IO_PENDING
  }
  // Taken for sending: the last byte's frame has started, the UART holds nothing more.
  run_until([&] { return transmitter_.started() >= last; });
  if (written) *written = length;
  return true;
}

bool World::read(void* buffer, std::uint32_t length, std::uint32_t* received,
                 serial::OVERLAPPED* overlapped) {
  record(PortOp::kReadOverlapped, length, usable());
  if (received) *received = 0;
  if (!usable()) return false;
  PendingRead& read = pending_read_;
  read = {overlapped, static_cast<std::uint8_t*>(buffer), length, 0, now_, length == 0};
  read_told_ = false;
  while (!read.done && !receive_queue_.empty()) {
    read.buffer[read.count++] = receive_queue_.front().value;
    receive_queue_.pop_front();
    read.done = read.count == read.length;
  }
  if (overlapped) return read.done;
  serial::OVERLAPPED own;
  read.overlapped = &own;
  run_until([&] { return read.done; });
  if (received) *received = read.count;
  read = {};
  return true;
}

bool World::overlapped_result(serial::OVERLAPPED& overlapped, std::uint32_t& transferred,
                              bool wait) {
  auto finished = [&] {
    if (&overlapped == pending_write_.overlapped) {
      return transmitter_.started() >= pending_write_.last_sequence;
    }
    if (&overlapped == pending_read_.overlapped) return pending_read_.done;
    return false;
  };
  if (wait) {
    run_until(finished);
  } else {
    ++polls_;
    advance_by(poll_cost_);
  }
  if (!usable()) return false;
  if (!finished()) {
    if (&overlapped == pending_read_.overlapped)
      transferred = running_read_count_hidden_ ? 0 : pending_read_.count;
    return false;
  }
  (&overlapped == pending_write_.overlapped ? write_told_ : read_told_) = true;
  transferred =
      &overlapped == pending_write_.overlapped ? pending_write_.length : pending_read_.count;
  return true;
}

void World::forget_before(Tick t) {
  for (Timeline* line : {&tx_line_, &rx_line_, &dtr_line_, &rts_line_, &brk_line_, &cts_line_})
    line->forget_before(t);
  transmitter_.forget_frames_before(t);
  calls_.erase(calls_.begin(), std::find_if(calls_.begin(), calls_.end(),
                                            [t](const PortCall& call) { return call.at >= t; }));
  received_.erase(received_.begin(),
                  std::find_if(received_.begin(), received_.end(),
                               [t](const ReceivedByte& byte) { return byte.at >= t; }));
}

void World::close() {
  if (!open_) return;
  record(PortOp::kClose, 0, true);
  transmitter_.drop_waiting();
  pending_write_ = {};
  pending_read_ = {};
  receive_queue_.clear();
  open_ = false;
}

}  // namespace sim
