// The start every tool shares: argument check, device name, exclusive open, line settings, and
// the exit status that ends the program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "console.h"
#include "device_name.h"
#include "port_list.h"
#include "serial_port.h"

namespace serial {

// Exit statuses of every tool.
enum ExitStatus : int {
  kQuitByUser = 0,
  kWrongArgumentCount = 1,
  kPortNotOpened = 2,
  kSettingsNotRead = 3,
  kSettingsRefused = 4,
};

// What the tools run against: the port opener and the console. Linux, Windows and the bench each
// provide one.
class System {
 public:
  virtual ~System() = default;
  // Opens the named device for exclusive use; null stands for INVALID_HANDLE_VALUE.
  virtual std::unique_ptr<SerialPort> CreateFileA(const char* device_name, std::uint32_t access,
                                                  std::uint32_t flags) = 0;
  virtual Console& console() = 0;
  // The machine's own port name forms; the bench and the simulated port have none.
  virtual PortNaming port_naming() { return {}; }
  // The machine's serial ports and what `needs` can do on each, found without opening any;
  // the bench and the simulated port have none.
  virtual PortListing list_ports(const PortNeeds& needs) {
    (void)needs;
    return {};
  }
  // What tells the device behind this name from another that may later come under it: for a USB
  // adapter its vendor, product, serial number and, unless the name itself is the adapter's own
  // (/dev/serial/by-id), where it is plugged in. Empty where the system has no such facts, or
  // the name names no device now.
  virtual std::string port_identity(const char* device_name) {
    (void)device_name;
    return {};
  }
  // Sleeps until the port or the console has news (see add_wait on each) or `timeout_ms` passes
  // (negative: no timeout of the caller's own). It may return early; the caller then simply
  // makes its next pass. Where the system cannot sleep on both, it sleeps a millisecond.
  virtual void wait_for_events(SerialPort& port, long timeout_ms) {
    (void)port;
    if (timeout_ms != 0) console().Sleep(1);
  }
};

// A tool's whole program after the process entry; returns the exit status.
using ToolEntry = int (*)(int argc, const char* const* argv, System& system);

// How one tool starts.
struct ToolProfile {
  const char* usage_line;  // written with puts when the argument count is wrong
  std::uint32_t access;
  std::uint32_t flags;
  bool reads_settings;    // GetCommState into the DCB kept for the run
  bool applies_settings;  // SetCommState with start_settings' four fields
  DCB start_settings;
  const char* name;  // the program's name, for --version
  // What --help says about this tool: what it puts on the line and its keys. The port forms
  // and the exit statuses follow it.
  const char* help;
  KeyInput input = KeyInput::kLines;  // how the tool reads the keyboard once started
  // A tool whose exchange needs the modem lines at once cannot work through a remote port,
  // whose server reads them about once a second: such an argument ends with status 2, before
  // anything is connected.
  bool local_port_only = false;
  // wendro's rows for --list to judge: row `index` into `setting`, false past the last. Null for
  // a tool that has none (tessik and kadrel are judged by start_settings).
  bool (*listed_row)(int index, PortNeeds::Setting& setting) = nullptr;
};

// The outcome of the start: either an open port with its settings, or the status to end with.
struct Started {
  int status = kQuitByUser;
  // Set only when the start succeeded: a ReturningPort, which opens the port again after its
  // device went away and came back.
  std::unique_ptr<SerialPort> port;
  DCB dcb;  // the settings read (and applied) at start
};

// Runs the start sequence. argc and argv are the process's own (argv[0] the program name).
// On failure the port, if opened, is closed again and nothing but the usage line is printed. On
// success the console is ready for the tool's keys before the tool's loop begins. The single
// argument -h or --help prints the help, -V or --version the name and version, -l or --list the
// machine's serial ports, each on standard output; the status is then 0 and no port is opened.
Started start_tool(const ToolProfile& profile, int argc, const char* const* argv, System& system);

}  // namespace serial
