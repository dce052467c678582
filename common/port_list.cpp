#include "port_list.h"

namespace serial {

std::string describe_setting(std::uint32_t baud, std::uint8_t parity, std::uint8_t stop_bits) {
  static const char kParity[] = "NOEMS";
  std::string text = std::to_string(baud) + " baud 8";
  text += parity < sizeof kParity - 1 ? kParity[parity] : '?';
  text += stop_bits == 0 ? "1" : stop_bits == 1 ? "1.5" : "2";
  return text;
}

std::string format_port_list(const PortListing& listing) {
  std::string text;
  for (const ListedPort& port : listing.ports) {
    // The first word is what the completion and scripts take: a blank in a name would cut it.
    for (char c : port.name)
      text += (c == ' ' || c == '\t' || c == '\n') ? '?' : c;
    text += '\n';
    for (const std::string& fact : port.facts) {
      text += "  ";
      for (char c : fact)
        text += c == '\n' ? ' ' : c;
      text += '\n';
    }
  }
  // The notes stand apart from the blocks, indented, so that no note reads as a port's name.
  if (!listing.ports.empty()) text += '\n';
  if (listing.ports.empty()) text += "  No serial port found on this machine.\n";
  if (listing.left_out > 0) {
    text += "  Left out: " + std::to_string(listing.left_out) + " " + listing.left_out_kind + ".\n";
  }
  text += "  Remote ports are not listed: name one as rfc2217://HOST:PORT.\n";
  return text;
}

}  // namespace serial
