// A port argument of any bytes through the two parsers a tool's start runs it through: the
// simulated port's "sim" and "sim:FILE", then the one reading of the port forms under each
// machine's naming: the device name, the form it reports and the parts of that form.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "device_name.h"
#include "port_argument.h"
#include "live_system.h"

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

void check_simulated_port(const char* argument) {
  sim::live::SimulatedPortArgument parsed = sim::live::parse_port_argument(argument);
  const bool sim_alone = std::strcmp(argument, "sim") == 0;
  const bool sim_file = std::strncmp(argument, "sim:", 4) == 0;
  if (parsed.names_simulated_port != (sim_alone || sim_file))
    fail("simulated port named or not named wrongly", parsed.waveform_path);
  // The file name is all of the argument after "sim:", spaces and any other bytes included.
  if (parsed.waveform_path != (sim_file ? argument + 4 : ""))
    fail("waveform file name is not the rest of the argument", parsed.waveform_path);
}

using serial::PortForm;

// The form the reading under `naming` reports, given the device name already checked, and the
// parts only that form has: the waveform file, the remote address, and the Linux device file
// (COM1..COM9 are /dev/ttyS0..8, a path is itself, nothing else is one).
void check_form(const serial::PortNaming& naming, const std::string& name) {
  const std::string whole = g_argument;
  const serial::PortArgument got = serial::classify_port_argument(g_argument, naming);
  const bool sim_file = whole.compare(0, 4, "sim:") == 0;
  PortForm want =
      whole[0] >= '1' && whole[0] <= '9' ? PortForm::kNumbered : PortForm::kFirstCharacter;
  if (whole == "sim" || sim_file) {
    want = PortForm::kSimulated;
  } else if (whole[0] == '/') {
    want = PortForm::kDevicePath;
  } else if (is_remote(whole)) {
    want = PortForm::kRemote;
  } else if (name != com_and_first_character(g_argument)) {  // a form of the machine's own
    want = name[0] == '/'     ? PortForm::kBareName
           : whole[0] == '\\' ? PortForm::kDeviceNamespace
                              : PortForm::kComNumber;
  }
  if (got.form != want) fail("form", std::to_string(static_cast<int>(got.form)));
  const std::string path = want == PortForm::kNumbered ? "/dev/ttyS" + std::string(1, whole[0] - 1)
                           : name[0] == '/'            ? name
                                                       : "";
  if (serial::linux_device_path(name.c_str()) != path)
    fail("Linux device file", serial::linux_device_path(name.c_str()));
  if (got.waveform_path != (sim_file ? whole.substr(4) : ""))
    fail("waveform file", got.waveform_path);
  // The remote parts are the URL parser's reading, and only a remote argument has them.
  serial::RemoteAddress address;
  const bool valid = want == PortForm::kRemote && serial::parse_remote_url(g_argument, address);
  const std::string parts = std::string(got.remote.host) + " " + got.remote.port;
  if (got.remote_address_valid != valid || parts != std::string(address.host) + " " + address.port)
    fail("remote address", parts);
}

void check_device_name(const char* argument) {
  const std::string whole = argument;
  const std::string shared = com_and_first_character(argument);

  // Every machine: a path or a remote port's address is used whole, anything else is COM and
  // its first character.
  const bool used_whole = argument[0] == '/' || is_remote(whole);
  std::string name = serial::device_name(argument);
  if (used_whole ? name != whole : name != shared) fail("shared form", name);
  check_form({}, name);

  // Windows: COM and digits, and "\\.\" names, reach the device namespace; a digit or a path
  // keeps its shared meaning.
  serial::PortNaming windows{true, nullptr};
  name = serial::device_name(argument, windows);
  std::string want = shared;
  if (used_whole || whole.compare(0, 4, "\\\\.\\") == 0) {
    want = whole;
  } else if (is_com_number(whole)) {
    want = "\\\\.\\COM" + whole.substr(3);
  }
  if (name != want) fail("Windows form", name);
  check_form(windows, name);

  // Linux: a bare name that starts with a letter is the device /dev/NAME when that exists.
  for (bool exists : {false, true}) {
    g_device_exists = exists;
    g_device_questions = 0;
    serial::PortNaming linux_naming{false, device_exists};
    name = serial::device_name(argument, linux_naming);
    const bool bare_name =
        std::isalpha(static_cast<unsigned char>(argument[0])) && whole.find('/') == whole.npos;
    want = used_whole ? whole : exists && bare_name ? "/dev/" + whole : shared;
    if (name != want) fail(exists ? "Linux form, device exists" : "Linux form, no device", name);
    check_form(linux_naming, name);
    if ((!bare_name || used_whole) && g_device_questions != 0)
      fail("asked about a device for no bare name", name);
  }
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

  check_simulated_port(argument.get());
  check_device_name(argument.get());
  return 0;
}
