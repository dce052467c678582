// The Linux side of --list: every serial port of the machine, from sysfs, /dev and /proc alone.
#pragma once

#include <string>

#include "port_list.h"
#include "rate_generator.h"

namespace serial {

// Where the list looks; tests give it a tree of their own.
struct ListRoots {
  const char* sysfs = "/sys";
  const char* dev = "/dev";
  const char* proc = "/proc";
};

// The ports below roots.sysfs/class/tty that stand for hardware, in the kernel's order of names
// (ttyS2 before ttyS10), and what `needs` can do on each. Nothing is opened but sysfs and proc
// files and, for a CH341 or CP210x, its USB device node for a request that only reads.
PortListing list_posix_ports(const PortNeeds& needs, const ListRoots& roots = {});

// Why the hardware cannot carry this setting, or empty when it can; for "  800 Hz: the chip
// makes 8N1 only" and "56000 baud runs 57600, 2.9 % fast".
std::string refusal_reason(const RateGenerator& generator, const PortNeeds::Setting& setting);

// What tells the device behind a port name from another that may come under it later (see
// System::port_identity): "USB vvvv:pppp serial S at PATH" for a USB adapter, without the
// " at PATH" for a /dev/serial/by-id name, which names the adapter wherever it is plugged in.
// Empty for any other device, and when the name names no device now.
std::string posix_port_identity(const char* port_name, const char* sysfs_root = "/sys");

}  // namespace serial
