#include "start.h"

namespace serial {

std::string device_name(const char* port_argument) {
  if (port_argument[0] == '/') return port_argument;
  // The constant template "COM " with the space overwritten; an empty argument puts its
  // terminating zero there and leaves "COM".
  char name[] = "COM ";
  name[3] = port_argument[0];
  return name;
}

Started start_tool(const ToolProfile& profile, int argc, const char* const* argv, System& system) {
  Started started;
  if (argc != 2) {
    system.console().puts(profile.usage_line);
    started.status = kWrongArgumentCount;
    return started;
  }
  std::unique_ptr<SerialPort> port =
      system.CreateFileA(device_name(argv[1]).c_str(), profile.access, profile.flags);
  if (!port) {
    started.status = kPortNotOpened;
    return started;
  }
  if (profile.reads_settings) {
    if (!port->GetCommState(started.dcb)) {
      port->CloseHandle();
      started.status = kSettingsNotRead;
      return started;
    }
  }
  if (profile.applies_settings) {
    started.dcb.BaudRate = profile.start_settings.BaudRate;
    started.dcb.ByteSize = profile.start_settings.ByteSize;
    started.dcb.Parity = profile.start_settings.Parity;
    started.dcb.StopBits = profile.start_settings.StopBits;
    if (!port->SetCommState(started.dcb)) {
      port->CloseHandle();
      started.status = kSettingsRefused;
      return started;
    }
  }
  started.port = std::move(port);
  system.console().begin_input(profile.input);
  return started;
}

}  // namespace serial
