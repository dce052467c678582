// The remote port's connection on Linux: a non-blocking TCP socket.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "bounded_call.h"
#include "link.h"

namespace serial {
namespace {

std::int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

int to_poll_ms(std::int64_t timeout_ns) {
  if (timeout_ns <= 0) return 0;
  std::int64_t ms = (timeout_ns + 999'999) / 1'000'000;
  return ms > 60'000 ? 60'000 : static_cast<int>(ms);
}

// The open connections' farewells for the signal-time release: each slot holds a socket plus
// one (0: free, -1: being filled) and its bytes.
constexpr int kLinkSlots = 8;
struct FarewellSlot {
  std::atomic<int> fd_plus_one{0};
  std::uint8_t bytes[Link::kMaxFarewell] = {};
  std::size_t length = 0;
};
FarewellSlot g_farewells[kLinkSlots];

void forget_farewell(int fd) {
  for (auto& slot : g_farewells) {
    int expected = fd + 1;
    if (slot.fd_plus_one.compare_exchange_strong(expected, 0)) return;
  }
}

class SocketLink final : public Link {
 public:
  explicit SocketLink(int fd) : fd_(fd) {}
  ~SocketLink() override {
    forget_farewell(fd_);
    ::close(fd_);
  }
  SocketLink(const SocketLink&) = delete;
  SocketLink& operator=(const SocketLink&) = delete;

  long send(const std::uint8_t* data, std::size_t length) override {
    for (;;) {
      // MSG_NOSIGNAL: a connection the server closed fails the call instead of raising SIGPIPE.
      ssize_t sent = ::send(fd_, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) return static_cast<long>(sent);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return -1;
    }
  }

  long receive(std::uint8_t* buffer, std::size_t length) override {
    for (;;) {
      ssize_t count = ::recv(fd_, buffer, length, MSG_DONTWAIT);
      if (count > 0) return static_cast<long>(count);
      if (count == 0) return -1;  // the server closed the connection
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return -1;
    }
  }

  void wait(std::int64_t timeout_ns, bool for_sending) override {
    pollfd watch{fd_, static_cast<short>(POLLIN | (for_sending ? POLLOUT : 0)), 0};
    ::poll(&watch, 1, to_poll_ms(timeout_ns));
  }

  void sleep(std::int64_t duration_ns) override {
    if (duration_ns <= 0) return;
    timespec left{static_cast<time_t>(duration_ns / 1'000'000'000),
                  static_cast<long>(duration_ns % 1'000'000'000)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  std::int64_t now_ns() override { return monotonic_ns(); }

  void set_farewell(const std::uint8_t* bytes, std::size_t length) override {
    forget_farewell(fd_);
    if (length > kMaxFarewell) return;
    for (auto& slot : g_farewells) {
      int expected = 0;
      if (!slot.fd_plus_one.compare_exchange_strong(expected, -1)) continue;
      std::memcpy(slot.bytes, bytes, length);
      slot.length = length;
      slot.fd_plus_one.store(fd_ + 1);
      return;
    }
  }

 private:
  int fd_;
};

// Connects one address within the time left; the socket, or -1.
int connect_within(const addrinfo& address, std::int64_t deadline_ns) {
  int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    address.ai_protocol);
  if (fd < 0) return -1;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      ::close(fd);
      return -1;
    }
    for (;;) {
      pollfd watch{fd, POLLOUT, 0};
      int ready = ::poll(&watch, 1, to_poll_ms(deadline_ns - monotonic_ns()));
      if (ready > 0) break;
      if (ready < 0 && errno == EINTR) continue;
      ::close(fd);
      return -1;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      ::close(fd);
      return -1;
    }
  }
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

}  // namespace

void send_link_farewells() {
  for (auto& slot : g_farewells) {
    int stored = slot.fd_plus_one.load();
    if (stored > 0) ::send(stored - 1, slot.bytes, slot.length, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
}

std::unique_ptr<Link> connect_link(const RemoteAddress& address, int timeout_ms) {
  std::int64_t deadline = monotonic_ns() + static_cast<std::int64_t>(timeout_ms) * 1'000'000;
  // The lookup has the same time limit as the connect: a resolver that hangs fails the open.
  auto* found = static_cast<addrinfo*>(call_within(
      [address]() -> void* {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        return ::getaddrinfo(address.host, address.port, &hints, &list) == 0 ? list : nullptr;
      },
      [](void* list) { ::freeaddrinfo(static_cast<addrinfo*>(list)); }, timeout_ms));
  if (found == nullptr) return nullptr;
  int fd = -1;
  for (addrinfo* candidate = found; candidate != nullptr && fd < 0;
       candidate = candidate->ai_next) {
    if (monotonic_ns() >= deadline) break;
    fd = connect_within(*candidate, deadline);
  }
  ::freeaddrinfo(found);
  if (fd < 0) return nullptr;
  return std::make_unique<SocketLink>(fd);
}

}  // namespace serial
