#include "returning_port.h"

#include <utility>

#include "start.h"

namespace serial {

ReturningPort::ReturningPort(std::unique_ptr<SerialPort> port, System& system, PortOrigin origin)
    : port_(std::move(port)), system_(system), origin_(std::move(origin)) {
  counts_running_reads_ = port_->counts_running_reads();
  // Made once here, so that the loop never builds text.
  const std::string program_and_port = std::string(origin_.program) + ": " + origin_.typed;
  went_away_line_ = program_and_port + " went away; waiting for it (q quits)\n";
  back_line_ = program_and_port + " is back\n";
}

ReturningPort::~ReturningPort() {
  CloseHandle();
}

void ReturningPort::say(const std::string& line) {
  system_.console().write_error_text(line.data(), line.size());
}

void ReturningPort::let_go() {
  // The device port takes its entry out of the restore registry before it closes: the number of
  // a closed descriptor is soon another file's.
  port_->CloseHandle();
  port_.reset();
  say(went_away_line_);
  retry_ms_ = kRetryMs;
  next_look_ms_ = system_.console().clock() + retry_ms_;
}

bool ReturningPort::reopen() {
  // Another adapter that came under the same name is not touched, not even opened.
  if (!origin_.identity.empty() &&
      system_.port_identity(origin_.device_name.c_str()) != origin_.identity) {
    return false;
  }
  std::unique_ptr<SerialPort> port =
      system_.CreateFileA(origin_.device_name.c_str(), origin_.access, origin_.flags);
  if (!port) return false;
  DCB found;
  if (origin_.reads_settings && !port->GetCommState(found)) return false;
  port_ = std::move(port);
  counts_running_reads_ = port_->counts_running_reads();
  return true;
}

PortPresence ReturningPort::presence() {
  if (closed_) return PortPresence::kGone;
  if (port_) {
    if (port_->presence() != PortPresence::kGone) return PortPresence::kHere;
    let_go();
    return PortPresence::kGone;
  }
  long now = system_.console().clock();
  if (now < next_look_ms_) return PortPresence::kGone;
  if (!reopen()) {
    if (origin_.remote && retry_ms_ < kLongestRetryMs) {
      retry_ms_ = retry_ms_ * 2 < kLongestRetryMs ? retry_ms_ * 2 : kLongestRetryMs;
    }
    next_look_ms_ = system_.console().clock() + retry_ms_;
    return PortPresence::kGone;
  }
  say(back_line_);
  return PortPresence::kBack;
}

bool ReturningPort::GetCommState(DCB& dcb) {
  return port_ && port_->GetCommState(dcb);
}

bool ReturningPort::SetCommState(const DCB& dcb) {
  return port_ && port_->SetCommState(dcb);
}

bool ReturningPort::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
  return port_ && port_->SetCommTimeouts(timeouts);
}

bool ReturningPort::EscapeCommFunction(std::uint32_t function) {
  return port_ && port_->EscapeCommFunction(function);
}

bool ReturningPort::GetCommModemStatus(std::uint32_t& status) {
  if (port_) return port_->GetCommModemStatus(status);
  status = 0;
  return false;
}

bool ReturningPort::WriteFile(const void* buffer, std::uint32_t length, std::uint32_t* written,
                              OVERLAPPED* overlapped) {
  if (port_) return port_->WriteFile(buffer, length, written, overlapped);
  if (written != nullptr) *written = 0;
  return false;
}

bool ReturningPort::ReadFile(void* buffer, std::uint32_t length, std::uint32_t* received,
                             OVERLAPPED* overlapped) {
  if (port_) return port_->ReadFile(buffer, length, received, overlapped);
  if (received != nullptr) *received = 0;
  return false;
}

bool ReturningPort::GetOverlappedResult(OVERLAPPED& overlapped, std::uint32_t& transferred,
                                        bool wait) {
  return port_ && port_->GetOverlappedResult(overlapped, transferred, wait);
}

bool ReturningPort::counts_running_reads() {
  return counts_running_reads_;
}

void ReturningPort::CloseHandle() {
  if (port_) port_->CloseHandle();
  port_.reset();
  closed_ = true;
}

void ReturningPort::add_wait(WaitSet& set) {
  if (port_) {
    port_->add_wait(set);
  } else if (!closed_) {
    long left_ms = next_look_ms_ - system_.console().clock();
    set.wake_within(left_ms > 0 ? static_cast<std::int64_t>(left_ms) * 1'000'000 : 0);
  }
}

}  // namespace serial
