#include "rate_generator.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace serial {
namespace {

// serial_struct.type of the UARTs whose divisor is a plain integer.
constexpr int kPort8250 = 1;
constexpr int kPort16550A = 4;
// Flags that make the driver divide by something else than the rounded quotient: the old
// 38400-means-another-rate kludge with its custom divisor, and the SMSC magic multiplier.
constexpr int kSpeedKludgeFlags = ASYNC_SPD_MASK;
constexpr int kMagicMultiplier = 1 << 16;

// ftdi_sio's baud_base for each clock: the SIO's table, the 48 MHz chips, the H chips.
constexpr std::uint32_t kFtdiSioBase = 12'000'000 / 16;
constexpr std::uint32_t kFtdi48MhzBase = 48'000'000 / 2;
constexpr std::uint32_t kFtdiHighSpeedBase = 120'000'000 / 2;

// The FTDI divisor's integer part has 14 bits.
constexpr std::uint32_t kFtdiMaxInteger = 0x3FFF;
constexpr std::uint32_t kFtdiMaxBaud = 3'000'000;
constexpr std::uint32_t kFtdiHighSpeedMinBaud = 1200;
constexpr std::uint32_t kFtdiHighSpeedMaxBaud = 12'000'000;

bool is_8250_driver(const std::string& driver) {
  // "serial8250" for the legacy ports, "serial" for the PnP (ACPI) and PCI front ends.
  return driver == "serial8250" || driver == "serial";
}

// The divisor in eighths that ftdi_sio computes for a 3 MHz divider: round(24 MHz / baud).
std::uint64_t ftdi_eighths(std::uint32_t baud) {
  return (48'000'000ull + baud) / (2ull * baud);
}

// 3 MHz over a divisor given in eighths; 0 when its integer part does not fit the chip.
double ftdi_3mhz_rate(std::uint64_t eighths) {
  if (eighths == 0 || (eighths >> 3) > kFtdiMaxInteger) return 0;
  return 24e6 / static_cast<double>(eighths);
}

double ftdi_232b_rate(std::uint32_t asked) {
  if (asked > kFtdiMaxBaud) return 0;
  return ftdi_3mhz_rate(ftdi_eighths(asked));
}

double ftdi_232a_rate(std::uint32_t asked) {
  if (asked > kFtdiMaxBaud) return 0;
  std::uint64_t eighths = ftdi_eighths(asked);
  // The AM chip knows only the fractions 0, 1/8, 1/4 and 1/2; the driver rounds x.7/8 up to
  // x + 1 and keeps the others' lower fraction.
  if ((eighths & 7) == 7) ++eighths;
  static constexpr std::uint64_t kFractionKept[8] = {0, 1, 2, 2, 4, 4, 4, 0};
  return ftdi_3mhz_rate((eighths & ~std::uint64_t{7}) + kFractionKept[eighths & 7]);
}

double ftdi_high_speed_rate(std::uint32_t asked) {
  if (asked < kFtdiHighSpeedMinBaud) return ftdi_232b_rate(asked);
  if (asked > kFtdiHighSpeedMaxBaud) return 0;
  // A 12 MHz divider, in eighths: round(96 MHz / baud).
  std::uint64_t eighths = (960'000'000ull + 5ull * asked) / (10ull * asked);
  return 96e6 / static_cast<double>(eighths);
}

double ftdi_sio_rate(std::uint32_t asked) {
  static constexpr std::uint32_t kRates[] = {300,  600,   1200,  2400,  4800,
                                             9600, 19200, 38400, 57600, 115200};
  for (std::uint32_t rate : kRates) {
    if (rate == asked) return rate;
  }
  return 0;
}

double uart_8250_rate(std::uint32_t baud_base, std::uint32_t asked) {
  // The driver's divisor: the UART clock over 16 × baud, rounded to the closest integer.
  std::uint64_t clock = 16ull * baud_base;
  std::uint64_t divisor = (clock + 8ull * asked) / (16ull * asked);
  if (divisor == 0 || divisor > 0xFFFF) return 0;
  return static_cast<double>(baud_base) / static_cast<double>(divisor);
}

// The name of the driver that runs the hardware behind a tty's device in sysfs. Since Linux 6.5
// a serial_core port sits on two devices of the serial-base bus ("port", "ctrl") whose parent
// carries the UART's own driver: those are stepped over.
std::string driver_of(std::string device_dir) {
  for (int level = 0; level < 3; ++level) {
    char target[256];
    ssize_t length = readlink((device_dir + "/driver").c_str(), target, sizeof target - 1);
    if (length <= 0) return {};
    target[length] = '\0';
    std::string path(target);
    if (path.find("/serial-base/") == std::string::npos) {
      return path.substr(path.find_last_of('/') + 1);
    }
    device_dir += "/..";
  }
  return {};
}

}  // namespace

RateGenerator classify_rate_generator(const DriverFacts& facts) {
  RateGenerator generator;
  if (!facts.has_serial_info || (facts.flags & kSpeedKludgeFlags) != 0) return generator;
  if (is_8250_driver(facts.driver)) {
    bool plain_divisor = facts.uart_type >= kPort8250 && facts.uart_type <= kPort16550A &&
                         (facts.flags & kMagicMultiplier) == 0 && facts.baud_base != 0;
    if (plain_divisor) generator = {RateScheme::kUart8250, facts.baud_base};
  } else if (facts.driver == "ftdi_sio") {
    switch (facts.baud_base) {
      case kFtdiSioBase:
        generator.scheme = RateScheme::kFtdiSio;
        break;
      case kFtdi48MhzBase:
        generator.scheme = facts.has_latency_timer ? RateScheme::kFtdi232B : RateScheme::kFtdi232A;
        break;
      case kFtdiHighSpeedBase:
        generator.scheme = RateScheme::kFtdiHighSpeed;
        break;
      default:
        break;
    }
  }
  return generator;
}

double hardware_rate(const RateGenerator& generator, std::uint32_t asked) {
  if (asked == 0) return 0;
  switch (generator.scheme) {
    case RateScheme::kUart8250:
      return uart_8250_rate(generator.baud_base, asked);
    case RateScheme::kFtdiSio:
      return ftdi_sio_rate(asked);
    case RateScheme::kFtdi232A:
      return ftdi_232a_rate(asked);
    case RateScheme::kFtdi232B:
      return ftdi_232b_rate(asked);
    case RateScheme::kFtdiHighSpeed:
      return ftdi_high_speed_rate(asked);
    case RateScheme::kUnknown:
      break;
  }
  return asked;
}

bool runs_close_enough(const RateGenerator& generator, std::uint32_t asked,
                       std::uint32_t read_back) {
  double runs = hardware_rate(generator, read_back);
  return runs > 0 && std::fabs(runs - asked) * 50 <= asked;
}

RateGenerator probe_rate_generator(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return {};
  // The tty's own device in sysfs, found by its number, so a /dev/serial/by-id link works too.
  char device_dir[64];
  std::snprintf(device_dir, sizeof device_dir, "/sys/dev/char/%u:%u/device", major(status.st_rdev),
                minor(status.st_rdev));
  DriverFacts facts;
  facts.driver = driver_of(device_dir);
  if (facts.driver.empty()) return {};
  facts.has_latency_timer = access((std::string(device_dir) + "/latency_timer").c_str(), F_OK) == 0;
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
    facts.has_serial_info = true;
    facts.uart_type = info.type;
    facts.baud_base = static_cast<std::uint32_t>(info.baud_base);
    facts.flags = info.flags;
  }
  return classify_rate_generator(facts);
}

}  // namespace serial
