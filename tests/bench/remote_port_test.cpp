// The remote port against a scripted COM-PORT-OPTION server in virtual time: negotiation, the
// settings and their answers (and their absence), 0xFF both ways, pacing by the remote line's
// time, and a lost connection. The server decodes the client's bytes with its own reading of the
// protocol and models a line that drains at the rate it was set to. Each way may be delayed as
// across a WAN, the bytes kept in order as TCP keeps them.
#include "remote_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "bounded_call.h"
#include "wendro.h"

namespace {

constexpr std::uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;
constexpr std::uint8_t COM_PORT = 44;
constexpr std::int64_t kMs = 1'000'000;

struct Command {
  std::uint8_t code;
  std::vector<std::uint8_t> value;
  std::int64_t at_ns;
};

class ScriptedServer : public serial::Link {
 public:
  // How the server answers a setting.
  enum class Answers { kAsAsked, kKeepsOld, kNone };
  Answers answers = Answers::kAsAsked;
  bool silent_on_stop_size_3 = true;  // like ser2net: 1.5 stop bits get no answer
  bool eight_byte_rate = false;       // like sredird: the rate answered in eight bytes
  std::int64_t hang_up_at_ns = -1;
  double rate_factor = 1;  // the rate set and answered, as a multiple of the one asked
  std::function<std::int64_t()> up_delay, down_delay;  // each segment's, none when empty

  // The line: rate and bits per frame in force, and when it has sent all it holds.
  std::uint32_t baud = 9600, size = 8, parity = 1, stop = 1;
  double line_free_ns = 0;
  double max_backlog_ns = 0;
  double max_gap_ns = 0;  // idle time between data bytes of a row, after its first
  std::vector<std::uint8_t> data;
  std::vector<Command> commands;
  std::vector<std::pair<std::uint8_t, std::uint8_t>> negotiations;
  std::vector<std::uint8_t> raw;  // every byte the client sent
  bool setting_while_line_busy = false;

  std::int64_t now = 0;
  bool connected = true;

  void greet() {  // what ser2net sends on connect
    push({IAC, WILL, 3, IAC, DO,   3, IAC, WILL, 1,        IAC, DONT, 1,
          IAC, DO,   0, IAC, WILL, 0, IAC, DO,   COM_PORT, IAC, DO,   24});
  }
  void push(std::vector<std::uint8_t> bytes) {
    down_at_ = std::max(down_at_, now + (down_delay ? down_delay() : 0));
    for (std::uint8_t b : bytes)
      to_client.emplace_back(down_at_, b);
  }
  void push_data(const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t b : bytes)
      push(b == IAC ? std::vector<std::uint8_t>{b, b} : std::vector<std::uint8_t>{b});
  }

  long send(const std::uint8_t* bytes, std::size_t length) override {
    check_hang_up();
    if (!connected) return -1;
    // The server's clock runs at the bytes' arrival while it handles them.
    std::int64_t client_now = now;
    now = up_at_ = std::max(up_at_, now + (up_delay ? up_delay() : 0));
    for (std::size_t i = 0; i < length; ++i)
      take(bytes[i]);
    now = client_now;
    return static_cast<long>(length);
  }
  long receive(std::uint8_t* buffer, std::size_t length) override {
    check_hang_up();
    if (to_client.empty()) return connected ? 0 : -1;
    std::size_t n = 0;
    for (; n < length && arrived(); to_client.pop_front())
      buffer[n++] = to_client.front().second;
    return static_cast<long>(n);
  }
  void wait(std::int64_t timeout_ns, bool) override {
    std::int64_t until = now + std::max<std::int64_t>(timeout_ns, 1);
    if (!arrived()) now = to_client.empty() ? until : std::min(until, to_client.front().first);
  }
  bool arrived() const { return !to_client.empty() && to_client.front().first <= now; }
  void sleep(std::int64_t duration_ns) override { now += std::max<std::int64_t>(duration_ns, 0); }
  std::int64_t now_ns() override { return now; }
  void set_farewell(const std::uint8_t*, std::size_t) override {}
  std::vector<std::uint8_t> farewell;

  double frame_ns() const {
    return 1e9 * (1 + size + (parity == 1 ? 0 : 1) + (stop == 1 ? 1 : 2)) / baud;
  }

 private:
  void check_hang_up() {
    if (hang_up_at_ns >= 0 && now >= hang_up_at_ns) connected = false;
  }
  void take(std::uint8_t b) {
    raw.push_back(b);
    switch (state_) {
      case 0:
        if (b == IAC) {
          state_ = 1;
        } else {
          line_byte(b);
        }
        return;
      case 1:
        if (b == IAC) {
          line_byte(IAC);
          state_ = 0;
        } else if (b == SB) {
          sub_.clear();
          state_ = 3;
        } else {
          verb_ = b;
          state_ = 2;
        }
        return;
      case 2:
        negotiations.emplace_back(verb_, b);
        state_ = 0;
        return;
      case 3:
        if (b == IAC) {
          state_ = 4;
        } else {
          sub_.push_back(b);
        }
        return;
      case 4:
        if (b == IAC) {
          sub_.push_back(IAC);
          state_ = 3;
        } else {
          state_ = 0;
          if (sub_.size() >= 2 && sub_[0] == COM_PORT) {
            command(sub_[1], std::vector<std::uint8_t>(sub_.begin() + 2, sub_.end()));
          }
        }
        return;
    }
  }
  void line_byte(std::uint8_t b) {
    double start = std::max<double>(line_free_ns, static_cast<double>(now));
    if (row_started_ && now > line_free_ns) max_gap_ns = std::max(max_gap_ns, now - line_free_ns);
    row_started_ = true;
    line_free_ns = start + frame_ns();
    max_backlog_ns = std::max(max_backlog_ns, line_free_ns - now);
    data.push_back(b);
  }
  void command(std::uint8_t code, std::vector<std::uint8_t> value) {
    commands.push_back({code, value, now});
    std::uint32_t* setting = code == 1   ? &baud
                             : code == 2 ? &size
                             : code == 3 ? &parity
                             : code == 4 ? &stop
                                         : nullptr;
    if (setting == nullptr || answers == Answers::kNone) return;
    std::uint32_t asked = 0;
    for (std::uint8_t b : value)
      asked = asked << 8 | b;
    if (asked != 0) {
      if (line_free_ns > now) setting_while_line_busy = true;
      row_started_ = false;  // a new row: the wait for the setting is no gap
      if (code == 1) asked = static_cast<std::uint32_t>(asked * rate_factor);
      if (code == 4 && asked == 3 && silent_on_stop_size_3) return;
      if (answers == Answers::kAsAsked) *setting = asked;
    }
    std::uint32_t v = *setting;
    std::vector<std::uint8_t> answer = {IAC, SB, COM_PORT, static_cast<std::uint8_t>(code + 100)};
    std::vector<std::uint8_t> bytes;
    if (code == 1) {
      bytes = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
      if (eight_byte_rate) bytes.insert(bytes.end(), 4, 0);
    } else {
      bytes = {static_cast<std::uint8_t>(v)};
    }
    for (std::uint8_t b : bytes) {
      answer.push_back(b);
      if (b == IAC) answer.push_back(IAC);
    }
    answer.push_back(IAC);
    answer.push_back(SE);
    push(answer);
  }

  std::deque<std::pair<std::int64_t, std::uint8_t>> to_client;  // with the time each arrives
  std::int64_t up_at_ = 0, down_at_ = 0;  // the last segment's arrival: none overtakes it
  bool row_started_ = false;
  int state_ = 0;
  std::uint8_t verb_ = 0;
  std::vector<std::uint8_t> sub_;
};

// The port's connection to a server that the test owns, so that it outlives the port's close.
class LinkTo : public serial::Link {
 public:
  explicit LinkTo(ScriptedServer& server) : server_(server) {}
  long send(const std::uint8_t* data, std::size_t length) override {
    return server_.send(data, length);
  }
  long receive(std::uint8_t* buffer, std::size_t length) override {
    return server_.receive(buffer, length);
  }
  void wait(std::int64_t timeout_ns, bool sending) override { server_.wait(timeout_ns, sending); }
  void sleep(std::int64_t duration_ns) override { server_.sleep(duration_ns); }
  std::int64_t now_ns() override { return server_.now_ns(); }
  void set_farewell(const std::uint8_t* bytes, std::size_t length) override {
    server_.farewell.assign(bytes, bytes + length);
  }

 private:
  ScriptedServer& server_;
};

std::unique_ptr<serial::RemotePort> open(ScriptedServer& server, bool greet = true) {
  if (greet) server.greet();
  return serial::RemotePort::open(std::make_unique<LinkTo>(server));
}

bool has(const std::vector<std::pair<std::uint8_t, std::uint8_t>>& list, std::uint8_t verb,
         std::uint8_t option) {
  return std::find(list.begin(), list.end(), std::make_pair(verb, option)) != list.end();
}

TEST(RemotePort, NegotiatesTheComPortAndRefusesWhatItDoesNotSupport) {
  ScriptedServer server_;
  ScriptedServer* server = &server_;
  auto port = open(server_);
  ASSERT_NE(port, nullptr);
  const auto& said = server->negotiations;
  EXPECT_TRUE(has(said, WILL, COM_PORT));
  EXPECT_TRUE(has(said, WILL, 0) && has(said, DO, 0) && has(said, WILL, 3) && has(said, DO, 3));
  EXPECT_TRUE(has(said, DONT, 1));   // the server's echo
  EXPECT_TRUE(has(said, WONT, 24));  // an option we do not do
  // Each agreement is answered once, never back and forth.
  EXPECT_EQ(std::count(said.begin(), said.end(), std::make_pair(WILL, std::uint8_t{0})), 1);
}

TEST(RemotePort, AServerThatIsNoComPortCannotBeOpened) {
  ScriptedServer refusing;
  refusing.push({IAC, DONT, COM_PORT});
  EXPECT_EQ(open(refusing, false), nullptr);

  ScriptedServer busy;
  const char text[] = "Port already in use\r\n";
  busy.push_data(std::vector<std::uint8_t>(text, text + sizeof text - 1));
  busy.hang_up_at_ns = 0;
  EXPECT_EQ(open(busy, false), nullptr);

  // A busy ser2net accepts the option first, then says so and hangs up.
  ScriptedServer accepting_then_busy;
  accepting_then_busy.greet();
  accepting_then_busy.push_data(std::vector<std::uint8_t>(text, text + sizeof text - 1));
  accepting_then_busy.hang_up_at_ns = 1;  // once the client has had the offer
  accepting_then_busy.answers = ScriptedServer::Answers::kNone;
  EXPECT_EQ(open(accepting_then_busy, false), nullptr);

  // Nothing at all: given up after the negotiation's time, not hung. Neither is a serial server
  // (a raw TCP port, say): no command reaches its line, not even the close's purge.
  ScriptedServer silent;
  EXPECT_EQ(open(silent, false), nullptr);
  EXPECT_GE(silent.now, 10'000 * kMs);
  EXPECT_LE(silent.now, 11'000 * kMs);
  EXPECT_TRUE(silent.commands.empty() && refusing.commands.empty());

  // The option taken and the settings never answered: the read fails after one answer's time.
  ScriptedServer mute;
  mute.answers = ScriptedServer::Answers::kNone;
  serial::DCB dcb;
  auto port = open(mute);
  EXPECT_TRUE(port && !port->GetCommState(dcb) && mute.now >= 3'000 * kMs &&
              mute.now <= 3'500 * kMs);
}

// A name lookup that never returns (the lookups of Linux and Windows run through this call).
TEST(RemotePort, ALookupThatNeverReturnsIsGivenUpInTime) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  static std::promise<void> freed;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(serial::call_within(
                [released]() -> void* { return released.wait(), new int; },
                [](void* late) { delete static_cast<int*>(late), freed.set_value(); }, 100),
            nullptr);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(waited >= std::chrono::milliseconds(100) && waited < std::chrono::seconds(5));
  release.set_value();  // what it gives once it ends is freed on its own thread
  EXPECT_EQ(freed.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  int value = 7;
  EXPECT_EQ(serial::call_within([&value]() -> void* { return &value; }, nullptr, 5000), &value);
}

TEST(RemotePort, SettingsAreAskedSetAndJudgedByTheirAnswers) {
  ScriptedServer server_;
  ScriptedServer* server = &server_;
  auto port = open(server_);
  ASSERT_NE(port, nullptr);
  serial::DCB dcb;
  ASSERT_TRUE(port->GetCommState(dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.Parity, serial::NOPARITY);

  // 8E2 at 4800: the protocol's even parity is 3 and two stop bits 2.
  serial::DCB row{4800, 8, serial::EVENPARITY, serial::TWOSTOPBITS};
  ASSERT_TRUE(port->SetCommState(row));
  EXPECT_EQ(server->baud, 4800u);
  EXPECT_EQ(server->parity, 3u);
  EXPECT_EQ(server->stop, 2u);

  // A server that answers with what its port kept (sredird on a pty) refuses the setting; its
  // rate comes in eight bytes.
  server->answers = ScriptedServer::Answers::kKeepsOld;
  server->eight_byte_rate = true;
  ASSERT_TRUE(port->GetCommState(dcb));
  EXPECT_EQ(dcb.BaudRate, 4800u);
  EXPECT_FALSE(port->SetCommState(serial::DCB{56000, 8, serial::NOPARITY, serial::ONESTOPBIT}));
  EXPECT_EQ(server->baud, 4800u);

  // A value the server leaves unanswered is refused after the answer's time, and the line's
  // settings are sent back.
  server->answers = ScriptedServer::Answers::kAsAsked;
  std::int64_t before = server->now;
  EXPECT_FALSE(port->SetCommState(serial::DCB{600, 5, serial::NOPARITY, serial::ONE5STOPBITS}));
  EXPECT_GE(server->now - before, 3'000 * kMs);
  EXPECT_EQ(server->baud, 4800u);
  EXPECT_EQ(server->size, 8u);
}

TEST(RemotePort, ByteFFIsDoubledBothWaysAndInValues) {
  ScriptedServer server_;
  ScriptedServer* server = &server_;
  auto port = open(server_);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetCommState(serial::DCB{65535, 8, serial::NOPARITY, serial::ONESTOPBIT}));
  EXPECT_EQ(server->baud, 65535u);

  const std::uint8_t out[] = {0xFF, 0x55, 0xFF, 0xFF, 0x00};
  std::uint32_t written = 0;
  ASSERT_TRUE(port->WriteFile(out, sizeof out, &written, nullptr));
  EXPECT_EQ(written, sizeof out);
  EXPECT_EQ(server->data, std::vector<std::uint8_t>(out, out + sizeof out));

  server->push_data({0xFF, 0x01, 0xFF});
  serial::COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = 200;
  port->SetCommTimeouts(timeouts);
  std::uint8_t in[8] = {};
  std::uint32_t received = 0;
  ASSERT_TRUE(port->ReadFile(in, sizeof in, &received, nullptr));
  ASSERT_EQ(received, 3u);
  EXPECT_EQ(in[0], 0xFF);
  EXPECT_EQ(in[1], 0x01);
  EXPECT_EQ(in[2], 0xFF);
}

TEST(RemotePort, WritesKeepTheRemoteLineBusyWithoutAPileAndSettingsWaitForIt) {
  ScriptedServer server_;
  ScriptedServer* server = &server_;
  auto port = open(server_);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetCommState(serial::DCB{38400, 8, serial::NOPARITY, serial::ONESTOPBIT}));
  std::uint8_t wave[256];
  std::memset(wave, 0xF0, sizeof wave);
  std::int64_t start = server->now;
  while (server->now - start < 2'000 * kMs)
    port->WriteFile(wave, sizeof wave, nullptr, nullptr);
  // At most the lead and a frame piled up in the server, and the line never ran dry.
  EXPECT_LE(server->max_backlog_ns, serial::RemotePort::kLeadNs + server->frame_ns() + kMs);
  EXPECT_LE(server->max_gap_ns, 1.0 * kMs);
  double seconds = (server->line_free_ns - start) / 1e9;
  EXPECT_NEAR(server->data.size() / seconds, 3840, 3840 * 0.02);

  // The next row's setting reaches the server only once the wave before it has left the line.
  ASSERT_TRUE(port->SetCommState(serial::DCB{9600, 8, serial::EVENPARITY, serial::TWOSTOPBITS}));
  EXPECT_FALSE(server->setting_while_line_busy);
}

// wendro's steps across a WAN: 50 ms each way and a jitter drawn evenly from +-20 ms. Within a row
// no idle gap over 20 ms; no setting reaches the server while the old row is on its line; a step's
// divisor is in force within 150 ms and a round trip of the write in progress returning, beyond
// that write's last four frames (two the pacer keeps at slow rows, two in the UART).
TEST(RemotePort, PacingAcrossAWanIsSizedByTheRoundTripsItMeasures) {
  for (unsigned seed : {1u, 2u, 3u}) {
    ScriptedServer server;
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::int64_t> jitter(-20 * kMs, 20 * kMs);
    server.up_delay = server.down_delay = [&] { return 50 * kMs + jitter(random); };
    auto port = open(server);
    ASSERT_NE(port, nullptr);
    double old_frame_ns = 0, worst_ns = 0;
    for (int index : {13, 14, 22, 28, 29, 6, 5, 17, 12, 0, 1, 21}) {
      const wendro::Rate& row = wendro::rate(index);
      std::int64_t key = server.now;
      ASSERT_TRUE(port->SetCommState(serial::DCB{row.baud, 8, row.parity, row.stop_bits}));
      auto set = std::find_if(server.commands.begin(), server.commands.end(),
                              [key](const Command& c) { return c.code == 1 && c.at_ns > key; });
      worst_ns = std::max(worst_ns, set->at_ns - key - 4 * old_frame_ns);
      old_frame_ns = 1e9 * (10 + (row.parity ? 1 : 0) + (row.stop_bits ? 1 : 0)) / row.baud;
      std::uint8_t wave[256];
      std::memset(wave, row.fill, sizeof wave);
      for (std::int64_t start = server.now; server.now - start < 1'500 * kMs;)
        port->WriteFile(wave, wendro::write_length(index), nullptr, nullptr);
    }
    EXPECT_LE(server.max_gap_ns, 20.0 * kMs) << seed;
    EXPECT_FALSE(server.setting_while_line_busy) << seed;
    EXPECT_LE(worst_ns, (150 + 100) * kMs) << seed;
    EXPECT_NEAR(port->round_trips().mean_ns(), 100 * kMs, 20 * kMs) << seed;
  }
}

TEST(RemotePort, OverlappedTransfersRunAtLineRateAndEndShortAfterTheInterval) {
  ScriptedServer server_;
  ScriptedServer* server = &server_;
  auto port = open(server_);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetCommState(serial::DCB{38400, 8, serial::NOPARITY, serial::ONESTOPBIT}));
  serial::COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = 200;
  port->SetCommTimeouts(timeouts);
  std::uint8_t stream[256];
  std::memset(stream, 0x55, sizeof stream);
  std::uint8_t in[768];
  serial::OVERLAPPED write_record, read_record;
  port->WriteFile(stream, sizeof stream, nullptr, &write_record);
  port->ReadFile(in, sizeof in, nullptr, &read_record);
  server->push_data(std::vector<std::uint8_t>(100, 0x55));
  std::int64_t start = server->now;
  std::uint32_t count = 0;
  bool read_done = false;
  while (server->now - start < 1'000 * kMs) {
    if (port->GetOverlappedResult(write_record, count, false)) {
      port->WriteFile(stream, sizeof stream, nullptr, &write_record);
    }
    if (!read_done && port->GetOverlappedResult(read_record, count, false)) {
      read_done = true;
      EXPECT_EQ(count, 100u);
      // The interval runs on the client's clock from the last byte.
      EXPECT_GT(server->now - start, 200 * kMs);
      EXPECT_LT(server->now - start, 260 * kMs);
    }
    server->sleep(kMs / 4);
  }
  EXPECT_TRUE(read_done);
  EXPECT_NEAR(server->data.size(), 3840, 3840 * 0.03);
  EXPECT_LE(server->max_backlog_ns, serial::RemotePort::kLeadNs + server->frame_ns() + kMs);
}

TEST(RemotePort, ALostConnectionFailsWithoutSpinningAndTheCloseRestoresWhatItFound) {
  ScriptedServer server_;
  ScriptedServer* server = &server_;
  auto port = open(server_);
  ASSERT_NE(port, nullptr);
  serial::DCB found;
  ASSERT_TRUE(port->GetCommState(found));
  ASSERT_TRUE(port->SetCommState(serial::DCB{600, 8, serial::NOPARITY, serial::ONESTOPBIT}));
  server->commands.clear();
  std::size_t sent_before_close = server->raw.size();
  port->CloseHandle();
  // A signal that ends the program sends what the close sends.
  EXPECT_EQ(server->farewell,
            std::vector<std::uint8_t>(server->raw.begin() + static_cast<long>(sent_before_close),
                                      server->raw.end()));
  ASSERT_GE(server->commands.size(), 2u);
  EXPECT_EQ(server->commands.front().code, 12);  // purge the server's transmit buffer
  EXPECT_EQ(server->baud, found.BaudRate);

  ScriptedServer other;
  server = &other;
  auto second = open(other);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(second->SetCommState(serial::DCB{600, 8, serial::NOPARITY, serial::ONESTOPBIT}));
  EXPECT_EQ(second->presence(), serial::PortPresence::kHere);
  server->hang_up_at_ns = server->now;
  // The loop's look sees the hang-up at once, without a transfer of its own.
  std::int64_t before = server->now;
  EXPECT_EQ(second->presence(), serial::PortPresence::kGone);
  EXPECT_EQ(server->now, before);
  std::uint8_t burst[60] = {};
  EXPECT_FALSE(second->WriteFile(burst, sizeof burst, nullptr, nullptr));
  // The failed write lasts as long as its bytes would have on the line: a loop sleeps.
  EXPECT_GE(server->now - before, 60 * 1'000 * kMs / 60);
  serial::DCB dcb;
  EXPECT_FALSE(second->GetCommState(dcb));
  serial::OVERLAPPED record;
  std::uint32_t count = 0;
  second->ReadFile(burst, sizeof burst, nullptr, &record);
  EXPECT_FALSE(second->GetOverlappedResult(record, count, false));
  second->CloseHandle();
}

// Behaviours that each hang on one comparison or constant: each row fails when its own changes.
TEST(RemotePort, WhatOneChangeWouldBreak) {
  serial::RemoteAddress address;
  auto url = [&address](const std::string& host, const char* port) {
    return serial::parse_remote_url(("rfc2217://" + host + ":" + port).c_str(), address);
  };
  const std::pair<const char*, std::function<bool(ScriptedServer&)>> rows[] = {
      {"a rate answered 5 % off the one asked is refused, 1 % off taken",
       [](ScriptedServer& server) {
         auto port = open(server);
         serial::DCB dcb{9600, 8, serial::NOPARITY, serial::ONESTOPBIT};
         server.rate_factor = 1.05;
         bool refused = port && !port->SetCommState(dcb);
         server.rate_factor = 1.01;
         return refused && port->SetCommState(dcb);
       }},
      {"the close purges the server's transmit buffer (2)",
       [](ScriptedServer& server) {
         open(server).reset();
         return !server.commands.empty() && server.commands.back().code == 12 &&
                server.commands.back().value[0] == 2;
       }},
      {"line data before the option is accepted is kept for the first read",
       [](ScriptedServer& server) {
         int replies = 0;  // the data alone first, the offer of the option 5 ms later
         server.down_delay = [&replies] { return replies++ == 0 ? 0 : 5 * kMs; };
         server.push_data({'o', 'k', 0xFF});
         auto port = open(server);
         if (!port) return false;
         std::uint8_t in[8] = {};
         std::uint32_t got = 0;
         serial::OVERLAPPED record;
         port->SetCommTimeouts(serial::COMMTIMEOUTS{200});
         port->ReadFile(in, sizeof in, nullptr, &record);
         server.sleep(300 * kMs);  // the read ends short, the interval after the kept bytes
         return port->GetOverlappedResult(record, got, false) && got == 3 && in[2] == 0xFF;
       }},
      {"a URL's port is at most 65535",
       [&](ScriptedServer&) { return url("h", "65535") && !url("h", "65536"); }},
      {"a host name that does not fit its buffer is refused, one that just fits kept whole",
       [&](ScriptedServer&) {
         std::string fits(serial::RemoteAddress::kHostSize - 1, 'a');
         return url(fits, "1") && fits == address.host && !url(fits + "a", "1");
       }},
  };
  for (const auto& row : rows) {
    ScriptedServer server;
    EXPECT_TRUE(row.second(server)) << row.first;
  }
}

TEST(TelnetParser, DropsAnOverlongSubnegotiationAndKeepsGoing) {
  ScriptedServer server_;
  ScriptedServer* server = &server_;
  auto port = open(server_);
  ASSERT_NE(port, nullptr);
  server->push({IAC, SB, COM_PORT, 101});
  for (int i = 0; i < 300; ++i)
    server->push({0x10});
  server->push({IAC, SE});
  // An answer cut off by another command, then a whole one.
  server->push({IAC, SB, COM_PORT, 107, IAC, DO, 3, IAC, SB, COM_PORT, 107, 0x10, IAC, SE});
  std::uint32_t status = 0;
  ASSERT_TRUE(port->GetCommModemStatus(status));
  EXPECT_EQ(status, serial::MS_CTS_ON);
  serial::DCB dcb;
  ASSERT_TRUE(port->GetCommState(dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
}

}  // namespace
