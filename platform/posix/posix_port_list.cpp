#include "posix_port_list.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "line_frame.h"
#include "port_argument.h"
#include "serial_port.h"

namespace serial {
namespace {

std::string read_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
    line.pop_back();
  // A USB string is the device's own: keep it printable and on one line.
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return line.size() > 80 ? line.substr(0, 80) : line;
}

bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// Names compared as the kernel numbers them: ttyS2 before ttyS10.
bool kernel_order(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) &&
        std::isdigit(static_cast<unsigned char>(b[j]))) {
      std::size_t end_a = a.find_first_not_of("0123456789", i);
      std::size_t end_b = b.find_first_not_of("0123456789", j);
      if (end_a == std::string::npos) end_a = a.size();
      if (end_b == std::string::npos) end_b = b.size();
      std::string number_a = a.substr(i, end_a - i);
      std::string number_b = b.substr(j, end_b - j);
      if (number_a.size() != number_b.size()) return number_a.size() < number_b.size();
      if (number_a != number_b) return number_a < number_b;
      i = end_a;
      j = end_b;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

std::vector<std::string> directory_entries(const std::string& path) {
  std::vector<std::string> names;
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) return names;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(directory);
  return names;
}

// The ttys the system console writes to, by name (console=ttyS0 makes "ttyS0").
std::vector<std::string> console_ttys(const std::string& sysfs) {
  std::vector<std::string> names;
  std::ifstream active(sysfs + "/class/tty/console/active");
  std::string name;
  while (active >> name)
    names.push_back(name);
  return names;
}

// Who holds a lock on the file (flock and POSIX locks alike), from /proc/locks: "1: FLOCK
// ADVISORY WRITE 1234 00:05:85 0 EOF", the file named by its file system's device and inode.
bool lock_holder(const std::string& proc, const struct stat& node, long& pid) {
  std::ifstream locks(proc + "/locks");
  std::string line;
  while (std::getline(locks, line)) {
    if (line.find("->") != std::string::npos) continue;  // a waiter, not the holder
    char kind[16] = {};
    char advisory[16] = {};
    char mode[16] = {};
    long holder = 0;
    unsigned device_major = 0;
    unsigned device_minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(line.c_str(), "%*d: %15s %15s %15s %ld %x:%x:%lu", kind, advisory, mode,
                    &holder, &device_major, &device_minor, &inode) != 7) {
      continue;
    }
    if (device_major == major(node.st_dev) && device_minor == minor(node.st_dev) &&
        inode == node.st_ino) {
      pid = holder;
      return true;
    }
  }
  return false;
}

// Whether the user running the list belongs to `group` by the group file, though perhaps not yet
// in this session (a usermod takes effect at the next login).
bool member_by_name(const group& entry) {
  const passwd* user = getpwuid(getuid());
  if (user == nullptr) return false;
  if (user->pw_gid == entry.gr_gid) return true;
  for (char** member = entry.gr_mem; member != nullptr && *member != nullptr; ++member) {
    if (std::strcmp(*member, user->pw_name) == 0) return true;
  }
  return false;
}

std::string permission_problem(const std::string& path, const struct stat& node) {
  if (access(path.c_str(), R_OK | W_OK) == 0) return {};
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(node.st_mode & 07777));
  const passwd* owner = getpwuid(node.st_uid);
  const group* group_entry = getgrgid(node.st_gid);
  std::string owner_name = owner ? owner->pw_name : std::to_string(node.st_uid);
  std::string group_name = group_entry ? group_entry->gr_name : std::to_string(node.st_gid);
  std::string text = "no permission: " + path + " is " + owner_name + ":" + group_name + " " +
                     mode + ", not readable and writable for this user";
  bool group_gives_it = (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (group_gives_it && group_entry != nullptr && member_by_name(*group_entry)) {
    text += "; you are in " + group_name + " but this session is not yet: log in again";
  } else if (group_gives_it) {
    text += "; the group " + group_name + " gives it (sudo usermod -aG " + group_name +
            " $USER, then log in again)";
  }
  return text;
}

std::string percent_off(double runs, std::uint32_t asked) {
  char text[64];
  double off = (runs - asked) / asked * 100;
  std::snprintf(text, sizeof text, "%.1f %% %s", off < 0 ? -off : off, off < 0 ? "slow" : "fast");
  return text;
}

// What the open cannot yet know, and why, or empty when the model knows the chip.
std::string unknown_part(const DriverFacts& facts, const RateGenerator& generator) {
  std::string node = facts.usb_node.empty() ? "its USB device node" : facts.usb_node;
  std::string access = facts.usb_node_refused ? "write access to " + node : "an answer on " + node;
  if (facts.driver == "ch341-uart" && facts.chip_version < 0) {
    return "the CH341's version, which tells whether it makes frames other than 8N1, needs " +
           access + " (docs/adapters.md)";
  }
  if (facts.driver == "cp210x" && facts.chip_part < 0) {
    return "the CP210x's part, which sets its lowest rate and frames, needs " + access;
  }
  if (generator.scheme == RateScheme::kUnknown && generator.framing == Framing::kAsAsked) {
    if (facts.driver == "cdc_acm") return "the device's firmware makes the rate and the frame";
    if (facts.driver == "pl2303") return "the PL2303 HXN's firmware makes the rate";
    return "the rate model does not know this hardware's divisor, so what the driver keeps counts";
  }
  return {};
}

void judge_needs(const PortNeeds& needs, const DriverFacts& facts, ListedPort& port) {
  RateGenerator generator = classify_rate_generator(facts);
  std::string open_tells = unknown_part(facts, generator);
  bool whole_model = open_tells.empty();
  // Where nothing is known, nothing is refused here; where the part is missing, what every part
  // refuses still is.
  bool nothing_known =
      generator.scheme == RateScheme::kUnknown && generator.framing == Framing::kAsAsked;
  if (!needs.rows.empty()) {
    int refused = 0;
    for (const PortNeeds::Setting& row : needs.rows) {
      std::string why = nothing_known ? std::string() : refusal_reason(generator, row);
      if (why.empty()) continue;
      port.facts.push_back(std::string(" ") + row.label + " Hz: " + why);
      ++refused;
    }
    if (!whole_model) {
      port.facts.push_back(std::string(refused ? "other " : "") +
                           "rows checked when the port opens: " + open_tells);
    } else if (refused == 0) {
      port.facts.push_back(std::string(needs.program) + " makes every row here");
    }
    return;
  }
  if (needs.start.baud == 0) return;
  std::string setting =
      describe_setting(needs.start.baud, needs.start.parity, needs.start.stop_bits);
  std::string why = nothing_known ? std::string() : refusal_reason(generator, needs.start);
  if (!why.empty()) {
    port.facts.push_back(std::string(needs.program) + "'s " + setting + " is refused: " + why);
  } else if (!whole_model) {
    port.facts.push_back(std::string(needs.program) + "'s " + setting +
                         " is checked when the port opens: " + open_tells);
  } else {
    port.facts.push_back(std::string(needs.program) + "'s " + setting + " is made here");
  }
}

// The USB device behind a tty, in sysfs: the interface's parent, the interface being the tty's
// device for cdc_acm and the usb-serial port's parent for the others.
std::string usb_device_dir(const std::string& tty_dir, const DriverFacts& facts) {
  std::string dir = tty_dir + (facts.driver == "cdc_acm" ? "/device/.." : "/device/../..");
  return exists(dir + "/idVendor") ? dir : std::string();
}

void describe_hardware(const std::string& name, const std::string& tty_dir,
                       const DriverFacts& facts, const std::string& dev_path, bool by_id,
                       ListedPort& port) {
  std::string kernel = "kernel name " + name;
  if (by_id) kernel += " (" + dev_path + ")";
  port.facts.push_back(kernel + ", driver " + facts.driver);
  std::string usb = usb_device_dir(tty_dir, facts);
  if (!usb.empty()) {
    char ids[48];
    std::snprintf(ids, sizeof ids, "USB %04x:%04x", facts.usb_vendor, facts.usb_product);
    std::string text = ids;
    const char* const kStrings[][2] = {
        {"manufacturer", "manufacturer"}, {"product", "product"}, {"serial", "serial number"}};
    for (const auto& field : kStrings) {
      std::string value = read_line(usb + "/" + field[0]);
      if (!value.empty()) text += std::string(", ") + field[1] + " \"" + value + "\"";
    }
    port.facts.push_back(text);
  }
  std::string chip = chip_name(facts);
  if (!chip.empty()) port.facts.push_back("chip: " + chip);
}

}  // namespace

std::string refusal_reason(const RateGenerator& generator, const PortNeeds::Setting& setting) {
  if (!frames_as_asked(generator, 8, setting.parity, setting.stop_bits)) {
    switch (generator.framing) {
      case Framing::kOnly8N1:
        return "the chip makes 8N1 only";
      case Framing::kNoMarkSpace:
        return "the chip has no mark or space parity";
      case Framing::kCp2101:
        return setting.stop_bits != ONESTOPBIT ? "the chip has no two stop bits"
                                               : "the chip has no mark or space parity";
      case Framing::kAsAsked:
        break;
    }
    return "the chip cannot make this frame";
  }
  std::string asked = std::to_string(setting.baud) + " baud";
  std::uint32_t lowest = lowest_rate(generator);
  if (lowest != 0 && setting.baud < lowest) {
    return asked + " is below the chip's " + std::to_string(lowest);
  }
  double runs = hardware_rate(generator, setting.baud);
  if (runs <= 0) return asked + " is not a rate the chip makes";
  if (runs_within_tolerance(runs, setting.baud)) return {};
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.0f", runs);
  return asked + " runs " + rate + ", " + percent_off(runs, setting.baud);
}

PortListing list_posix_ports(const PortNeeds& needs, const ListRoots& roots) {
  PortListing listing;
  const std::string sysfs = roots.sysfs;
  const std::string dev = roots.dev;
  const std::string tty_class = sysfs + "/class/tty/";

  // The by-id names, each with the node it leads to.
  struct Alias {
    std::string path;
    dev_t device;
    ino_t inode;
  };
  std::vector<Alias> aliases;
  const std::string by_id = dev + "/serial/by-id/";
  for (const std::string& entry : directory_entries(by_id)) {
    struct stat target {};
    if (stat((by_id + entry).c_str(), &target) == 0) {
      aliases.push_back({by_id + entry, target.st_dev, target.st_ino});
    }
  }
  std::sort(aliases.begin(), aliases.end(),
            [](const Alias& a, const Alias& b) { return a.path < b.path; });
  const std::vector<std::string> consoles = console_ttys(sysfs);

  std::vector<std::string> names = directory_entries(tty_class);
  std::sort(names.begin(), names.end(), kernel_order);
  for (const std::string& name : names) {
    const std::string tty_dir = tty_class + name;
    // Virtual consoles, pseudo-terminal masters and the console itself have no device.
    if (!exists(tty_dir + "/device")) continue;
    DriverFacts facts = read_tty_facts(tty_dir, roots.dev);
    // A serial_core port whose UART was not found (type 0): a ttyS with nothing behind it.
    if (facts.has_uart_clock && facts.uart_type == 0) {
      ++listing.left_out;
      continue;
    }
    if (facts.driver.empty()) facts.driver = "unknown";

    ListedPort port;
    const std::string dev_path = dev + "/" + name;
    struct stat node {};
    bool has_node = stat(dev_path.c_str(), &node) == 0;
    port.name = dev_path;
    if (has_node) {
      for (const Alias& alias : aliases) {
        if (alias.device == node.st_dev && alias.inode == node.st_ino) {
          port.name = alias.path;
          break;
        }
      }
    }
    describe_hardware(name, tty_dir, facts, dev_path, port.name != dev_path, port);
    judge_needs(needs, facts, port);

    if (std::find(consoles.begin(), consoles.end(), name) != consoles.end()) {
      port.facts.push_back("refused: it carries the system console");
    }
    if (!has_node) {
      port.facts.push_back("not openable: there is no " + dev_path);
    } else {
      std::string problem = permission_problem(dev_path, node);
      if (!problem.empty()) port.facts.push_back(problem);
      long pid = 0;
      if (lock_holder(roots.proc, node, pid)) {
        std::string program =
            read_line(std::string(roots.proc) + "/" + std::to_string(pid) + "/comm");
        port.facts.push_back("held by another program: process " + std::to_string(pid) +
                             (program.empty() ? "" : " (" + program + ")") + " holds its lock");
      }
    }
    listing.ports.push_back(std::move(port));
  }
  return listing;
}

std::string posix_port_identity(const char* port_name, const char* sysfs_root) {
  std::string path = linux_device_path(port_name);
  struct stat node {};
  if (path.empty() || stat(path.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return {};
  char number[32];
  std::snprintf(number, sizeof number, "/dev/char/%u:%u", major(node.st_rdev), minor(node.st_rdev));
  char* resolved = realpath((std::string(sysfs_root) + number + "/device").c_str(), nullptr);
  if (resolved == nullptr) return {};
  // The USB device is the nearest directory up the tree that has a vendor id: the interface's
  // parent for cdc_acm, the usb-serial port's grandparent for the others.
  std::string dir = resolved;
  std::free(resolved);
  for (int up = 0; up < 4 && !dir.empty(); ++up) {
    std::string vendor = read_line(dir + "/idVendor");
    if (!vendor.empty()) {
      std::string identity = "USB " + vendor + ":" + read_line(dir + "/idProduct") + " serial " +
                             read_line(dir + "/serial");
      if (path.rfind("/dev/serial/by-id/", 0) != 0) {
        identity += " at " + dir.substr(dir.rfind('/') + 1);
      }
      return identity;
    }
    dir.erase(dir.rfind('/'));
  }
  return {};
}

}  // namespace serial
