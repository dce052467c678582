#include "rate_generator.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "line_frame.h"
#include "serial_port.h"

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

// The CH341 reports its version on vendor request 0x5F; before 0x30 its line control sits in
// registers the driver does not program.
constexpr std::uint8_t kCh341ReadVersion = 0x5F;
constexpr int kCh341FirstFramingVersion = 0x30;

// The Arduino Uno's and Mega's USB bridge (ATmega8U2/16U2 firmware behind cdc_acm): the USB IDs
// the boards carry, from Arduino (0x2341) and Arduino SRL (0x2A03).
struct UsbId {
  std::uint16_t vendor;
  std::uint16_t product;
};
constexpr UsbId kArduinoBridges[] = {
    {0x2341, 0x0001}, {0x2341, 0x0010}, {0x2341, 0x003F}, {0x2341, 0x0042}, {0x2341, 0x0043},
    {0x2341, 0x0044}, {0x2341, 0x006A}, {0x2341, 0x0210}, {0x2341, 0x0242}, {0x2341, 0x0243},
    {0x2A03, 0x0010}, {0x2A03, 0x003F}, {0x2A03, 0x0042}, {0x2A03, 0x0043}, {0x2A03, 0x0044},
};
// The bridge's clock over 8 with double speed on; 57600 baud alone runs at normal speed (over
// 16), the rate the boards' bootloader expects. The baud register UBRR has 12 bits.
constexpr std::uint64_t kArduinoDoubleSpeedClock = 16'000'000 / 8;
constexpr std::uint64_t kArduinoNormalClock = 16'000'000 / 16;
constexpr std::uint64_t kArduinoUbrrMask = 0xFFF;

bool is_arduino_bridge(std::uint16_t vendor, std::uint16_t product) {
  for (const UsbId& id : kArduinoBridges) {
    if (id.vendor == vendor && id.product == product) return true;
  }
  return false;
}

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

double arduino_bridge_rate(std::uint32_t asked) {
  // The firmware's own arithmetic: UBRR = round(clock / baud) - 1 in unsigned integers, of which
  // the register keeps 12 bits (110 baud wraps to about 1112, 300 to about 778).
  std::uint64_t clock = asked == 57600 ? kArduinoNormalClock : kArduinoDoubleSpeedClock;
  std::uint64_t ubrr = ((clock + asked / 2) / asked - 1) & kArduinoUbrrMask;
  return static_cast<double>(clock) / static_cast<double>(ubrr + 1);
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

// A sysfs attribute holding a number, as the kernel writes it (decimal or hexadecimal).
bool read_number(const std::string& path, int base, unsigned long& value) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return false;
  char text[32] = {};
  bool read = std::fgets(text, sizeof text, file) != nullptr;
  std::fclose(file);
  if (!read) return false;
  char* end = nullptr;
  value = std::strtoul(text, &end, base);
  return end != text;
}

// The USB IDs of the device in sysfs directory `usb_device`.
void read_usb_ids(const std::string& usb_device, DriverFacts& facts) {
  unsigned long vendor = 0;
  unsigned long product = 0;
  if (read_number(usb_device + "/idVendor", 16, vendor) &&
      read_number(usb_device + "/idProduct", 16, product)) {
    facts.usb_vendor = static_cast<std::uint16_t>(vendor);
    facts.usb_product = static_cast<std::uint16_t>(product);
  }
}

// Asks a CH341 for its version through its USB device node: a vendor request that needs no
// claimed interface, so the driver keeps the port. -1 when the node cannot be written (the
// usual case for users other than root) or the chip does not answer.
int read_ch341_version(const std::string& usb_device) {
  unsigned long bus = 0;
  unsigned long device = 0;
  if (!read_number(usb_device + "/busnum", 10, bus) ||
      !read_number(usb_device + "/devnum", 10, device)) {
    return -1;
  }
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03lu/%03lu", bus, device);
  int fd = open(node, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  unsigned char answer[2] = {};
  usbdevfs_ctrltransfer request{};
  request.bRequestType = USB_DIR_IN | USB_TYPE_VENDOR | USB_RECIP_DEVICE;
  request.bRequest = kCh341ReadVersion;
  request.wLength = sizeof answer;
  request.timeout = 1000;  // milliseconds
  request.data = answer;
  int received = ioctl(fd, USBDEVFS_CONTROL, &request);
  close(fd);
  return received == static_cast<int>(sizeof answer) ? answer[0] : -1;
}

}  // namespace

RateGenerator classify_rate_generator(const DriverFacts& facts) {
  RateGenerator generator;
  if (facts.driver == "ch341-uart") {
    if (facts.chip_version >= 0 && facts.chip_version < kCh341FirstFramingVersion) {
      generator.framing = Framing::kOnly8N1;
    }
    return generator;
  }
  if (facts.driver == "cdc_acm") {
    if (is_arduino_bridge(facts.usb_vendor, facts.usb_product)) {
      generator = {RateScheme::kArduinoBridge, 0, Framing::kNoMarkSpace};
    }
    return generator;
  }
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
    case RateScheme::kArduinoBridge:
      return arduino_bridge_rate(asked);
    case RateScheme::kUnknown:
      break;
  }
  return asked;
}

bool runs_close_enough(const RateGenerator& generator, std::uint32_t asked,
                       std::uint32_t read_back) {
  return runs_within_tolerance(hardware_rate(generator, read_back), asked);
}

bool frames_as_asked(const RateGenerator& generator, std::uint8_t byte_size, std::uint8_t parity,
                     std::uint8_t stop_bits) {
  switch (generator.framing) {
    case Framing::kOnly8N1:
      return byte_size == 8 && parity == NOPARITY && stop_bits == ONESTOPBIT;
    case Framing::kNoMarkSpace:
      return parity <= EVENPARITY;
    case Framing::kAsAsked:
      break;
  }
  return true;
}

DriverFacts probe_driver_facts(int fd, const char* sysfs_root) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return {};
  // The tty's own device in sysfs, found by its number.
  const std::string device_dir = std::string(sysfs_root) + "/dev/char/" +
                                 std::to_string(major(status.st_rdev)) + ":" +
                                 std::to_string(minor(status.st_rdev)) + "/device";
  DriverFacts facts;
  facts.driver = driver_of(device_dir);
  if (facts.driver.empty()) return facts;
  facts.has_latency_timer = access((device_dir + "/latency_timer").c_str(), F_OK) == 0;
  // A USB serial port sits on its interface, a CDC-ACM tty on the interface itself; the USB
  // device is the interface's parent.
  if (facts.driver == "ch341-uart") {
    facts.chip_version = read_ch341_version(device_dir + "/../..");
  } else if (facts.driver == "cdc_acm") {
    read_usb_ids(device_dir + "/..", facts);
  }
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
    facts.has_serial_info = true;
    facts.uart_type = info.type;
    facts.baud_base = static_cast<std::uint32_t>(info.baud_base);
    facts.flags = info.flags;
  }
  return facts;
}

}  // namespace serial
