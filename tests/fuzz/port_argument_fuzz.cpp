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

const char* form_name(PortForm form) {
  static const char* const kNames[] = {"simulated",  "remote",    "device path", "device namespace",
                                       "COM number", "bare name", "numbered",    "first character"};
  return kNames[static_cast<int>(form)];
}

// What the reading must be: the form, the device name and the Linux device file.
struct Expected {
  PortForm form;
  std::string device_name;
  std::string linux_path;
};

void check_reading(const char* argument, const serial::PortNaming& naming, const Expected& want,
                   const char* machine) {
  const std::string whole = argument;
  serial::PortArgument got = serial::classify_port_argument(argument, naming);
  std::string where = std::string(machine) + ": ";
  if (got.form != want.form)
    fail((where + "form, want " + form_name(want.form)).c_str(), form_name(got.form));
  if (got.device_name != want.device_name) fail((where + "device name").c_str(), got.device_name);
  if (serial::linux_device_path(got.device_name.c_str()) != want.linux_path)
    fail((where + "Linux device path").c_str(), serial::linux_device_path(got.device_name.c_str()));
  // The file name is all of the argument after "sim:", spaces and any other bytes included.
  const bool sim_file = whole.compare(0, 4, "sim:") == 0;
  if (got.waveform_path != (sim_file ? whole.substr(4) : ""))
    fail((where + "waveform file is not the rest of the argument").c_str(), got.waveform_path);
  if (got.number != (got.form == PortForm::kNumbered ? argument[0] - '0' : 0))
    fail((where + "port number").c_str(), std::to_string(got.number));
  // The remote address is the remote URL parser's reading, and only a remote form has one.
  serial::RemoteAddress address;
  const bool valid = got.form == PortForm::kRemote && serial::parse_remote_url(argument, address);
  if (got.remote_address_valid != valid || std::strcmp(got.remote.host, address.host) != 0 ||
      std::strcmp(got.remote.port, address.port) != 0)
    fail((where + "remote address").c_str(), std::string(got.remote.host) + " " + got.remote.port);
}

void check_port_argument(const char* argument) {
  const std::string whole = argument;
  const std::string shared = com_and_first_character(argument);
  const bool simulated = whole == "sim" || whole.compare(0, 4, "sim:") == 0;
  const bool numbered = argument[0] >= '1' && argument[0] <= '9';
  // COM1..COM9 are /dev/ttyS0../dev/ttyS8; no other first character names a Linux device.
  const std::string numbered_path =
      numbered ? std::string("/dev/ttyS") + static_cast<char>(argument[0] - 1) : "";
  auto first_character = [&]() {
    Expected e{numbered ? PortForm::kNumbered : PortForm::kFirstCharacter, shared, numbered_path};
    if (simulated) e.form = PortForm::kSimulated;
    return e;
  };

  // Every machine: a path or a remote port's address is used whole, anything else is COM and
  // its first character.
  Expected shared_reading = first_character();
  if (argument[0] == '/') {
    shared_reading = {PortForm::kDevicePath, whole, whole};
  } else if (is_remote(whole)) {
    shared_reading = {PortForm::kRemote, whole, ""};
  }
  check_reading(argument, {}, shared_reading, "every machine");

  // Windows: COM and digits, and "\\.\" names, reach the device namespace; a digit or a path
  // keeps its shared meaning.
  Expected windows = shared_reading;
  if (shared_reading.form != PortForm::kDevicePath && shared_reading.form != PortForm::kRemote) {
    if (whole.compare(0, 4, "\\\\.\\") == 0) {
      windows = {PortForm::kDeviceNamespace, whole, ""};
    } else if (is_com_number(whole)) {
      windows = {PortForm::kComNumber, "\\\\.\\COM" + whole.substr(3), ""};
    }
  }
  check_reading(argument, {true, nullptr}, windows, "Windows");

  // Linux: a bare name that starts with a letter is the device /dev/NAME when that exists, and
  // only then is a device asked about.
  const bool bare_name =
      std::isalpha(static_cast<unsigned char>(argument[0])) && whole.find('/') == whole.npos;
  for (bool exists : {false, true}) {
    g_device_exists = exists;
    g_device_questions = 0;
    Expected linux_reading = shared_reading;
    if (exists && bare_name) {
      linux_reading = {simulated ? PortForm::kSimulated : PortForm::kBareName, "/dev/" + whole,
                       "/dev/" + whole};
    }
    check_reading(argument, {false, device_exists}, linux_reading,
                  exists ? "Linux, device exists" : "Linux, no device");
    if (!bare_name && g_device_questions != 0) fail("asked about a device for no bare name", whole);
  }

  // The simulated port reads its argument as the one place does.
  sim::live::SimulatedPortArgument parsed = sim::live::parse_port_argument(argument);
  if (parsed.names_simulated_port != simulated)
    fail("simulated port named or not named wrongly", parsed.waveform_path);
  if (parsed.waveform_path != (simulated && argument[3] == ':' ? whole.substr(4) : ""))
    fail("simulated port's waveform file", parsed.waveform_path);
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
