#include "port_argument.h"

#include <cstring>

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

// The device forms, in the order they are told apart: a path and a remote address on every
// machine, then the machine's own forms, which never change what a digit or a path names.
void classify_device(const char* argument, const PortNaming& naming, PortArgument& parsed) {
  if (argument[0] == '/') {
    parsed.form = PortForm::kDevicePath;
    parsed.device_name = argument;
    return;
  }
  if (names_remote_port(argument)) {
    parsed.form = PortForm::kRemote;
    parsed.device_name = argument;
    parsed.remote_address_valid = parse_remote_url(argument, parsed.remote);
    return;
  }
  if (naming.com_device_paths) {
    if (std::strncmp(argument, "\\\\.\\", 4) == 0) {
      parsed.form = PortForm::kDeviceNamespace;
      parsed.device_name = argument;
      return;
    }
    // Windows reaches COM1 to COM9 by their short names alone; the device namespace reaches
    // every number, COM10 and up included.
    if (is_com_and_digits(argument)) {
      parsed.form = PortForm::kComNumber;
      parsed.device_name = std::string("\\\\.\\COM") + (argument + 3);
      return;
    }
  }
  if (naming.device_exists != nullptr && is_letter(argument[0]) &&
      std::strchr(argument, '/') == nullptr) {
    std::string path = std::string("/dev/") + argument;
    if (naming.device_exists(path.c_str())) {
      parsed.form = PortForm::kBareName;
      parsed.device_name = std::move(path);
      return;
    }
  }
  // The constant template "COM " with the space overwritten; an empty argument puts its
  // terminating zero there and leaves "COM".
  char name[] = "COM ";
  name[3] = argument[0];
  parsed.device_name = name;
  if (argument[0] >= '1' && argument[0] <= '9') {
    parsed.form = PortForm::kNumbered;
    parsed.number = argument[0] - '0';
  } else {
    parsed.form = PortForm::kFirstCharacter;
  }
}

}  // namespace

PortArgument classify_port_argument(const char* argument, const PortNaming& naming) {
  PortArgument parsed;
  if (argument == nullptr) argument = "";
  classify_device(argument, naming, parsed);
  // The simulated port comes before any device: its argument never reaches a port opener outside
  // its own world, so the device name stays what the argument names there (a bare name or the
  // first character, neither of which has other parts).
  if (std::strcmp(argument, "sim") == 0 || std::strncmp(argument, "sim:", 4) == 0) {
    parsed.form = PortForm::kSimulated;
    if (argument[3] == ':') parsed.waveform_path = argument + 4;
  }
  return parsed;
}

std::string linux_device_path(const char* device_name) {
  if (device_name == nullptr) return {};
  if (device_name[0] == '/') return device_name;
  if (std::strncmp(device_name, "COM", 3) == 0 && device_name[3] >= '1' && device_name[3] <= '9' &&
      device_name[4] == '\0') {
    return std::string("/dev/ttyS") + static_cast<char>(device_name[3] - 1);
  }
  return {};
}

}  // namespace serial
