// The pieces of the Windows world, built apart so that the system object only wires them up.
// No <windows.h> here: the tools' port constants share their names with its macros.
#pragma once

#include <cstdint>
#include <memory>

#include "console.h"
#include "port_list.h"
#include "serial_port.h"

namespace serial {
namespace win32 {

// Opens a serial device with CreateFileA: share mode 0, no security attributes, OPEN_EXISTING,
// no template. Null when Windows answers INVALID_HANDLE_VALUE.
std::unique_ptr<SerialPort> open_port(const char* device_name, std::uint32_t access,
                                      std::uint32_t flags);

// The process's console: conio while stdin and stdout are a console, stdio when either one is
// redirected to a pipe or a file.
std::unique_ptr<Console> make_console();

// The COM ports of the registry's SERIALCOMM map, with SetupAPI's friendly name and hardware id
// where the device has them; none is opened.
PortListing list_ports(const PortNeeds& needs);

// Has the console's Ctrl+C, Ctrl+Break and close events undo all the program changed (see
// restore_registry.h) before Windows ends the process.
void undo_on_console_events();

}  // namespace win32
}  // namespace serial
