// --list on Windows: the COM ports the registry's SERIALCOMM map names, with what SetupAPI tells
// of each (friendly name, hardware id). Nothing is opened.
#include "win32_platform.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace serial {
namespace win32 {
namespace {

// The "Ports" device setup class (COM and LPT), {4d36e978-e325-11ce-bfc1-08002be10318}.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct ComPort {
  std::string port;    // "COM5"
  std::string device;  // "\Device\Serial0"
  std::string friendly_name;
  std::string hardware_id;
};

// Text from the registry or SetupAPI: what fits the buffer, printable, on one line.
std::string clean(const char* text, std::size_t size) {
  std::string value(text, strnlen(text, size));
  for (char& c : value) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return value;
}

unsigned port_number(const std::string& port) {
  return port.size() > 3 ? static_cast<unsigned>(std::strtoul(port.c_str() + 3, nullptr, 10)) : 0;
}

std::vector<ComPort> registered_ports() {
  std::vector<ComPort> ports;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD index = 0; index < 4096; ++index) {
    char name[256] = {};
    BYTE data[256] = {};
    DWORD name_size = sizeof name - 1;
    DWORD data_size = sizeof data - 1;
    DWORD type = 0;
    LONG result = ::RegEnumValueA(key, index, name, &name_size, nullptr, &type, data, &data_size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    std::string port = clean(reinterpret_cast<const char*>(data), data_size);
    if (port.empty()) continue;
    ports.push_back({port, clean(name, name_size), {}, {}});
  }
  ::RegCloseKey(key);
  return ports;
}

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
  char text[512] = {};
  DWORD type = 0;
  if (!::SetupDiGetDeviceRegistryPropertyA(
          set, &info, property, &type, reinterpret_cast<BYTE*>(text), sizeof text - 2, nullptr)) {
    return {};
  }
  // A hardware id list is several strings; its first is the most exact.
  return clean(text, sizeof text - 2);
}

// Friendly names and hardware ids of the present ports, by their port name.
void add_device_facts(std::vector<ComPort>& ports) {
  HDEVINFO set = ::SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD index = 0; index < 4096 && ::SetupDiEnumDeviceInfo(set, index, &info); ++index) {
    HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char name[64] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    bool named = ::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                                    &size) == ERROR_SUCCESS &&
                 type == REG_SZ;
    ::RegCloseKey(key);
    if (!named) continue;
    std::string port = clean(name, size);
    for (ComPort& listed : ports) {
      if (_stricmp(listed.port.c_str(), port.c_str()) != 0) continue;
      listed.friendly_name = device_property(set, info, SPDRP_FRIENDLYNAME);
      listed.hardware_id = device_property(set, info, SPDRP_HARDWAREID);
    }
  }
  ::SetupDiDestroyDeviceInfoList(set);
}

// "USB 1a86:7523" from a hardware id "USB\VID_1A86&PID_7523&REV_0264", or empty.
std::string usb_ids(const std::string& hardware_id) {
  std::size_t vid = hardware_id.find("VID_");
  std::size_t pid = hardware_id.find("PID_");
  if (vid == std::string::npos || pid == std::string::npos) return {};
  unsigned long vendor = std::strtoul(hardware_id.substr(vid + 4, 4).c_str(), nullptr, 16);
  unsigned long product = std::strtoul(hardware_id.substr(pid + 4, 4).c_str(), nullptr, 16);
  char text[32];
  std::snprintf(text, sizeof text, "USB %04lx:%04lx", vendor & 0xFFFF, product & 0xFFFF);
  return text;
}

}  // namespace

PortListing list_ports(const PortNeeds& needs) {
  PortListing listing;
  std::vector<ComPort> ports = registered_ports();
  add_device_facts(ports);
  std::sort(ports.begin(), ports.end(), [](const ComPort& a, const ComPort& b) {
    return port_number(a.port) != port_number(b.port) ? port_number(a.port) < port_number(b.port)
                                                      : a.port < b.port;
  });
  const std::string judged = "checked when the port opens: its driver decides the rates";
  for (const ComPort& com : ports) {
    ListedPort port;
    port.name = com.port;
    port.facts.push_back("device " + com.device);
    if (!com.friendly_name.empty()) port.facts.push_back(com.friendly_name);
    if (!com.hardware_id.empty()) {
      std::string ids = usb_ids(com.hardware_id);
      port.facts.push_back("hardware id " + com.hardware_id + (ids.empty() ? "" : ", " + ids));
    }
    if (!needs.rows.empty()) {
      port.facts.push_back("rows " + judged);
    } else if (needs.start.baud != 0) {
      port.facts.push_back(
          std::string(needs.program) + "'s " +
          describe_setting(needs.start.baud, needs.start.parity, needs.start.stop_bits) + " is " +
          judged);
    }
    listing.ports.push_back(std::move(port));
  }
  return listing;
}

}  // namespace win32
}  // namespace serial
