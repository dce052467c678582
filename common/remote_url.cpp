#include "remote_url.h"

#include <cstring>

namespace serial {
namespace {

constexpr char kScheme[] = "rfc2217://";
constexpr std::size_t kSchemeLength = sizeof kScheme - 1;

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_alnum(char c) {
  return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'z');
}

// A DNS name or an IPv4 address: letters, digits, '-', '.' and '_'.
bool is_name_char(char c) {
  return is_alnum(c) || c == '-' || c == '.' || c == '_';
}

// An IPv6 address inside brackets, with an optional zone after '%' ("fe80::1%eth0").
bool is_ipv6_char(char c) {
  return is_alnum(c) || c == ':' || c == '.' || c == '%' || c == '-' || c == '_';
}

}  // namespace

bool names_remote_port(const char* argument) {
  if (argument == nullptr) return false;
  for (std::size_t i = 0; i < kSchemeLength; ++i) {
    if (lower(argument[i]) != kScheme[i]) return false;
  }
  return true;
}

bool parse_remote_url(const char* argument, RemoteAddress& address) {
  address = RemoteAddress{};
  if (!names_remote_port(argument)) return false;
  const char* host = argument + kSchemeLength;
  const char* host_end = nullptr;
  const char* after_host = nullptr;
  if (*host == '[') {
    ++host;
    host_end = std::strchr(host, ']');
    if (host_end == nullptr) return false;
    for (const char* c = host; c < host_end; ++c) {
      if (!is_ipv6_char(*c)) return false;
    }
    after_host = host_end + 1;
  } else {
    host_end = host;
    while (is_name_char(*host_end))
      ++host_end;
    after_host = host_end;
  }
  auto host_length = static_cast<std::size_t>(host_end - host);
  if (host_length == 0 || host_length >= RemoteAddress::kHostSize) return false;
  if (*after_host != ':') return false;
  const char* port = after_host + 1;
  unsigned long number = 0;
  std::size_t digits = 0;
  for (; is_digit(port[digits]); ++digits) {
    if (digits == 5) return false;
    number = number * 10 + static_cast<unsigned long>(port[digits] - '0');
  }
  if (digits == 0 || port[digits] != '\0' || number == 0 || number > 65535) return false;
  std::memcpy(address.host, host, host_length);
  address.host[host_length] = '\0';
  std::memcpy(address.port, port, digits);
  address.port[digits] = '\0';
  return true;
}

}  // namespace serial
