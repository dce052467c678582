// The rate a serial port's hardware really runs when a baud number is asked of it.
//
// Reading the settings back after tcsetattr does not tell this everywhere: the 8250 driver keeps
// the number that was asked while the UART runs the nearest rate its integer divisor makes (56000
// runs as 57600 on a 16550), and ftdi_sio accepts rates below what the FTDI divisor can reach
// and programs the chip with an overflowed divisor. Where the divisor scheme is known, the port
// judges the rate that the hardware will make instead.
#pragma once

#include <cstdint>
#include <string>

namespace serial {

// The divisor schemes this layer knows.
enum class RateScheme {
  kUnknown,        // nothing known: the rate read back is taken as the line's rate
  kUart8250,       // 8250/16450/16550/16550A: baud_base / integer divisor
  kFtdiSio,        // the first FTDI chip: a fixed list of rates
  kFtdi232A,       // FT8U232AM: 3 MHz / (n + 0, 1/8, 1/4 or 1/2)
  kFtdi232B,       // FT232B/R, FT2232C, FT-X: 3 MHz / (n + k/8)
  kFtdiHighSpeed,  // the H chips: 12 MHz / (n + k/8) from 1200 baud up, else as kFtdi232B
  kArduinoBridge,  // the Uno's and Mega's USB bridge: 16 MHz / 8 / (UBRR + 1), UBRR 12 bits
  kCh341,          // CH340/CH341: 48 MHz / (2^(12 - 3 ps - fact) x divisor), divisor 2..255
  kCp210xTable,    // CP2101/2102/2103/2105 SCI/2108: the nearest rate of the chip's own table
  kCp210xExact,    // CP2104, CP2105 ECI, CP2102N: 48 MHz / (2 x prescale x integer)
  kPl2303,         // PL2303 H, HX, HXD: a listed rate as such, else 12 MHz x 32 / (m x 4^e)
  kPl2303Alt,      // PL2303 TA, TB: a listed rate as such, else 12 MHz x 32 / (m x 2^e)
};

// The frames the hardware can make, where the driver does not say so itself.
enum class Framing {
  kAsAsked,      // whatever the driver keeps
  kOnly8N1,      // 8 data bits, no parity, one stop bit, whatever is asked
  kNoMarkSpace,  // no mark or space parity: those bytes go out without a parity bit
  kCp2101,       // 8 data bits and one stop bit only, no mark or space parity
};

struct RateGenerator {
  RateScheme scheme = RateScheme::kUnknown;
  std::uint32_t baud_base = 0;  // 8250 only: the UART clock / 16
  Framing framing = Framing::kAsAsked;
  // The range the driver clamps an asked rate into before its arithmetic; 0 where it does not.
  std::uint32_t lowest = 0;
  std::uint32_t highest = 0;
  bool limited_prescaler = false;  // CH340s that have no fact = 1 below prescaler 3
};

// What the port's driver tells of its hardware: the driver's name, from sysfs, and TIOCGSERIAL.
struct DriverFacts {
  std::string driver;              // "serial8250", "serial" (PnP or PCI 8250), "ftdi_sio", ...
  bool has_serial_info = false;    // TIOCGSERIAL answered
  int uart_type = 0;               // serial_struct.type (PORT_16550A is 4)
  std::uint32_t baud_base = 0;     // serial_struct.baud_base
  int flags = 0;                   // serial_struct.flags
  bool has_latency_timer = false;  // ftdi_sio shows latency_timer for all but SIO and FT232A
  std::uint16_t usb_vendor = 0;    // idVendor and idProduct of the USB device, 0 when none
  std::uint16_t usb_product = 0;
  int chip_version = -1;  // ch341: the version the chip reports, -1 when it could not be read
  // From sysfs, without opening the tty: a serial_core port's "type" and "uartclk" (the UART
  // type and clock TIOCGSERIAL tells), and the USB device's descriptor fields.
  bool has_uart_clock = false;
  std::uint32_t uart_clock = 0;
  bool has_usb_descriptor = false;
  std::uint16_t usb_bcd_device = 0;
  std::uint16_t usb_bcd_usb = 0;
  int usb_device_class = 0;
  int usb_max_packet0 = 0;
  int interface_number = 0;
  int chip_part = -1;              // cp210x: the part number the chip reports, -1 when unread
  bool limited_prescaler = false;  // ch341: the chip stalled the register read that tells it
  // Where a chip's own answer comes from, and whether this user was refused there.
  std::string usb_node{};  // /dev/bus/usb/BBB/DDD, empty for a port that is not on USB
  bool usb_node_refused = false;
};

// What the rate model calls the chip behind a port ("FT232R", "CH341 version 0x31", "CP2102",
// "PL2303 HX", "16550A UART, clock 1843200 Hz"); empty where it knows nothing of it.
std::string chip_name(const DriverFacts& facts);

// Whether the model lacks a fact of the chip that can change what it makes (a CH341's version, a
// CP210x's part): the open then judges by the driver's read-back alone.
bool chip_fact_missing(const DriverFacts& facts);

// Picks the divisor scheme from the driver's facts. Anything it cannot be sure of (custom
// divisors, the 38400 speed kludge flags, UART types with fractional dividers, other drivers)
// stays kUnknown, so that no good rate is refused.
RateGenerator classify_rate_generator(const DriverFacts& facts);

// The rate the hardware runs for the asked baud number, or 0 when it cannot make it at all.
// kUnknown gives back the asked number.
double hardware_rate(const RateGenerator& generator, std::uint32_t asked);

// Whether a port asked for `asked` baud, whose driver kept `read_back`, runs close enough to the
// asked rate: within about 2 %, what a UART's divider or a USB bridge may round to without harm.
bool runs_close_enough(const RateGenerator& generator, std::uint32_t asked,
                       std::uint32_t read_back);

// Whether the hardware frames bytes as asked: byte size 5 to 8, parity and stop bits as in a DCB
// (NOPARITY 0 … SPACEPARITY 4, ONESTOPBIT 0 … TWOSTOPBITS 2).
bool frames_as_asked(const RateGenerator& generator, std::uint8_t byte_size, std::uint8_t parity,
                     std::uint8_t stop_bits);

// The lowest rate the hardware makes, 0 where it has no floor the model knows; for the list's
// "below the chip's 300".
std::uint32_t lowest_rate(const RateGenerator& generator);

// Reads the driver's facts for the tty whose sysfs directory is `tty_dir` (a /sys/class/tty/NAME
// or /sys/dev/char/M:N), from sysfs alone. The chip's own facts (a CH341's version and prescaler,
// a CP210x's part) are asked through the USB device node below `dev_root` with requests that only
// read, which the driver also sends when it binds; where the node may not be written they stay
// unknown and usb_node_refused says why.
DriverFacts read_tty_facts(const std::string& tty_dir, const char* dev_root = "/dev");

// Reads the driver's facts for an open tty from sysfs (mounted at `sysfs_root`) and TIOCGSERIAL.
// The tty's device directory is found by the tty's device number, so a /dev/serial/by-id link
// works too. For a CH341 it asks the chip for its version through the USB device node
// (/dev/bus/usb/BBB/DDD), which works only where that node may be written; otherwise the
// version stays unknown.
DriverFacts probe_driver_facts(int fd, const char* sysfs_root = "/sys");

}  // namespace serial
