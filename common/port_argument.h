// Telling the port argument's forms apart: the one place that says what a port argument names.
// The start, the port list, the remote wrapper and the simulated port all ask it, so that they
// never disagree about an argument.
#pragma once

#include <string>

#include "remote_url.h"

namespace serial {

// How the machine a tool runs on names its ports, beyond the forms every machine shares.
struct PortNaming {
  // Windows: "COM" and digits, in any case, name that port whole through the device namespace
  // ("\\.\COM12"), and an argument that starts with "\\.\" is used whole.
  bool com_device_paths = false;
  // Linux: whether a device path exists. A bare name that starts with a letter ("ttyUSB0") then
  // names /dev/NAME when that exists.
  bool (*device_exists)(const char* path) = nullptr;
};

enum class PortForm {
  kSimulated,        // "sim", or "sim:FILE" to also record the waveform in FILE
  kRemote,           // begins with "rfc2217://" in any case: a remote port or nothing
  kDevicePath,       // begins with '/': a device path used whole
  kDeviceNamespace,  // Windows: begins with "\\.\", used whole
  kComNumber,        // Windows: "COM" and digits in any case, reached as "\\.\COMn"
  kBareName,         // Linux: a name starting with a letter, without '/', that exists in /dev
  kNumbered,         // first character '1'..'9': COM1..COM9 (a second character never counts)
  kFirstCharacter,   // anything else: "COM" and the first character, which names no real port
};

// What a port argument names, with its parts.
struct PortArgument {
  PortForm form = PortForm::kFirstCharacter;
  // The name the start hands the port opener. A path or a remote address is the argument
  // whole; the numbered and first-character forms give "COM" and the first character ("12"
  // gives COM1, an empty argument "COM"). The simulated form is diverted before any device is
  // named; inside its own world, whose naming is empty, it names "COMs".
  std::string device_name;
  int number = 0;                     // kNumbered: the port's number, 1..9
  std::string waveform_path;          // kSimulated: the file after "sim:" (all of it), else empty
  bool remote_address_valid = false;  // kRemote: HOST:PORT read (see parse_remote_url)
  RemoteAddress remote;               // kRemote and valid: host (without brackets) and port
};

// Reads a port argument under the machine's naming. Never fails: an argument that names no
// port is the first-character form, whose device then does not open.
PortArgument classify_port_argument(const char* argument, const PortNaming& naming = {});

// On Linux, the device file a device name opens: COM1..COM9 are /dev/ttyS0../dev/ttyS8 and a
// name that begins with '/' is used whole. Any other name ("COM", "COM0", "COMx", a remote
// address) names no device: empty.
std::string linux_device_path(const char* device_name);

}  // namespace serial
