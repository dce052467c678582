// The network connection under a remote port: the thin seam between one port source and the
// socket calls of Linux and of Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "event_wait.h"
#include "remote_url.h"

namespace serial {

class Link {
 public:
  virtual ~Link() = default;
  // Never blocks: the bytes the connection took (0 when it takes none now), or -1 once it is lost.
  virtual long send(const std::uint8_t* data, std::size_t length) = 0;
  // Never blocks: the bytes that came (0 when none are waiting), or -1 once it is lost or closed
  // by the server.
  virtual long receive(std::uint8_t* buffer, std::size_t length) = 0;
  // Sleeps until bytes come (or, with `for_sending`, until more can be sent), or the timeout
  // passes (0 or more nanoseconds).
  virtual void wait(std::int64_t timeout_ns, bool for_sending) = 0;
  // Sleeps the whole time, whatever the connection does (a lost one is always "ready").
  virtual void sleep(std::int64_t duration_ns) = 0;
  // Monotonic nanoseconds.
  virtual std::int64_t now_ns() = 0;
  // Bytes sent when the program ends without its close (a signal, a console event): what drops
  // the server's queue and gives the port back its found settings. At most kMaxFarewell bytes;
  // they go out whole or not at all (see link_farewell.h).
  static constexpr std::size_t kMaxFarewell = 96;
  virtual void set_farewell(const std::uint8_t* bytes, std::size_t length) = 0;
  // What wakes a loop that waits for this connection (see event_wait.h): bytes coming, the
  // connection closing, and room to send once a send was refused. A link that offers nothing to
  // sleep on is polled again within a millisecond.
  virtual void add_wait(WaitSet& set) { set.wake_within(1'000'000); }
};

// Connects to the server within `timeout_ms`; null when nobody answers or listens there. The
// connection sends small writes at once (no Nagle delay): settings and paced data are due now.
// A server that falls silent (its host or the network gone) has the connection ended by the
// system after about 10 s, idle or not: the link then counts it as lost.
std::unique_ptr<Link> connect_link(const RemoteAddress& address, int timeout_ms);

}  // namespace serial
