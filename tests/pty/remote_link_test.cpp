// The remote port's connection on Linux against a listening socket of the test's own on
// 127.0.0.1: a refused connection, a server that hangs up, and the farewell a fatal signal sends.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "link.h"
#include "posix_port.h"
#include "restore_registry.h"

namespace {

class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd_, 1) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "no listening socket on 127.0.0.1";
    }
    port_ = std::to_string(ntohs(address.sin_port));
  }
  ~Listener() {
    if (accepted_ >= 0) ::close(accepted_);
    if (fd_ >= 0) ::close(fd_);
  }
  serial::RemoteAddress address() const {
    serial::RemoteAddress a;
    std::strcpy(a.host, "127.0.0.1");
    std::strcpy(a.port, port_.c_str());
    return a;
  }
  int accept() { return accepted_ = ::accept(fd_, nullptr, nullptr); }
  void stop_listening() {
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int accepted_ = -1;
  std::string port_;
};

TEST(RemoteLink, RefusedAtOnceWhereNobodyListens) {
  Listener listener;
  serial::RemoteAddress address = listener.address();
  listener.stop_listening();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(serial::connect_link(address, 5000), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(RemoteLink, SendsItsFarewellWholeBetweenCommandsAndSeesTheServerHangUp) {
  Listener listener;
  auto link = serial::connect_link(listener.address(), 5000);
  ASSERT_NE(link, nullptr);
  int server = listener.accept();
  ASSERT_GE(server, 0);

  const std::uint8_t farewell[] = {255, 250, 44, 12, 2, 255, 240};
  const std::uint8_t rate[] = {255, 250, 44, 1, 0, 0, 37, 128, 255, 240};
  // Half a command sent: a farewell now would be read as its rest, so none goes.
  ASSERT_EQ(link->send(rate, 4), 4);
  link->set_farewell(farewell, sizeof farewell);
  serial::restore::undo_all(serial::restore::Caller::kSignalHandler);
  ASSERT_EQ(link->send(rate + 4, sizeof rate - 4), static_cast<long>(sizeof rate - 4));
  link->set_farewell(farewell, sizeof farewell);
  serial::restore::undo_all(serial::restore::Caller::kSignalHandler);
  std::uint8_t got[32] = {};
  std::size_t count = 0;
  pollfd watch{server, POLLIN, 0};
  while (count < sizeof rate + sizeof farewell && ::poll(&watch, 1, 2000) == 1) {
    ssize_t n = ::recv(server, got + count, sizeof got - count, 0);
    if (n <= 0) break;
    count += static_cast<std::size_t>(n);
  }
  ASSERT_EQ(::poll(&watch, 1, 200), 0);  // nothing more
  ASSERT_EQ(count, sizeof rate + sizeof farewell);
  EXPECT_EQ(std::memcmp(got, rate, sizeof rate), 0);
  EXPECT_EQ(std::memcmp(got + sizeof rate, farewell, sizeof farewell), 0);

  ::shutdown(server, SHUT_RDWR);
  link->wait(2'000'000'000, false);
  std::uint8_t buffer[8];
  EXPECT_EQ(link->receive(buffer, sizeof buffer), -1);
  // Writing into a closed connection fails; it never raises SIGPIPE, which would end the tool.
  for (int i = 0; i < 3; ++i)
    link->send(buffer, sizeof buffer);
  EXPECT_EQ(link->send(buffer, sizeof buffer), -1);
}

}  // namespace
