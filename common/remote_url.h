// The port argument of a serial port served over the network: rfc2217://HOST:PORT.
#pragma once

#include <cstddef>

namespace serial {

// Whether an argument asks for a remote port: it begins with "rfc2217://", in any case. Such an
// argument is used whole as the device name, and opens a remote port or nothing.
bool names_remote_port(const char* argument);

// Where a remote port is served. HOST is a name, an IPv4 address or an IPv6 address in brackets
// (given here without them); PORT is a TCP port from 1 to 65535.
struct RemoteAddress {
  static constexpr std::size_t kHostSize = 256;
  char host[kHostSize] = {};
  char port[6] = {};
};

// Reads rfc2217://HOST:PORT. False for anything else: a missing or empty host or port, a port out
// of range, characters a host name or address cannot hold, or anything after the port.
bool parse_remote_url(const char* argument, RemoteAddress& address);

}  // namespace serial
