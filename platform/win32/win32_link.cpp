// The remote port's connection on Windows: a non-blocking Winsock TCP socket.
#include "bounded_call.h"
#include "link.h"
#include "link_farewell.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

namespace serial {
namespace {

std::int64_t monotonic_ns() {
  static const ::LONGLONG frequency = [] {
    ::LARGE_INTEGER value;
    ::QueryPerformanceFrequency(&value);
    return value.QuadPart;
  }();
  ::LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return static_cast<std::int64_t>(now.QuadPart / frequency * 1'000'000'000 +
                                   now.QuadPart % frequency * 1'000'000'000 / frequency);
}

::timeval to_timeval(std::int64_t timeout_ns) {
  if (timeout_ns < 0) timeout_ns = 0;
  if (timeout_ns > 60'000'000'000) timeout_ns = 60'000'000'000;
  std::int64_t us = (timeout_ns + 999) / 1000;
  ::timeval value;
  value.tv_sec = static_cast<long>(us / 1'000'000);
  value.tv_usec = static_cast<long>(us % 1'000'000);
  return value;
}

bool winsock_ready() {
  static const bool ready = [] {
    ::WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

// The farewell's socket calls. The console's events run the farewell on a thread of their own.
long send_now(std::intptr_t socket, const std::uint8_t* bytes, std::size_t length) {
  int chunk = length > 65536 ? 65536 : static_cast<int>(length);
  int sent = ::send(static_cast<::SOCKET>(socket), reinterpret_cast<const char*>(bytes), chunk, 0);
  if (sent >= 0) return sent;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

bool wait_writable(std::intptr_t socket, int timeout_ms) {
  ::fd_set writable;
  ::fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(static_cast<::SOCKET>(socket), &writable);
  FD_SET(static_cast<::SOCKET>(socket), &failed);
  ::timeval timeout = to_timeval(static_cast<std::int64_t>(timeout_ms) * 1'000'000);
  return ::select(0, nullptr, &writable, &failed, &timeout) > 0 &&
         FD_ISSET(static_cast<::SOCKET>(socket), &writable) &&
         !FD_ISSET(static_cast<::SOCKET>(socket), &failed);
}

std::int64_t now_ms() {
  return monotonic_ns() / 1'000'000;
}

void pause_a_moment() {
  ::Sleep(1);
}

const FarewellSocket kFarewellSocket{send_now, wait_writable, now_ms, pause_a_moment};
static_assert(Link::kMaxFarewell <= LinkFarewell::kMaxBytes, "every farewell fits its record");

class WinsockLink final : public Link {
 public:
  explicit WinsockLink(::SOCKET socket)
      : socket_(socket),
        event_(::WSACreateEvent()),
        farewell_(static_cast<std::intptr_t>(socket), kFarewellSocket) {}
  ~WinsockLink() override {
    farewell_.forget();
    ::closesocket(socket_);
    if (event_ != WSA_INVALID_EVENT) ::WSACloseEvent(event_);
  }
  WinsockLink(const WinsockLink&) = delete;
  WinsockLink& operator=(const WinsockLink&) = delete;

  long send(const std::uint8_t* data, std::size_t length) override {
    // Counted against the farewell, which the console's event thread may send meanwhile.
    bool lost = false;
    if (!farewell_.begin_send(lost)) return lost ? -1 : 0;
    long sent = send_now(static_cast<std::intptr_t>(socket_), data, length);
    farewell_.end_send(data, sent);
    send_cut_ = sent >= 0 && static_cast<std::size_t>(sent) < length;
    send_blocked_ = sent == 0 && length > 0;
    return sent;
  }

  long receive(std::uint8_t* buffer, std::size_t length) override {
    int chunk = length > 65536 ? 65536 : static_cast<int>(length);
    int count = ::recv(socket_, reinterpret_cast<char*>(buffer), chunk, 0);
    if (count > 0) return count;
    if (count == 0) return -1;  // the server closed the connection
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
  }

  void wait(std::int64_t timeout_ns, bool for_sending) override {
    select_ready(for_sending, to_timeval(timeout_ns));
  }

  void sleep(std::int64_t duration_ns) override {
    if (duration_ns > 0) ::Sleep(static_cast<::DWORD>((duration_ns + 999'999) / 1'000'000));
  }

  std::int64_t now_ns() override { return monotonic_ns(); }

  // The socket's event: set by bytes coming, the server closing and, once a send was refused,
  // room to send. Winsock records each of those once until the call that re-enables it (a
  // receive, a refused send), so the recorded ones are cleared here and what is ready now is
  // asked directly: a wait then never sleeps past news, nor returns at once for old news.
  void add_wait(WaitSet& set) override {
    long mask = FD_READ | FD_CLOSE | (send_blocked_ ? FD_WRITE : 0);
    if (event_ == WSA_INVALID_EVENT ||
        (mask != selected_ && ::WSAEventSelect(socket_, event_, mask) != 0)) {
      set.wake_within(1'000'000);
      return;
    }
    selected_ = mask;
    ::WSANETWORKEVENTS recorded;
    ::WSAEnumNetworkEvents(socket_, event_, &recorded);
    if (ready_now()) {
      set.wake_now();
      return;
    }
    set.add(reinterpret_cast<std::intptr_t>(event_));
    // A send that took only part raises no FD_WRITE; the next one is refused or takes more.
    if (send_cut_) set.wake_within(1'000'000);
  }

  void set_farewell(const std::uint8_t* bytes, std::size_t length) override {
    farewell_.set(bytes, length);
  }

 private:
  // Bytes or a close to take now, or room for a send that was refused.
  bool ready_now() { return select_ready(send_blocked_, ::timeval{0, 0}); }

  // Waits up to `timeout` for bytes or a close to take (or, `for_sending`, room to send); true
  // when one came, or when the socket cannot be asked.
  bool select_ready(bool for_sending, ::timeval timeout) {
    ::fd_set readable;
    ::fd_set writable;
    ::fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket_, &readable);
    FD_SET(socket_, &failed);
    if (for_sending) FD_SET(socket_, &writable);
    return ::select(0, &readable, for_sending ? &writable : nullptr, &failed, &timeout) != 0;
  }

  ::SOCKET socket_;
  ::WSAEVENT event_;
  LinkFarewell farewell_;
  long selected_ = 0;          // the network events the event stands for now
  bool send_blocked_ = false;  // the last send was refused: the connection takes nothing now
  bool send_cut_ = false;      // the last send took less than it was given
};

// Connects one address within the time left; the socket, or INVALID_SOCKET.
::SOCKET connect_within(const ::addrinfo& address, std::int64_t deadline_ns) {
  ::SOCKET socket = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (socket == INVALID_SOCKET) return INVALID_SOCKET;
  ::u_long non_blocking = 1;
  ::ioctlsocket(socket, FIONBIO, &non_blocking);
  if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
      ::closesocket(socket);
      return INVALID_SOCKET;
    }
    ::fd_set writable;
    ::fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    ::timeval timeout = to_timeval(deadline_ns - monotonic_ns());
    if (::select(0, nullptr, &writable, &failed, &timeout) <= 0 || FD_ISSET(socket, &failed) ||
        !FD_ISSET(socket, &writable)) {
      ::closesocket(socket);
      return INVALID_SOCKET;
    }
  }
  BOOL on = TRUE;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  // A server whose host or network went away says nothing: the system ends the connection once
  // it has been silent for about 10 s (keepalive probes from 5 s on, ten of them half a second
  // apart) or has left sent data unacknowledged as long, and the port then counts it as lost.
  ::tcp_keepalive keepalive{1, 5000, 500};
  ::DWORD returned = 0;
  ::WSAIoctl(socket, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned,
             nullptr, nullptr);
  constexpr int kTcpMaxRetransmitSeconds = 5;  // TCP_MAXRT, which the headers may lack
  ::DWORD unacknowledged_s = 10;
  ::setsockopt(socket, IPPROTO_TCP, kTcpMaxRetransmitSeconds,
               reinterpret_cast<const char*>(&unacknowledged_s), sizeof unacknowledged_s);
  return socket;
}

}  // namespace

std::unique_ptr<Link> connect_link(const RemoteAddress& address, int timeout_ms) {
  if (!winsock_ready()) return nullptr;
  std::int64_t deadline = monotonic_ns() + static_cast<std::int64_t>(timeout_ms) * 1'000'000;
  // The lookup has the same time limit as the connect: a resolver that hangs fails the open.
  auto* found = static_cast<::addrinfo*>(call_within(
      [address]() -> void* {
        ::addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        ::addrinfo* list = nullptr;
        return ::getaddrinfo(address.host, address.port, &hints, &list) == 0 ? list : nullptr;
      },
      [](void* list) { ::freeaddrinfo(static_cast<::addrinfo*>(list)); }, timeout_ms));
  if (found == nullptr) return nullptr;
  ::SOCKET socket = INVALID_SOCKET;
  for (::addrinfo* candidate = found; candidate != nullptr && socket == INVALID_SOCKET;
       candidate = candidate->ai_next) {
    if (monotonic_ns() >= deadline) break;
    socket = connect_within(*candidate, deadline);
  }
  ::freeaddrinfo(found);
  if (socket == INVALID_SOCKET) return nullptr;
  return std::make_unique<WinsockLink>(socket);
}

}  // namespace serial
