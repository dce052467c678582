#include "rate_generator.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
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
// A CH340 with the limited prescaler stalls a read of its break register (request 0x95, register
// 0x05); the driver tells it apart so.
constexpr std::uint8_t kCh341ReadRegister = 0x95;
constexpr std::uint16_t kCh341BreakRegister = 0x0005;
constexpr std::uint64_t kCh341Clock = 48'000'000;
constexpr std::uint32_t kCh341MinBaud = 46;  // 48 MHz / (4096 x 256), rounded up
constexpr std::uint32_t kCh341MaxBaud = 3'000'000;

// The CP210x's part number: vendor request 0xFF, value 0x370B, to the interface, one byte back.
constexpr std::uint8_t kCp210xVendorSpecific = 0xFF;
constexpr std::uint16_t kCp210xGetPartNumber = 0x370B;
enum Cp210xPart : int {
  kCp2101 = 0x01,
  kCp2102 = 0x02,
  kCp2103 = 0x03,
  kCp2104 = 0x04,
  kCp2105 = 0x05,
  kCp2108 = 0x08,
  kCp2102NQfn28 = 0x20,
  kCp2102NQfn24 = 0x21,
  kCp2102NQfn20 = 0x22,
};
constexpr std::uint32_t kCp210xMinBaud = 300;
constexpr std::uint32_t kCp2105SciMinBaud = 2400;

// The PL2303 types, told apart by the device descriptor as pl2303 does.
enum class Pl2303Type { kNone, kH, kHx, kHxd, kTaOrGt, kTbOrGe, kHxn };

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

// ch341's divisor: the fastest prescaler whose divisor stays below 512, the divisor rounded to the
// closer rate, the base clock halved where the divisor would not fit.
double ch341_rate(std::uint32_t asked, bool limited_prescaler) {
  std::uint64_t speed = asked < kCh341MinBaud ? kCh341MinBaud : asked;
  if (speed > kCh341MaxBaud) speed = kCh341MaxBaud;
  auto clock_divider = [](int ps, int fact) { return std::uint64_t{1} << (12 - 3 * ps - fact); };
  int ps = 3;
  for (; ps >= 0; --ps) {
    if (speed > kCh341Clock / (clock_divider(ps, 1) * 512)) break;
  }
  if (ps < 0) return 0;
  std::uint64_t divider = clock_divider(ps, 1);
  std::uint64_t divisor = kCh341Clock / (divider * speed);
  if (divisor < 9 || divisor > 255 || (ps < 3 && limited_prescaler)) {
    divisor /= 2;
    divider *= 2;
  }
  if (divisor < 2) return 0;
  if (16 * kCh341Clock / (divider * divisor) - 16 * speed >=
      16 * speed - 16 * kCh341Clock / (divider * (divisor + 1))) {
    ++divisor;
  }
  return static_cast<double>(kCh341Clock) / static_cast<double>(divider * divisor);
}

std::uint32_t clamp_rate(const RateGenerator& generator, std::uint32_t asked) {
  if (generator.lowest != 0 && asked < generator.lowest) return generator.lowest;
  if (generator.highest != 0 && asked > generator.highest) return generator.highest;
  return asked;
}

// The rates of the CP2102's table (Silicon Labs AN205): an asked rate up to `high` runs `rate`.
double cp210x_table_rate(std::uint32_t asked) {
  struct Band {
    std::uint32_t rate;
    std::uint32_t high;
  };
  static constexpr Band kBands[] = {
      {300, 300},       {600, 600},       {1200, 1200},     {1800, 1800},     {2400, 2400},
      {4000, 4000},     {4800, 4803},     {7200, 7207},     {9600, 9612},     {14400, 14428},
      {16000, 16062},   {19200, 19250},   {28800, 28912},   {38400, 38601},   {51200, 51558},
      {56000, 56280},   {57600, 58053},   {64000, 64111},   {76800, 77608},   {115200, 117028},
      {128000, 129347}, {153600, 156868}, {230400, 237832}, {250000, 254234}, {256000, 273066},
      {460800, 491520}, {500000, 567138}, {576000, 670254},
  };
  if (asked >= 1'000'000) return asked;
  for (const Band& band : kBands) {
    if (asked <= band.high) return band.rate;
  }
  return 921600;
}

double cp210x_exact_rate(std::uint32_t asked) {
  std::uint64_t prescale = asked <= 365 ? 4 : 1;
  std::uint64_t step = 2 * prescale * asked;
  std::uint64_t divisor = (48'000'000 + step / 2) / step;
  if (divisor == 0) return 0;
  return static_cast<double>(48'000'000 / (2 * prescale * divisor));
}

// pl2303: a rate of the chip's list goes as such; any other as a divisor of 12 MHz x 32, a
// mantissa of 9 bits times 4^exponent (or, on the TA and TB, 11 bits times 2^exponent).
double pl2303_rate(std::uint32_t asked, bool alternative) {
  static constexpr std::uint32_t kListed[] = {
      75,     150,    300,    600,     1200,    1800,    2400,   3600,   4800,
      7200,   9600,   14400,  19200,   28800,   38400,   57600,  115200, 230400,
      460800, 614400, 921600, 1228800, 2457600, 3000000, 6000000};
  for (std::uint32_t listed : kListed) {
    if (listed == asked) return asked;
  }
  const std::uint64_t baseline = 12'000'000ull * 32;
  std::uint64_t mantissa = baseline / asked;
  if (mantissa == 0) mantissa = 1;
  unsigned exponent = 0;
  const std::uint64_t limit = alternative ? 2048 : 512;
  const unsigned max_exponent = alternative ? 15 : 7;
  while (mantissa >= limit) {
    if (exponent < max_exponent) {
      mantissa >>= alternative ? 1 : 2;
      ++exponent;
    } else {
      mantissa = limit - 1;
      break;
    }
  }
  return static_cast<double>((baseline / mantissa) >> (alternative ? exponent : 2 * exponent));
}

Pl2303Type pl2303_type(const DriverFacts& facts) {
  if (!facts.has_usb_descriptor) return Pl2303Type::kNone;
  if (facts.usb_device_class == 0x02 || facts.usb_max_packet0 != 0x40) return Pl2303Type::kH;
  if (facts.usb_bcd_usb == 0x101 || facts.usb_bcd_usb == 0x110) {
    return facts.usb_bcd_device == 0x400 ? Pl2303Type::kHxd : Pl2303Type::kHx;
  }
  if (facts.usb_bcd_usb != 0x200) return Pl2303Type::kNone;
  switch (facts.usb_bcd_device) {
    case 0x300:
      return Pl2303Type::kTaOrGt;
    case 0x500:
      return Pl2303Type::kTbOrGe;
    case 0x100:
    case 0x105:
    case 0x305:
    case 0x400:
    case 0x405:
    case 0x505:
    case 0x600:
    case 0x605:
    case 0x700:
    case 0x705:
      return Pl2303Type::kHxn;
    default:
      return Pl2303Type::kNone;
  }
}

// ftdi_sio's chip type, from the device's bcdDevice as the driver reads it.
struct FtdiType {
  const char* name;
  RateScheme scheme;
};

FtdiType ftdi_type(const DriverFacts& facts) {
  switch (facts.usb_bcd_device) {
    case 0x200:
      // The FT232B reports 0x200 when it has no serial number; the driver then finds its
      // latency timer, which the FT232A lacks.
      return facts.has_latency_timer ? FtdiType{"FT232B", RateScheme::kFtdi232B}
                                     : FtdiType{"FT232A", RateScheme::kFtdi232A};
    case 0x400:
      return {"FT232B", RateScheme::kFtdi232B};
    case 0x500:
      return {"FT2232C", RateScheme::kFtdi232B};
    case 0x600:
      return {"FT232R", RateScheme::kFtdi232B};
    case 0x700:
      return {"FT2232H", RateScheme::kFtdiHighSpeed};
    case 0x800:
      return {"FT4232H", RateScheme::kFtdiHighSpeed};
    case 0x900:
      return {"FT232H", RateScheme::kFtdiHighSpeed};
    case 0x1000:
      return {"FT-X", RateScheme::kFtdi232B};
    case 0x2800:
      return {"FT2233HP", RateScheme::kFtdiHighSpeed};
    case 0x2900:
      return {"FT4233HP", RateScheme::kFtdiHighSpeed};
    case 0x3000:
      return {"FT2232HP", RateScheme::kFtdiHighSpeed};
    case 0x3100:
      return {"FT4232HP", RateScheme::kFtdiHighSpeed};
    case 0x3200:
      return {"FT233HP", RateScheme::kFtdiHighSpeed};
    case 0x3300:
      return {"FT232HP", RateScheme::kFtdiHighSpeed};
    case 0x3600:
      return {"FT4232HA", RateScheme::kFtdiHighSpeed};
    default:
      // ftdi_sio takes what it does not know for an FT232R.
      return facts.usb_bcd_device < 0x200 ? FtdiType{"SIO", RateScheme::kFtdiSio}
                                          : FtdiType{"FT232R", RateScheme::kFtdi232B};
  }
}

void cp210x_range(const DriverFacts& facts, RateGenerator& generator) {
  generator.scheme = RateScheme::kCp210xTable;
  generator.lowest = kCp210xMinBaud;
  generator.highest = 2'000'000;
  switch (facts.chip_part) {
    case kCp2101:
      generator.highest = 921600;
      generator.framing = Framing::kCp2101;
      break;
    case kCp2102:
    case kCp2103:
      generator.highest = 1'000'000;
      break;
    case kCp2104:
      generator.scheme = RateScheme::kCp210xExact;
      break;
    case kCp2105:
      if (facts.interface_number == 0) {
        generator.scheme = RateScheme::kCp210xExact;
      } else {
        generator.lowest = kCp2105SciMinBaud;
        generator.highest = 921600;
      }
      break;
    case kCp2102NQfn28:
    case kCp2102NQfn24:
    case kCp2102NQfn20:
      generator.scheme = RateScheme::kCp210xExact;
      generator.highest = 3'000'000;
      break;
    case kCp2108:
      break;
    default:
      // An unread part: every part clamps to 300 baud at least. The plain 48 MHz divisor then
      // judges the rate read back, which on a table part is the table's: it refuses no rate a
      // part can make within 2 %.
      generator.scheme = RateScheme::kCp210xExact;
      generator.highest = 0;
      break;
  }
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

// A sysfs attribute's first line, without its newline; empty when there is none.
std::string read_line(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return {};
  char text[256] = {};
  bool read = std::fgets(text, sizeof text, file) != nullptr;
  std::fclose(file);
  if (!read) return {};
  std::string line(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
    line.pop_back();
  return line;
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

// The USB device node of the device in sysfs directory `usb_device`, below `dev_root`.
std::string usb_node_of(const std::string& usb_device, const char* dev_root) {
  unsigned long bus = 0;
  unsigned long device = 0;
  if (!read_number(usb_device + "/busnum", 10, bus) ||
      !read_number(usb_device + "/devnum", 10, device)) {
    return {};
  }
  char node[32];
  std::snprintf(node, sizeof node, "/bus/usb/%03lu/%03lu", bus % 1000, device % 1000);
  return std::string(dev_root) + node;
}

// One vendor request that only reads, sent through the USB device node: it needs no claimed
// interface, so the driver keeps the port. The number of bytes back, or -1 on any failure;
// `stalled` tells the chip's refusal from the rest.
int vendor_read(int fd, std::uint8_t recipient, std::uint8_t request, std::uint16_t value,
                std::uint16_t index, unsigned char* answer, std::uint16_t length,
                bool* stalled = nullptr) {
  usbdevfs_ctrltransfer transfer{};
  transfer.bRequestType = USB_DIR_IN | USB_TYPE_VENDOR | recipient;
  transfer.bRequest = request;
  transfer.wValue = value;
  transfer.wIndex = index;
  transfer.wLength = length;
  transfer.timeout = 1000;  // milliseconds
  transfer.data = answer;
  int received = ioctl(fd, USBDEVFS_CONTROL, &transfer);
  if (stalled != nullptr) *stalled = received < 0 && errno == EPIPE;
  return received;
}

// Asks a CH341 for its version and its prescaler, a CP210x for its part. The node can be written
// only by root on most systems; the list says so.
void read_chip_facts(const std::string& usb_device, const char* dev_root, DriverFacts& facts) {
  facts.usb_node = usb_node_of(usb_device, dev_root);
  if (facts.usb_node.empty()) return;
  int fd = open(facts.usb_node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    facts.usb_node_refused = errno == EACCES || errno == EPERM;
    return;
  }
  unsigned char answer[2] = {};
  if (facts.driver == "ch341-uart") {
    if (vendor_read(fd, USB_RECIP_DEVICE, kCh341ReadVersion, 0, 0, answer, 2) == 2) {
      facts.chip_version = answer[0];
      bool stalled = false;
      vendor_read(fd, USB_RECIP_DEVICE, kCh341ReadRegister, kCh341BreakRegister, 0, answer, 2,
                  &stalled);
      facts.limited_prescaler = stalled;
    }
  } else if (facts.driver == "cp210x") {
    if (vendor_read(fd, USB_RECIP_INTERFACE, kCp210xVendorSpecific, kCp210xGetPartNumber,
                    static_cast<std::uint16_t>(facts.interface_number), answer, 1) == 1) {
      facts.chip_part = answer[0];
    }
  }
  close(fd);
}

// The USB device's descriptor fields, as sysfs shows them.
void read_usb_descriptor(const std::string& usb_device, DriverFacts& facts) {
  read_usb_ids(usb_device, facts);
  unsigned long bcd = 0;
  if (!read_number(usb_device + "/bcdDevice", 16, bcd)) return;
  facts.has_usb_descriptor = true;
  facts.usb_bcd_device = static_cast<std::uint16_t>(bcd);
  unsigned long number = 0;
  if (read_number(usb_device + "/bDeviceClass", 16, number)) {
    facts.usb_device_class = static_cast<int>(number);
  }
  if (read_number(usb_device + "/bMaxPacketSize0", 10, number)) {
    facts.usb_max_packet0 = static_cast<int>(number);
  }
  // "version" holds bcdUSB as " 2.00": the major, then two hexadecimal digits.
  unsigned major_version = 0;
  unsigned minor_version = 0;
  if (std::sscanf(read_line(usb_device + "/version").c_str(), " %u.%x", &major_version,
                  &minor_version) == 2) {
    facts.usb_bcd_usb = static_cast<std::uint16_t>((major_version << 8) | (minor_version & 0xFF));
  }
}

}  // namespace

RateGenerator classify_rate_generator(const DriverFacts& facts) {
  RateGenerator generator;
  if (facts.driver == "ch341-uart") {
    generator.scheme = RateScheme::kCh341;
    generator.limited_prescaler = facts.limited_prescaler;
    if (facts.chip_version >= 0 && facts.chip_version < kCh341FirstFramingVersion) {
      generator.framing = Framing::kOnly8N1;
    }
    return generator;
  }
  if (facts.driver == "cp210x") {
    cp210x_range(facts, generator);
    return generator;
  }
  if (facts.driver == "pl2303") {
    switch (pl2303_type(facts)) {
      case Pl2303Type::kH:
        generator = {RateScheme::kPl2303, 0, Framing::kAsAsked, 0, 1'228'800};
        break;
      case Pl2303Type::kHx:
        generator = {RateScheme::kPl2303, 0, Framing::kAsAsked, 0, 6'000'000};
        break;
      case Pl2303Type::kHxd:
        generator = {RateScheme::kPl2303, 0, Framing::kAsAsked, 0, 12'000'000};
        break;
      case Pl2303Type::kTaOrGt:
        // A GT makes any rate in its firmware, a TA by the alternative divisor; both well
        // within 2 % of every rate asked from 75 baud up, so the TA's arithmetic stands.
        generator = {RateScheme::kPl2303Alt, 0, Framing::kAsAsked, 0, 6'000'000};
        break;
      case Pl2303Type::kTbOrGe:
        generator = {RateScheme::kPl2303Alt, 0, Framing::kAsAsked, 0, 12'000'000};
        break;
      case Pl2303Type::kHxn:
      case Pl2303Type::kNone:
        break;  // the HXN's firmware makes the rate: nothing known
    }
    return generator;
  }
  if (facts.driver == "ftdi_sio" && facts.has_usb_descriptor) {
    generator.scheme = ftdi_type(facts).scheme;
    return generator;
  }
  if (is_8250_driver(facts.driver) && facts.has_uart_clock && !facts.has_serial_info) {
    // Without the open tty: sysfs tells the same type, clock and flags as TIOCGSERIAL.
    DriverFacts told = facts;
    told.has_serial_info = true;
    told.baud_base = facts.uart_clock / 16;
    return classify_rate_generator(told);
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
    case RateScheme::kCh341:
      return ch341_rate(asked, generator.limited_prescaler);
    case RateScheme::kCp210xTable:
      return cp210x_table_rate(clamp_rate(generator, asked));
    case RateScheme::kCp210xExact:
      return cp210x_exact_rate(clamp_rate(generator, asked));
    case RateScheme::kPl2303:
    case RateScheme::kPl2303Alt:
      return pl2303_rate(clamp_rate(generator, asked), generator.scheme == RateScheme::kPl2303Alt);
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
    case Framing::kCp2101:
      return byte_size == 8 && parity <= EVENPARITY && stop_bits == ONESTOPBIT;
    case Framing::kAsAsked:
      break;
  }
  return true;
}

DriverFacts read_tty_facts(const std::string& tty_dir, const char* dev_root) {
  const std::string device_dir = tty_dir + "/device";
  DriverFacts facts;
  facts.driver = driver_of(device_dir);
  if (facts.driver.empty()) return facts;
  facts.has_latency_timer = access((device_dir + "/latency_timer").c_str(), F_OK) == 0;
  unsigned long number = 0;
  if (read_number(tty_dir + "/uartclk", 10, number)) {
    facts.has_uart_clock = true;
    facts.uart_clock = static_cast<std::uint32_t>(number);
    if (read_number(tty_dir + "/type", 10, number)) facts.uart_type = static_cast<int>(number);
    if (read_number(tty_dir + "/flags", 16, number)) facts.flags = static_cast<int>(number);
  }
  // A USB serial port sits on its interface, a CDC-ACM tty on the interface itself; the USB
  // device is the interface's parent.
  const bool on_interface = facts.driver == "cdc_acm";
  const std::string interface_dir = on_interface ? device_dir : device_dir + "/..";
  if (read_number(interface_dir + "/bInterfaceNumber", 16, number)) {
    facts.interface_number = static_cast<int>(number);
  }
  const std::string usb_device = interface_dir + "/..";
  read_usb_descriptor(usb_device, facts);
  if (facts.driver == "ch341-uart" || facts.driver == "cp210x") {
    read_chip_facts(usb_device, dev_root, facts);
  }
  return facts;
}

DriverFacts probe_driver_facts(int fd, const char* sysfs_root) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return {};
  // The tty's own directory in sysfs, found by its number.
  DriverFacts facts = read_tty_facts(std::string(sysfs_root) + "/dev/char/" +
                                     std::to_string(major(status.st_rdev)) + ":" +
                                     std::to_string(minor(status.st_rdev)));
  if (facts.driver.empty()) return facts;
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
    facts.has_serial_info = true;
    facts.uart_type = info.type;
    facts.baud_base = static_cast<std::uint32_t>(info.baud_base);
    facts.flags = info.flags;
  }
  return facts;
}

std::uint32_t lowest_rate(const RateGenerator& generator) {
  switch (generator.scheme) {
    case RateScheme::kFtdiSio:
      return 300;
    case RateScheme::kFtdi232A:
    case RateScheme::kFtdi232B:
    case RateScheme::kFtdiHighSpeed:
      return 184;  // 3 MHz / 16383.875, 183.1 baud, is the slowest divisor
    case RateScheme::kCh341:
      return kCh341MinBaud;
    case RateScheme::kCp210xTable:
    case RateScheme::kCp210xExact:
    case RateScheme::kPl2303:
    case RateScheme::kPl2303Alt:
      return generator.lowest;
    case RateScheme::kUart8250:
      return generator.baud_base / 0xFFFF + 1;
    case RateScheme::kArduinoBridge:
    case RateScheme::kUnknown:
      break;
  }
  return 0;
}

std::string chip_name(const DriverFacts& facts) {
  char text[96];
  if (is_8250_driver(facts.driver) && facts.has_uart_clock) {
    static const char* const kTypes[] = {"unknown", "8250", "16450", "16550", "16550A"};
    if (facts.uart_type >= 1 && facts.uart_type <= 4) {
      std::snprintf(text, sizeof text, "%s UART, clock %u Hz (%u baud base)",
                    kTypes[facts.uart_type], facts.uart_clock, facts.uart_clock / 16);
    } else {
      std::snprintf(text, sizeof text, "UART type %d, clock %u Hz", facts.uart_type,
                    facts.uart_clock);
    }
    return text;
  }
  if (facts.driver == "ftdi_sio" && facts.has_usb_descriptor) {
    std::snprintf(text, sizeof text, "FTDI %s (bcdDevice %04x)", ftdi_type(facts).name,
                  facts.usb_bcd_device);
    return text;
  }
  if (facts.driver == "ch341-uart") {
    if (facts.chip_version < 0) return "CH340/CH341, version unread";
    std::snprintf(text, sizeof text, "CH340/CH341 version 0x%02x%s", facts.chip_version,
                  facts.limited_prescaler ? ", limited prescaler" : "");
    return text;
  }
  if (facts.driver == "cp210x") {
    if (facts.chip_part < 0) return "CP210x, part unread";
    switch (facts.chip_part) {
      case kCp2102NQfn28:
      case kCp2102NQfn24:
      case kCp2102NQfn20:
        return "CP2102N";
      case kCp2105:
        return facts.interface_number == 0 ? "CP2105, its first port (ECI)"
                                           : "CP2105, its second port (SCI)";
      default:
        std::snprintf(text, sizeof text, "CP21%02x", facts.chip_part);
        return text;
    }
  }
  if (facts.driver == "pl2303") {
    switch (pl2303_type(facts)) {
      case Pl2303Type::kH:
        return "PL2303 H";
      case Pl2303Type::kHx:
        return "PL2303 HX";
      case Pl2303Type::kHxd:
        return "PL2303 HXD";
      case Pl2303Type::kTaOrGt:
        return "PL2303 TA or GT";
      case Pl2303Type::kTbOrGe:
        return "PL2303 TB or GE";
      case Pl2303Type::kHxn:
        return "PL2303 HXN (G series)";
      case Pl2303Type::kNone:
        return "PL2303 of unknown type";
    }
  }
  if (facts.driver == "cdc_acm" && is_arduino_bridge(facts.usb_vendor, facts.usb_product)) {
    return "Arduino Uno/Mega USB bridge (ATmega8U2/16U2)";
  }
  return {};
}

bool chip_fact_missing(const DriverFacts& facts) {
  return (facts.driver == "ch341-uart" && facts.chip_version < 0) ||
         (facts.driver == "cp210x" && facts.chip_part < 0);
}

}  // namespace serial
