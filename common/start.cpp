#include "start.h"

#include <cstring>

#include "port_argument.h"
#include "returning_port.h"

#ifndef SERIAL_TOOLS_VERSION
#error "SERIAL_TOOLS_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace serial {
namespace {

const char kWindowsPortForms[] =
    "The port, the one argument:\n"
    "  1 ... 9            COM1 ... COM9; only the first character counts\n"
    "                     (12 is COM1)\n"
    "  COM12, com3        that COM port, any number, in any case\n"
    "  \\\\.\\COM12          a device path, used whole\n";

const char kLinuxPortForms[] =
    "The port, the one argument:\n"
    "  1 ... 9            /dev/ttyS0 ... /dev/ttyS8; only the first character counts\n"
    "                     (12 is /dev/ttyS0)\n"
    "  /dev/ttyUSB0       a device path, used whole (/dev/serial/by-id/... too)\n"
    "  ttyUSB0            /dev/ttyUSB0, when that exists; a name not in /dev names\n"
    "                     no port (COM1 would be /dev/COM1)\n";

const char kOtherPorts[] =
    "  rfc2217://HOST:PORT\n"
    "                     a serial port served over the network by a COM-PORT-OPTION\n"
    "                     (RFC 2217) server such as ser2net; HOST is a name, an IPv4\n"
    "                     address or [IPv6] (lorvel refuses it)\n"
    "  sim, sim:FILE.vcd  the built-in simulated port; FILE records the lines as a\n"
    "                     Value Change Dump\n";

const char kConsoleRefused[] =
    "A port that carries the system console is refused: the kernel's messages would\n"
    "go into the waveform.\n";

const char kCommonHelp[] =
    "\n"
    "Exit status:\n"
    "  0  quit by the user\n"
    "  1  wrong argument count (the usage line is printed)\n"
    "  2  the port could not be opened (a remote port: not connected)\n"
    "  3  its settings could not be read: a remote port whose server does not\n"
    "     answer, or on Windows a device that is not a comm port\n"
    "  4  its settings were refused\n"
    "Nothing else is printed on a failure (but for the simulated port's notes on\n"
    "standard error).\n"
    "A port that goes away (an adapter pulled out, a remote server ended) is waited\n"
    "for, and used again once the same port is back; q quits meanwhile.\n"
    "\n"
    "  -l, --list         the serial ports of this machine, without opening any: for\n"
    "                     each the name to pass (first, at column 0), what it is,\n"
    "                     what this program can do there and why it would not open\n"
    "  -h, --help         this help\n"
    "  -V, --version      the name and version\n";

void write(Console& console, const char* text) {
  console.write_text(text, std::strlen(text));
}

void print_help(const ToolProfile& profile, System& system) {
  Console& console = system.console();
  console.print("Usage: %s PORT\n\n", profile.name);
  write(console, profile.help);
  write(console, "\n");
  bool windows = system.port_naming().com_device_paths;
  write(console, windows ? kWindowsPortForms : kLinuxPortForms);
  write(console, kOtherPorts);
  if (!windows) write(console, kConsoleRefused);
  write(console, kCommonHelp);
}

void print_list(const ToolProfile& profile, System& system) {
  PortNeeds needs;
  needs.program = profile.name;
  if (profile.applies_settings) {
    needs.start.baud = profile.start_settings.BaudRate;
    needs.start.parity = profile.start_settings.Parity;
    needs.start.stop_bits = profile.start_settings.StopBits;
  }
  PortNeeds::Setting row;
  for (int index = 0; profile.listed_row != nullptr && profile.listed_row(index, row); ++index) {
    needs.rows.push_back(row);
  }
  std::string text = format_port_list(system.list_ports(needs));
  write(system.console(), text.c_str());
}

bool is_any_of(const char* argument, const char* short_form, const char* long_form) {
  return std::strcmp(argument, short_form) == 0 || std::strcmp(argument, long_form) == 0;
}

}  // namespace

Started start_tool(const ToolProfile& profile, int argc, const char* const* argv, System& system) {
  Started started;
  if (argc != 2) {
    system.console().puts(profile.usage_line);
    started.status = kWrongArgumentCount;
    return started;
  }
  if (is_any_of(argv[1], "-h", "--help")) {
    print_help(profile, system);
    return started;
  }
  if (is_any_of(argv[1], "-V", "--version")) {
    system.console().print("%s %s\n", profile.name, SERIAL_TOOLS_VERSION);
    return started;
  }
  if (is_any_of(argv[1], "-l", "--list")) {
    print_list(profile, system);
    return started;
  }
  const PortArgument port_argument = classify_port_argument(argv[1], system.port_naming());
  if (profile.local_port_only && port_argument.form == PortForm::kRemote) {
    started.status = kPortNotOpened;
    return started;
  }
  std::unique_ptr<SerialPort> port =
      system.CreateFileA(port_argument.device_name.c_str(), profile.access, profile.flags);
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
  PortOrigin origin;
  origin.program = profile.name;
  origin.typed = argv[1];
  origin.device_name = port_argument.device_name;
  origin.access = profile.access;
  origin.flags = profile.flags;
  origin.reads_settings = profile.reads_settings;
  origin.identity = system.port_identity(port_argument.device_name.c_str());
  origin.remote = port_argument.form == PortForm::kRemote;
  started.port = std::make_unique<ReturningPort>(std::move(port), system, std::move(origin));
  system.console().begin_input(profile.input);
  return started;
}

}  // namespace serial
