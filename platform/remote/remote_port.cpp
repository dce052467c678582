#include "remote_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "line_frame.h"
#include "remote_url.h"

namespace serial {
namespace {

using namespace telnet;

constexpr int kConnectTimeoutMs = 5000;
constexpr int kReconnectTimeoutMs = 1000;

// SET-CONTROL values for the control lines and break.
constexpr std::uint8_t kBreakOn = 5;
constexpr std::uint8_t kBreakOff = 6;
constexpr std::uint8_t kDtrOn = 8;
constexpr std::uint8_t kDtrOff = 9;
constexpr std::uint8_t kRtsOn = 11;
constexpr std::uint8_t kRtsOff = 12;
// PURGE-DATA: the server's transmit buffer.
constexpr std::uint8_t kPurgeTransmit = 2;
// NOTIFY-MODEMSTATE's CTS bit.
constexpr std::uint8_t kModemCts = 0x10;

// Parity and stop bits as the protocol numbers them, indexed by the DCB's codes.
constexpr std::uint8_t kProtocolParity[] = {1, 2, 3, 4, 5};  // none, odd, even, mark, space
constexpr std::uint8_t kProtocolStopSize[] = {1, 3, 2};      // one, one and a half, two

// The four setting commands: the DCB's values in the protocol's numbering, or zeros, which ask
// for the values in force. Returns the bytes written (at most 4 * kMaxCommand).
std::size_t encode_settings(const DCB* settings, std::uint8_t* out) {
  std::uint32_t values[4] = {0, 0, 0, 0};
  if (settings != nullptr) {
    values[0] = settings->BaudRate;
    values[1] = settings->ByteSize;
    values[2] = kProtocolParity[settings->Parity];
    values[3] = kProtocolStopSize[settings->StopBits];
  }
  std::size_t n = 0;
  for (int i = 0; i < 4; ++i) {
    n += encode_command(static_cast<std::uint8_t>(kSetBaudRate + i), values[i], i == 0 ? 4 : 1,
                        out + n);
  }
  return n;
}

bool supported(std::uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

bool valid_settings(const DCB& dcb) {
  return dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= 4 &&
         dcb.StopBits <= TWOSTOPBITS;
}

// The wait before a setting on a path whose round trips hardly vary: the server's own delay.
constexpr double kSettingWaitNs = 10e6;

}  // namespace

RemotePort::RemotePort(std::unique_ptr<Link> link, const RemoteTimeouts& timeouts)
    : link_(std::move(link)),
      timeouts_(timeouts),
      pacer_(static_cast<PacingKernel&>(*this), kLeadNs),
      transfers_(static_cast<TransferDevice&>(*this)) {}

RemotePort::~RemotePort() {
  CloseHandle();
}

std::unique_ptr<RemotePort> RemotePort::open(std::unique_ptr<Link> link,
                                             const RemoteTimeouts& timeouts) {
  if (!link) return nullptr;
  std::unique_ptr<RemotePort> port(new RemotePort(std::move(link), timeouts));
  if (!port->negotiate()) return nullptr;
  // A busy server may accept the option and only then say so in text and hang up (ser2net's
  // "Port already in use"): the port is open once the settings are asked without that happening.
  // A server that merely does not answer is left to the settings' read, which then fails at once
  // instead of waiting for the same silence again.
  bool answered = port->exchange_settings(nullptr, timeouts.opening_answer_ns);
  port->opening_asked_ = true;
  if (port->lost_) return nullptr;
  // A few more trips, so that the first row's pacing already knows the path.
  for (int trip = 1; trip < kOpeningTrips && answered; ++trip) {
    port->send_probe();
    if (!port->wait_for_probe(timeouts.opening_answer_ns)) break;
  }
  if (port->lost_) return nullptr;
  return port;
}

bool RemotePort::negotiate() {
  std::uint8_t request[15];
  std::size_t n = 0;
  n += negotiation(kWill, kComPort, request + n);
  n += negotiation(kWill, kBinary, request + n);
  n += negotiation(kDo, kBinary, request + n);
  n += negotiation(kWill, kSuppressGoAhead, request + n);
  n += negotiation(kDo, kSuppressGoAhead, request + n);
  asked_will_[kComPort] = asked_will_[kBinary] = asked_will_[kSuppressGoAhead] = true;
  asked_do_[kBinary] = asked_do_[kSuppressGoAhead] = true;
  if (!send_protocol(request, n)) return false;
  std::int64_t deadline = now_ns() + timeouts_.negotiation_ns;
  while (!com_port_accepted_) {
    // Data before the option may be a busy server's text ("Port already in use"), which it
    // follows by hanging up, or a device that talks, which keeps on: only the hang-up or a
    // refusal ends the open.
    if (lost_ || com_port_refused_) return false;
    std::int64_t left = deadline - now_ns();
    if (left <= 0) return false;
    wait_and_pump(left);
  }
  // Every change of the modem lines is told, so CTS is as fresh as the server reads it.
  std::uint8_t mask[kMaxCommand];
  send_protocol(mask, encode_command(kSetModemStateMask, 0xFF, 1, mask));
  return !lost_;
}

// --- the settings ------------------------------------------------------------------------

bool RemotePort::exchange_settings(const DCB* settings, std::int64_t timeout_ns) {
  // A rate answer still due is the probe's: it comes first, as the server answers in order, and
  // within the same time.
  std::int64_t deadline = now_ns() + timeout_ns;
  if (probe_pending_) wait_for_probe(timeout_ns);
  std::uint8_t commands[kSettings * kMaxCommand];
  for (Setting& setting : settings_)
    setting.answered = false;
  if (!send_protocol(commands, encode_settings(settings, commands))) return false;
  // The trip is timed only when the commands left at once, not behind unsent data.
  bool timed = outgoing_count_ == 0;
  std::int64_t sent = now_ns();
  for (;;) {
    bool all = true;
    for (const Setting& setting : settings_)
      all = all && setting.answered;
    if (all) {
      if (timed) add_round_trip(now_ns() - sent);
      return true;
    }
    std::int64_t left = deadline - now_ns();
    if (lost_ || left <= 0) return false;
    wait_and_pump(left);
  }
}

bool RemotePort::answers_as_dcb(DCB& dcb) const {
  const std::uint32_t size = settings_[1].value;
  const std::uint32_t parity = settings_[2].value;
  const std::uint32_t stop = settings_[3].value;
  if (settings_[0].value == 0 || size < 5 || size > 8 || parity < 1 || parity > 5 || stop < 1 ||
      stop > 3) {
    return false;
  }
  dcb.BaudRate = settings_[0].value;
  dcb.ByteSize = static_cast<std::uint8_t>(size);
  dcb.Parity = static_cast<std::uint8_t>(parity - 1);
  dcb.StopBits = stop == 1 ? ONESTOPBIT : stop == 3 ? ONE5STOPBITS : TWOSTOPBITS;
  return true;
}

bool RemotePort::GetCommState(DCB& dcb) {
  if (closed_ || lost_) return false;
  DCB now;
  bool from_open = opening_asked_;
  opening_asked_ = false;
  if (from_open) {
    // The open has just asked: its answers, or, had it none in the answer's time, late ones.
    pump();
    for (const Setting& setting : settings_)
      if (!setting.answered) return false;
  } else if (!exchange_settings(nullptr, timeouts_.answer_ns)) {
    return false;
  }
  if (!answers_as_dcb(now)) return false;
  if (!found_known_) {
    found_ = now;
    found_known_ = true;
    pacer_.set_line(now.BaudRate, frame_bits(now));
    set_farewell();
  }
  current_ = now;
  dcb.BaudRate = now.BaudRate;
  dcb.ByteSize = now.ByteSize;
  dcb.Parity = now.Parity;
  dcb.StopBits = now.StopBits;
  return true;
}

bool RemotePort::SetCommState(const DCB& dcb) {
  if (closed_ || lost_ || !valid_settings(dcb)) return false;
  DCB before;
  if (!found_known_ && !GetCommState(before)) return false;
  before = current_;
  // The server applies a setting as soon as it reads it: the bytes before it go out first.
  wait_for_line_to_drain();
  changed_ = true;
  opening_asked_ = false;
  DCB now;
  bool took = exchange_settings(&dcb, timeouts_.answer_ns) && answers_as_dcb(now) &&
              runs_within_tolerance(now.BaudRate, dcb.BaudRate) && now.ByteSize == dcb.ByteSize &&
              now.Parity == dcb.Parity && now.StopBits == dcb.StopBits;
  if (!took) {
    // A value refused in part, or not answered, leaves the line with the settings it had.
    exchange_settings(&before, timeouts_.answer_ns);
    return false;
  }
  current_ = now;
  pacer_.set_line(now.BaudRate, frame_bits(now));
  return true;
}

double RemotePort::setting_wait_ns() const {
  return kSettingWaitNs + trips_.spread_ns();
}

void RemotePort::wait_for_line_to_drain() {
  // After the line time of the bytes handed on: a frame or two still in the UART, the server's
  // delay, and how much later than the setting the last data may reach the server.
  double until = pacer_.line_busy_until_ns() + setting_wait_ns() + 2 * pacer_.frame_ns();
  std::int64_t left = static_cast<std::int64_t>(until) - now_ns();
  if (left > 0) sleep_for(left);
}

bool RemotePort::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
  if (closed_) return false;
  transfers_.set_timeouts(timeouts);
  return true;
}

bool RemotePort::EscapeCommFunction(std::uint32_t function) {
  if (closed_ || lost_) return false;
  std::uint8_t control = 0;
  switch (function) {
    case SETRTS:
      control = kRtsOn;
      break;
    case CLRRTS:
      control = kRtsOff;
      break;
    case SETDTR:
      control = kDtrOn;
      break;
    case CLRDTR:
      control = kDtrOff;
      break;
    case SETBREAK:
      control = kBreakOn;
      break;
    case CLRBREAK:
      control = kBreakOff;
      break;
    default:
      return false;
  }
  // Servers answer these late or not at all (ser2net on a device without modem lines): the
  // command is sent and the answer not awaited.
  std::uint8_t command[kMaxCommand];
  return send_protocol(command, encode_command(kSetControl, control, 1, command));
}

bool RemotePort::GetCommModemStatus(std::uint32_t& status) {
  pump();
  status = (modem_state_ & kModemCts) ? MS_CTS_ON : 0;
  return !closed_ && !lost_;
}

// --- data --------------------------------------------------------------------------------

bool RemotePort::WriteFile(const void* buffer, std::uint32_t length, std::uint32_t* written,
                           OVERLAPPED* overlapped) {
  if (written != nullptr) *written = 0;
  if (closed_) return false;
  if (overlapped != nullptr) return transfers_.start_write(buffer, length, written, overlapped);
  std::size_t taken = 0;
  bool ok = pacer_.write_all(static_cast<const std::uint8_t*>(buffer), length, taken);
  if (written != nullptr) *written = static_cast<std::uint32_t>(taken);
  return ok;
}

bool RemotePort::ReadFile(void* buffer, std::uint32_t length, std::uint32_t* received,
                          OVERLAPPED* overlapped) {
  if (received != nullptr) *received = 0;
  if (closed_) return false;
  return transfers_.read(buffer, length, received, overlapped);
}

bool RemotePort::GetOverlappedResult(OVERLAPPED& overlapped, std::uint32_t& transferred,
                                     bool wait) {
  if (closed_) return false;
  return transfers_.result(overlapped, transferred, wait);
}

PortPresence RemotePort::presence() {
  // A close or a reset shows in the read, and so does the error the system ends a silent
  // connection with.
  pump();
  return closed_ || lost_ ? PortPresence::kGone : PortPresence::kHere;
}

void RemotePort::CloseHandle() {
  if (closed_) return;
  transfers_.abandon();
  // Until the server accepts the option it is no serial port server (a raw TCP port, say): its
  // line would carry the commands as data.
  if (!lost_ && com_port_accepted_) {
    // As a local close does: what is still queued for the line is dropped, then the port gets
    // back the settings it was found with; a server that has fallen silent gets restore_ns for
    // it all.
    std::int64_t deadline = now_ns() + timeouts_.restore_ns;
    std::uint8_t purge[kMaxCommand];
    send_protocol(purge, encode_command(kPurgeData, kPurgeTransmit, 1, purge));
    if (changed_ && found_known_) exchange_settings(&found_, deadline - now_ns());
    while (outgoing_count_ > 0 && !lost_ && now_ns() < deadline) {
      link_->wait(deadline - now_ns(), true);
      flush_outgoing();
    }
  }
  closed_ = true;
  link_.reset();
}

void RemotePort::set_farewell() {
  // What the close sends, for a program that a signal ends before its close.
  std::uint8_t bytes[Link::kMaxFarewell];
  std::size_t n = encode_command(kPurgeData, kPurgeTransmit, 1, bytes);
  n += encode_settings(&found_, bytes + n);
  link_->set_farewell(bytes, n);
}

// --- round trips ---------------------------------------------------------------------------

void RemotePort::send_probe() {
  // A rate query changes nothing on the line, and every server answers it.
  std::uint8_t query[kMaxCommand];
  std::size_t n = encode_command(kSetBaudRate, 0, 4, query);
  probe_sent_ns_ = last_probe_ns_ = now_ns();
  probe_pending_ = send_protocol(query, n);
}

bool RemotePort::wait_for_probe(std::int64_t timeout_ns) {
  std::int64_t deadline = now_ns() + timeout_ns;
  while (probe_pending_ && !lost_) {
    std::int64_t left = deadline - now_ns();
    if (left <= 0) break;
    wait_and_pump(left);
  }
  // An answer that did not come in time is no longer awaited: a later rate answer is a setting's.
  bool answered = !probe_pending_ && !lost_;
  probe_pending_ = false;
  return answered;
}

void RemotePort::maybe_probe() {
  std::int64_t now = now_ns();
  if (probe_pending_) {
    if (now - probe_sent_ns_ > timeouts_.answer_ns) probe_pending_ = false;
    return;
  }
  // Only when nothing waits unsent, so that the trip starts now.
  if (outgoing_count_ == 0 && now - last_probe_ns_ >= timeouts_.probe_interval_ns) send_probe();
}

void RemotePort::add_round_trip(std::int64_t ns) {
  trips_.add(ns);
  // Half the lead is what is still queued when a refill leaves: it covers a segment that comes
  // later than the one before it by up to the spread.
  pacer_.set_lead(std::min(kMaxLeadNs, std::max(kLeadNs, trips_.spread_ns() + kSettingWaitNs)));
}

// --- the link ----------------------------------------------------------------------------

void RemotePort::lose() {
  lost_ = true;
  outgoing_count_ = 0;
}

void RemotePort::flush_outgoing() {
  if (lost_ || outgoing_count_ == 0) return;
  long sent = link_->send(outgoing_, outgoing_count_);
  if (sent < 0) {
    lose();
    return;
  }
  auto count = static_cast<std::size_t>(sent);
  std::memmove(outgoing_, outgoing_ + count, outgoing_count_ - count);
  outgoing_count_ -= count;
}

bool RemotePort::send_protocol(const std::uint8_t* bytes, std::size_t length) {
  if (closed_ || lost_) return false;
  // Protocol bytes are few; they wait behind data the link has not taken, in order.
  std::int64_t deadline = now_ns() + timeouts_.answer_ns;
  while (outgoing_count_ + length > kOutgoingSize) {
    flush_outgoing();
    if (lost_ || now_ns() >= deadline) return false;
    if (outgoing_count_ + length > kOutgoingSize) link_->wait(deadline - now_ns(), true);
  }
  std::memcpy(outgoing_ + outgoing_count_, bytes, length);
  outgoing_count_ += length;
  flush_outgoing();
  return !lost_;
}

void RemotePort::pump() {
  if (lost_ || closed_) return;
  std::uint8_t chunk[1024];
  for (int reads = 0; reads < 64; ++reads) {
    long count = link_->receive(chunk, sizeof chunk);
    if (count < 0) {
      lose();
      return;
    }
    if (count == 0) break;
    parser_.feed(chunk, static_cast<std::size_t>(count), *this);
  }
  flush_outgoing();
}

void RemotePort::wait_and_pump(std::int64_t timeout_ns) {
  if (lost_) {
    link_->sleep(timeout_ns);
    return;
  }
  link_->wait(timeout_ns, outgoing_count_ > 0);
  pump();
}

long RemotePort::write(const std::uint8_t* data, std::size_t length) {
  if (lost_ || closed_) return -EPIPE;
  flush_outgoing();
  if (lost_) return -EPIPE;
  if (outgoing_count_ > 0) return -EAGAIN;
  maybe_probe();
  if (lost_) return -EPIPE;
  std::size_t consumed = 0;
  outgoing_count_ = escape_data(data, length, outgoing_, kOutgoingSize, consumed);
  flush_outgoing();
  if (lost_) return -EPIPE;
  return static_cast<long>(consumed);
}

void RemotePort::wait_writable(std::int64_t timeout_ns) {
  if (lost_) {
    link_->sleep(timeout_ns);
    return;
  }
  link_->wait(timeout_ns, true);
  pump();
}

void RemotePort::sleep_for(std::int64_t duration_ns) {
  // Asleep, the port still reads what the server sends, so that neither side's buffer fills.
  std::int64_t deadline = now_ns() + duration_ns;
  for (std::int64_t left = duration_ns; left > 0; left = deadline - now_ns()) {
    wait_and_pump(left);
  }
}

long RemotePort::offer_output(const std::uint8_t* data, std::size_t length) {
  return pacer_.offer(data, length);
}

long RemotePort::take_input(std::uint8_t* buffer, std::size_t length) {
  pump();
  if (received_count_ == 0) return lost_ ? -1 : 0;
  std::size_t count = std::min(length, received_count_);
  for (std::size_t i = 0; i < count; ++i) {
    buffer[i] = received_[(received_start_ + i) % kReceiveSize];
  }
  received_start_ = (received_start_ + count) % kReceiveSize;
  received_count_ -= count;
  return static_cast<long>(count);
}

void RemotePort::wait_for_input(std::int64_t timeout_ns) {
  wait_and_pump(timeout_ns < 0 ? 1'000'000'000 : timeout_ns);
}

void RemotePort::wait_for_output() {
  sleep_for(static_cast<std::int64_t>(pacer_.frame_ns()) + 1'000'000);
}

void RemotePort::add_wait(WaitSet& set) {
  if (closed_) return;
  // What has come is taken in first: protocol gets its answer, line data waits for the read, and
  // the socket is left with nothing that would wake the wait again at once.
  pump();
  transfers_.add_wait(set);
  // A lost connection polls as always ready: only what was received before still counts.
  if (!lost_) link_->add_wait(set);
}

void RemotePort::add_input_wait(WaitSet& set) {
  // Line data already taken in goes into the read at the next pass; more comes on the socket.
  if (received_count_ > 0) set.wake_now();
}

void RemotePort::add_output_wait(WaitSet& set) {
  // Held back by the pacer until its low mark; otherwise by the link, whose socket wakes the
  // wait once it takes more.
  std::int64_t hold = pacer_.hold_ns();
  if (hold > 0) {
    set.wake_within(hold);
  } else if (outgoing_count_ == 0) {
    set.wake_within(1'000'000);
  }
}

// --- what the server sends -----------------------------------------------------------------

void RemotePort::on_data(const std::uint8_t* data, std::size_t length) {
  // Before the option is accepted it may still be a busy server's text; it is kept as the
  // line's data, and the open fails anyway if the server then leaves.
  for (std::size_t i = 0; i < length && received_count_ < kReceiveSize; ++i) {
    received_[(received_start_ + received_count_) % kReceiveSize] = data[i];
    ++received_count_;
  }
}

void RemotePort::on_negotiation(std::uint8_t verb, std::uint8_t option) {
  std::uint8_t answer[3];
  switch (verb) {
    case kDo:
      if (!supported(option)) {
        send_protocol(answer, negotiation(kWont, option, answer));
      } else if (!we_will_[option]) {
        we_will_[option] = true;
        if (!asked_will_[option]) send_protocol(answer, negotiation(kWill, option, answer));
      }
      asked_will_[option] = false;
      if (option == kComPort) com_port_accepted_ = true;
      break;
    case kDont:
      if (option == kComPort) com_port_refused_ = true;
      if (we_will_[option]) {
        we_will_[option] = false;
        if (!asked_will_[option]) send_protocol(answer, negotiation(kWont, option, answer));
      }
      asked_will_[option] = false;
      break;
    case kWill:
      if (option != kBinary && option != kSuppressGoAhead) {
        // ECHO and everything else: the server keeps them to itself.
        send_protocol(answer, negotiation(kDont, option, answer));
      } else if (!they_will_[option]) {
        they_will_[option] = true;
        if (!asked_do_[option]) send_protocol(answer, negotiation(kDo, option, answer));
      }
      asked_do_[option] = false;
      break;
    case kWont:
      if (they_will_[option]) {
        they_will_[option] = false;
        if (!asked_do_[option]) send_protocol(answer, negotiation(kDont, option, answer));
      }
      asked_do_[option] = false;
      break;
    default:
      break;
  }
}

void RemotePort::on_subnegotiation(std::uint8_t option, const std::uint8_t* payload,
                                   std::size_t length) {
  if (option != kComPort || length < 2 || payload[0] <= kServerAnswer) return;
  int code = payload[0] - kServerAnswer;
  const std::uint8_t* value = payload + 1;
  std::size_t value_length = length - 1;
  // sredird answers the rate with eight bytes, the rate in the first four.
  if (code == kSetBaudRate && value_length >= 4 && probe_pending_) {
    add_round_trip(now_ns() - probe_sent_ns_);
    probe_pending_ = false;
  } else if (code == kSetBaudRate && value_length >= 4) {
    settings_[0].value = (std::uint32_t{value[0]} << 24) | (std::uint32_t{value[1]} << 16) |
                         (std::uint32_t{value[2]} << 8) | value[3];
    settings_[0].answered = true;
  } else if (code >= kSetDataSize && code <= kSetStopSize && value_length == 1) {
    settings_[code - 1].value = value[0];
    settings_[code - 1].answered = true;
  } else if (code == kNotifyModemState && value_length == 1) {
    modem_state_ = value[0];
  }
}

std::unique_ptr<SerialPort> open_remote_port(const char* url, bool again) {
  RemoteAddress address;
  if (!parse_remote_url(url, address)) return nullptr;
  if (!again) return RemotePort::open(connect_link(address, kConnectTimeoutMs));
  RemoteTimeouts timeouts;
  timeouts.negotiation_ns = 2'000'000'000;
  timeouts.opening_answer_ns = 1'000'000'000;
  return RemotePort::open(connect_link(address, kReconnectTimeoutMs), timeouts);
}

}  // namespace serial
