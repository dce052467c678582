// The remote port's connection on Linux: a non-blocking TCP socket.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bounded_call.h"
#include "link.h"
#include "link_farewell.h"

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

// The farewell's socket calls, each async-signal-safe.
long send_now(std::intptr_t socket, const std::uint8_t* bytes, std::size_t length) {
  for (;;) {
    // MSG_NOSIGNAL: a connection the server closed fails the call instead of raising SIGPIPE.
    ssize_t sent = ::send(static_cast<int>(socket), bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<long>(sent);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

bool wait_writable(std::intptr_t socket, int timeout_ms) {
  pollfd watch{static_cast<int>(socket), POLLOUT, 0};
  return ::poll(&watch, 1, timeout_ms) > 0 && (watch.revents & POLLOUT) &&
         !(watch.revents & (POLLERR | POLLHUP | POLLNVAL));
}

std::int64_t now_ms() {
  return monotonic_ns() / 1'000'000;
}

void pause_a_moment() {
  timespec moment{0, 1'000'000};
  nanosleep(&moment, nullptr);
}

const FarewellSocket kFarewellSocket{send_now, wait_writable, now_ms, pause_a_moment};
static_assert(Link::kMaxFarewell <= LinkFarewell::kMaxBytes, "every farewell fits its record");

class SocketLink final : public Link {
 public:
  explicit SocketLink(int fd) : fd_(fd), farewell_(fd, kFarewellSocket) {}
  ~SocketLink() override {
    farewell_.forget();
    ::close(fd_);
  }
  SocketLink(const SocketLink&) = delete;
  SocketLink& operator=(const SocketLink&) = delete;

  long send(const std::uint8_t* data, std::size_t length) override {
    // Signals wait while a send and its count run, so the farewell of a signal handler always
    // knows where the stream stands.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    bool lost = false;
    long sent = 0;
    if (farewell_.begin_send(lost)) {
      sent = send_now(fd_, data, length);
      farewell_.end_send(data, sent);
      send_refused_ = sent >= 0 && static_cast<std::size_t>(sent) < length;
    } else if (lost) {
      sent = -1;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return sent;
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

  void add_wait(WaitSet& set) override {
    set.add(fd_);
    if (send_refused_) set.add(fd_, true);
  }

  void set_farewell(const std::uint8_t* bytes, std::size_t length) override {
    farewell_.set(bytes, length);
  }

 private:
  int fd_;
  LinkFarewell farewell_;
  bool send_refused_ = false;  // the last send took less than it was given
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
  // A server whose host or network went away says nothing: the system ends the connection once
  // it has been silent for about 10 s (keepalive probes from 5 s on, one a second) or has left
  // sent data unacknowledged as long, and the port then counts it as lost.
  int idle_s = 5;
  int interval_s = 1;
  int probes = 5;
  unsigned int unacknowledged_ms = 10'000;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_ms, sizeof unacknowledged_ms);
  return fd;
}

}  // namespace

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
