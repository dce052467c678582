// Turning the port argument into the device name the port is opened by.
#pragma once

#include <string>

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

// The device name for a port argument. Every machine: an argument that begins with '/' is a
// device path used whole, and one that begins with "rfc2217://" a remote port's address, whole;
// otherwise the name is "COM" and the argument's first character (the argument "12" names COM1, an
// empty one names "COM"). `naming` adds the machine's own forms, which never change what a digit or
// a path names.
std::string device_name(const char* port_argument, const PortNaming& naming = {});

}  // namespace serial
