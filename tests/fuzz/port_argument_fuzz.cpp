// A port argument of any bytes through the one place that tells the port forms apart, under
// each machine's naming: the form it reports, the device name, the simulated port's file, the
// remote address and the Linux device path must each be what the argument's documented form
// says, and the simulated port's own reading must agree.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "live_system.h"
#include "port_argument.h"

namespace {

const char* g_argument = nullptr;
bool g_device_exists = false;
int g_device_questions = 0;

[[noreturn]] void fail(const char* what, const std::string& got) {
  std::fprintf(stderr, "property failed: port argument \"%s\": %s (got \"%s\")\n", g_argument, what,
               got.c_str());
  std::abort();
}

// The Linux naming's question whether a device exists: it may only ever ask for /dev/ and the
// argument itself.
bool device_exists(const char* path) {
  ++g_device_questions;
  if (std::string(path) != std::string("/dev/") + g_argument)
    fail("asked about another path", path);
  return g_device_exists;
}

std::string com_and_first_character(const char* argument) {
  return argument[0] == '\0' ? "COM" : std::string("COM") + argument[0];
}

// "COM" in any case, then one or more digits and nothing else.
bool is_com_number(const std::string& argument) {
  if (argument.size() < 4) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(argument[i])) != "COM"[i]) return false;
  }
  for (std::size_t i = 3; i < argument.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(argument[i]))) return false;
  }
  return true;
}

// "rfc2217://" in any case: a remote port's address, used whole on every machine.
bool is_remote(const std::string& argument) {
  static const char kScheme[] = "rfc2217://";
  if (argument.size() < sizeof kScheme - 1) return false;
  for (std::size_t i = 0; i + 1 < sizeof kScheme; ++i) {
    if (std::tolower(static_cast<unsigned char>(argument[i])) != kScheme[i]) return false;
  }
  return true;
}

using serial::PortForm;

// The reading under one machine's naming must be `form`, `name` and the Linux device file `path`,
// with the parts only that form has.
void check_reading(const char* machine, const serial::PortNaming& naming, PortForm form,
                   const std::string& name, const std::string& path) {
  const std::string whole = g_argument;
  serial::PortArgument got = serial::classify_port_argument(g_argument, naming);
  std::string at = std::string(machine) + ": ";
  if (got.form != form) fail((at + "form").c_str(), std::to_string(static_cast<int>(got.form)));
  if (got.device_name != name) fail((at + "device name").c_str(), got.device_name);
  if (serial::linux_device_path(name.c_str()) != path)
    fail((at + "Linux device file").c_str(), serial::linux_device_path(name.c_str()));
  // The file name is all of the argument after "sim:", spaces and any other bytes included.
  if (got.waveform_path != (whole.compare(0, 4, "sim:") == 0 ? whole.substr(4) : ""))
    fail((at + "waveform file").c_str(), got.waveform_path);
  if (got.number != (form == PortForm::kNumbered ? whole[0] - '0' : 0))
    fail((at + "port number").c_str(), std::to_string(got.number));
  // The remote parts are the URL parser's reading, and only a remote argument has them.
  serial::RemoteAddress address;
  const bool valid = form == PortForm::kRemote && serial::parse_remote_url(g_argument, address);
  if (got.remote_address_valid != valid || std::strcmp(got.remote.host, address.host) != 0 ||
      std::strcmp(got.remote.port, address.port) != 0)
    fail((at + "remote address").c_str(), std::string(got.remote.host) + " " + got.remote.port);
}

void check_port_argument(const char* argument) {
  const std::string whole = argument;
  const bool simulated = whole == "sim" || whole.compare(0, 4, "sim:") == 0;
  const bool numbered = argument[0] >= '1' && argument[0] <= '9';
  // Every machine: a path or a remote port's address is used whole, anything else is COM and
  // its first character; of these only COM1..COM9 (/dev/ttyS0..8) and a path name a Linux file.
  PortForm form = numbered ? PortForm::kNumbered : PortForm::kFirstCharacter;
  std::string name = com_and_first_character(argument);
  std::string path = numbered ? std::string("/dev/ttyS") + static_cast<char>(argument[0] - 1) : "";
  if (argument[0] == '/') {
    form = PortForm::kDevicePath;
    name = path = whole;
  } else if (is_remote(whole)) {
    form = PortForm::kRemote;
    name = whole;
    path = "";
  } else if (simulated) {
    form = PortForm::kSimulated;
  }
  check_reading("every machine", {}, form, name, path);

  // Windows: COM and digits, and "\\.\" names, reach the device namespace.
  const bool machine_form = form != PortForm::kDevicePath && form != PortForm::kRemote;
  if (machine_form && whole.compare(0, 4, "\\\\.\\") == 0) {
    check_reading("Windows", {true, nullptr}, PortForm::kDeviceNamespace, whole, "");
  } else if (machine_form && is_com_number(whole)) {
    check_reading("Windows", {true, nullptr}, PortForm::kComNumber, "\\\\.\\COM" + whole.substr(3),
                  "");
  } else {
    check_reading("Windows", {true, nullptr}, form, name, path);
  }

  // Linux: a bare name that starts with a letter is the device /dev/NAME when that exists, and
  // only then is a device asked about.
  const bool bare_name =
      std::isalpha(static_cast<unsigned char>(argument[0])) && whole.find('/') == whole.npos;
  for (bool exists : {false, true}) {
    g_device_exists = exists;
    g_device_questions = 0;
    if (exists && bare_name) {
      check_reading("Linux, device exists", {false, device_exists},
                    simulated ? PortForm::kSimulated : PortForm::kBareName, "/dev/" + whole,
                    "/dev/" + whole);
    } else {
      check_reading("Linux", {false, device_exists}, form, name, path);
    }
    if (!bare_name && g_device_questions != 0) fail("asked about a device for no bare name", whole);
  }

  // The simulated port reads its argument as the one place does.
  sim::live::SimulatedPortArgument parsed = sim::live::parse_port_argument(argument);
  if (parsed.names_simulated_port != simulated ||
      parsed.waveform_path != (simulated && argument[3] == ':' ? whole.substr(4) : ""))
    fail("the simulated port's own reading", parsed.waveform_path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An argument from the command line ends at its first zero byte. It is copied into exactly its
  // own bytes, so that reading past its end is a heap overflow the address sanitizer reports.
  const std::size_t length = strnlen(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<char[]> argument(new char[length + 1]);
  std::memcpy(argument.get(), data, length);
  argument[length] = '\0';
  g_argument = argument.get();

  check_port_argument(argument.get());
  return 0;
}
