#include "device_name.h"

#include <cstring>

#include "remote_url.h"

namespace serial {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_upper_or_lower(char c, char upper) {
  return c == upper || c == upper - 'A' + 'a';
}

// "COM" in any case followed by one or more digits and nothing else.
bool is_com_and_digits(const char* argument) {
  if (!is_upper_or_lower(argument[0], 'C') || !is_upper_or_lower(argument[1], 'O') ||
      !is_upper_or_lower(argument[2], 'M') || !is_digit(argument[3])) {
    return false;
  }
  for (const char* c = argument + 4; *c != '\0'; ++c) {
    if (!is_digit(*c)) return false;
  }
  return true;
}

}  // namespace

std::string device_name(const char* port_argument, const PortNaming& naming) {
  if (port_argument[0] == '/' || names_remote_port(port_argument)) return port_argument;
  if (naming.com_device_paths) {
    if (std::strncmp(port_argument, "\\\\.\\", 4) == 0) return port_argument;
    // Windows reaches COM1 to COM9 by their short names alone; the device namespace reaches
    // every number, COM10 and up included.
    if (is_com_and_digits(port_argument)) return std::string("\\\\.\\COM") + (port_argument + 3);
  }
  if (naming.device_exists != nullptr && is_letter(port_argument[0]) &&
      std::strchr(port_argument, '/') == nullptr) {
    std::string path = std::string("/dev/") + port_argument;
    if (naming.device_exists(path.c_str())) return path;
  }
  // The constant template "COM " with the space overwritten; an empty argument puts its
  // terminating zero there and leaves "COM".
  char name[] = "COM ";
  name[3] = port_argument[0];
  return name;
}

}  // namespace serial
