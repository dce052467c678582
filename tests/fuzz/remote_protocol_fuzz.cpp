// Any bytes from a remote port's server, and any remote port address. The server's bytes drive
// a whole port in virtual time: negotiation, the settings, a write, reads and the close. Nothing
// may crash, hang, read or write out of bounds, or hand back more than was asked; an address
// read as valid must be exactly the form it stands for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "remote_port.h"
#include "remote_url.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

// A server that sends the fuzzer's bytes, a few at a time, and takes whatever it is sent.
class FuzzedServer : public serial::Link {
 public:
  FuzzedServer(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  long send(const std::uint8_t*, std::size_t length) override {
    return next_ < size_ || !hung_up_at_end_ ? static_cast<long>(length) : -1;
  }
  long receive(std::uint8_t* buffer, std::size_t length) override {
    if (next_ >= size_) return hung_up_at_end_ ? -1 : 0;
    // The first byte of each piece says how long it is, so splits are fuzzed too.
    std::size_t piece = 1 + data_[next_] % 16;
    std::size_t n = std::min({piece, length, size_ - next_});
    std::memcpy(buffer, data_ + next_, n);
    next_ += n;
    return static_cast<long>(n);
  }
  void wait(std::int64_t timeout_ns, bool) override { now_ += timeout_ns > 0 ? timeout_ns : 1; }
  void sleep(std::int64_t duration_ns) override { now_ += duration_ns > 0 ? duration_ns : 0; }
  std::int64_t now_ns() override { return now_; }
  void set_farewell(const std::uint8_t*, std::size_t length) override {
    if (length > kMaxFarewell) fail("a farewell longer than a connection keeps");
  }
  bool hung_up_at_end_ = false;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t next_ = 0;
  std::int64_t now_ = 0;
};

void check_address(const std::uint8_t* data, std::size_t size) {
  std::string argument(reinterpret_cast<const char*>(data),
                       strnlen(reinterpret_cast<const char*>(data), size));
  std::unique_ptr<char[]> copy(new char[argument.size() + 1]);
  std::memcpy(copy.get(), argument.c_str(), argument.size() + 1);
  serial::RemoteAddress address;
  if (!serial::parse_remote_url(copy.get(), address)) return;
  std::string host = address.host;
  std::string port = address.port;
  if (host.empty() || port.empty()) fail("an address without host or port");
  unsigned long number = std::strtoul(port.c_str(), nullptr, 10);
  if (number == 0 || number > 65535) fail("a port out of range");
  std::string bracketed = "[" + host + "]";
  std::string rest = argument.substr(10);
  if (rest != host + ":" + port && rest != bracketed + ":" + port)
    fail("not the form it stands for");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_address(data, size);

  serial::RemoteTimeouts timeouts;
  timeouts.negotiation_ns = 200'000'000;
  timeouts.answer_ns = timeouts.opening_answer_ns = 100'000'000;
  timeouts.restore_ns = 50'000'000;
  auto server = std::make_unique<FuzzedServer>(data, size);
  server->hung_up_at_end_ = size > 0 && (data[0] & 1);
  auto port = serial::RemotePort::open(std::move(server), timeouts);
  if (!port) return 0;
  serial::DCB dcb;
  if (port->GetCommState(dcb) && (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
                                  dcb.StopBits > 2 || dcb.BaudRate == 0)) {
    fail("settings read that no line has");
  }
  port->SetCommState(serial::DCB{38400, 8, serial::NOPARITY, serial::ONESTOPBIT});
  const std::uint8_t out[4] = {0xFF, 0x55, 0xFF, 0x00};
  std::uint32_t written = 0;
  port->WriteFile(out, sizeof out, &written, nullptr);
  if (written > sizeof out) fail("wrote more than asked");
  serial::COMMTIMEOUTS timeouts_read;
  timeouts_read.ReadIntervalTimeout = 200;
  port->SetCommTimeouts(timeouts_read);
  std::uint8_t in[32];
  serial::OVERLAPPED record;
  std::uint32_t received = 0;
  port->ReadFile(in, sizeof in, &received, &record);
  for (int poll = 0; poll < 8; ++poll) {
    std::uint32_t count = 0;
    if (port->GetOverlappedResult(record, count, false) && count > sizeof in) fail("read overrun");
  }
  std::uint32_t status = 0;
  port->GetCommModemStatus(status);
  port->CloseHandle();
  return 0;
}
