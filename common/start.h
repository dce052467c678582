// The start every tool shares: argument check, device name, exclusive open, line settings, and
// the exit status that ends the program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "console.h"
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
  KeyInput input = KeyInput::kLines;  // how the tool reads the keyboard once started
};

// The device name for a port argument: "COM" and the argument's first character (the argument
// "12" names COM1, an empty one names "COM"). An argument that begins with '/' is a device path
// and is used whole.
std::string device_name(const char* port_argument);

// The outcome of the start: either an open port with its settings, or the status to end with.
struct Started {
  int status = kQuitByUser;
  std::unique_ptr<SerialPort> port;  // set only when the start succeeded
  DCB dcb;                           // the settings read (and applied) at start
};

// Runs the start sequence. argc and argv are the process's own (argv[0] the program name).
// On failure the port, if opened, is closed again and nothing but the usage line is printed. On
// success the console is ready for the tool's keys before the tool's loop begins.
Started start_tool(const ToolProfile& profile, int argc, const char* const* argv, System& system);

}  // namespace serial
