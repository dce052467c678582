// The farewell of a remote port's connection: the bytes that drop the server's queue and give its
// port the settings it was found with, sent when the program ends without its close (a signal, a
// console event). It goes out whole or not at all: never behind a command the connection has only
// partly sent (the server would read it as that command's rest), and not when the socket will not
// take it within kFarewellWaitMs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "restore_registry.h"

namespace serial {

// Follows the Telnet framing of the bytes a client has sent: whether they end between two
// commands (data, IAC IAC, IAC verb option, IAC SB ... IAC SE) or inside one.
class TelnetFraming {
 public:
  enum State : int { kBetween, kCommand, kOption, kSub, kSubCommand };
  static State advance(State state, const std::uint8_t* bytes, std::size_t length);
};

// The socket calls a farewell needs, each async-signal-safe (plain system calls).
struct FarewellSocket {
  // Sends without blocking: the bytes taken, 0 when none now, -1 when the connection is lost.
  long (*send)(std::intptr_t socket, const std::uint8_t* bytes, std::size_t length);
  // True once the socket can take bytes, false when `timeout_ms` passes first.
  bool (*wait_writable)(std::intptr_t socket, int timeout_ms);
  std::int64_t (*now_ms)();
  void (*pause_a_moment)();
};

class LinkFarewell {
 public:
  static constexpr std::size_t kMaxBytes = 96;
  static constexpr int kFarewellWaitMs = 100;

  LinkFarewell(std::intptr_t socket, const FarewellSocket& calls)
      : socket_(socket), calls_(&calls) {}
  ~LinkFarewell() { forget(); }
  LinkFarewell(const LinkFarewell&) = delete;
  LinkFarewell& operator=(const LinkFarewell&) = delete;

  // Records (or replaces) the farewell. Longer than kMaxBytes: no farewell at all.
  void set(const std::uint8_t* bytes, std::size_t length);
  // Forgets it: before the socket is closed, since socket numbers are reused.
  void forget();

  // Around every send of the connection. begin_send is false when the connection must not
  // send now: its farewell is going out (`lost` false) or was cut short (`lost` true). The
  // caller keeps signals off between the two on Linux, so that a handler never meets a send
  // whose outcome is not yet counted.
  bool begin_send(bool& lost);
  void end_send(const std::uint8_t* bytes, long sent);

  // The stream's framing so far; kBetween when the farewell may go.
  TelnetFraming::State framing() const;

 private:
  struct State {
    std::intptr_t socket;
    const FarewellSocket* calls;
    std::atomic<int>* wire;
    std::uint8_t bytes[kMaxBytes];
    std::size_t length;
  };
  static void send_farewell(const void* state, restore::Way way);

  std::intptr_t socket_;
  const FarewellSocket* calls_;
  // A TelnetFraming state while nobody sends, or one of the values below.
  std::atomic<int> wire_{TelnetFraming::kBetween};
  TelnetFraming::State before_send_ = TelnetFraming::kBetween;
  restore::Entry entry_ = restore::kNoEntry;
};

}  // namespace serial
