// Turning the port argument into the device name the port is opened by.
#pragma once

#include <string>

#include "port_argument.h"

namespace serial {

// The device name for a port argument under the machine's naming: the device_name part of
// classify_port_argument, where the forms are told apart.
std::string device_name(const char* port_argument, const PortNaming& naming = {});

}  // namespace serial
