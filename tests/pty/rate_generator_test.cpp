// The rates a port's hardware really makes, as its driver programs the divisor, and which of
// them a port accepts; and how the driver behind a tty is found in sysfs.
#include "rate_generator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using serial::classify_rate_generator;
using serial::DriverFacts;
using serial::frames_as_asked;
using serial::Framing;
using serial::hardware_rate;
using serial::RateGenerator;
using serial::RateScheme;
using serial::runs_close_enough;
namespace fs = std::filesystem;

const RateGenerator k16550{RateScheme::kUart8250, 115200};

// wendro's rates and the line rates of the other tools.
constexpr std::uint32_t kToolRates[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                                        14400, 19200, 38400, 56000, 57600, 115200};

TEST(RateGenerator, A16550MakesBaudBaseOverTheRoundedDivisor) {
  EXPECT_DOUBLE_EQ(hardware_rate(k16550, 56000), 57600.0);  // divisor 2
  EXPECT_NEAR(hardware_rate(k16550, 110), 115200.0 / 1047, 1e-9);
  EXPECT_DOUBLE_EQ(hardware_rate(k16550, 14400), 14400.0);
  // Faster than the clock allows: no divisor at all.
  EXPECT_EQ(hardware_rate(k16550, 300000), 0.0);
  EXPECT_FALSE(runs_close_enough(k16550, 56000, 56000));
  for (std::uint32_t rate : kToolRates) {
    EXPECT_EQ(runs_close_enough(k16550, rate, rate), rate != 56000) << rate;
  }
}

TEST(RateGenerator, A8250OfAnotherClockRoundsItsDivisorToTheNearest) {
  // A 24 MHz UART: 1500000 / 56000 = 26.79, so divisor 27 makes 55556 baud, 0.8 % slow; 26
  // would make 57692, 3 % fast.
  const RateGenerator fast_clock{RateScheme::kUart8250, 1500000};
  EXPECT_NEAR(hardware_rate(fast_clock, 56000), 1500000.0 / 27, 1e-6);
  EXPECT_TRUE(runs_close_enough(fast_clock, 56000, 56000));
  // 1500000 / 14400 = 104.17 rounds down, to 104.
  EXPECT_NEAR(hardware_rate(fast_clock, 14400), 1500000.0 / 104, 1e-6);
}

TEST(RateGenerator, FtdiChipsCannotGoBelowTheirFourteenBitDivisor) {
  for (RateScheme scheme :
       {RateScheme::kFtdi232A, RateScheme::kFtdi232B, RateScheme::kFtdiHighSpeed}) {
    RateGenerator ftdi{scheme, 0};
    // 3 MHz / 16383.875 is the slowest: 183.1 baud.
    EXPECT_EQ(hardware_rate(ftdi, 110), 0.0);
    EXPECT_EQ(hardware_rate(ftdi, 183), 0.0);
    EXPECT_NEAR(hardware_rate(ftdi, 184), 184.0, 0.1);
    for (std::uint32_t rate : kToolRates) {
      EXPECT_EQ(runs_close_enough(ftdi, rate, rate), rate != 110) << rate;
    }
  }
}

TEST(RateGenerator, FtdiFractionsFollowTheChip) {
  // 3 MHz / 56000 = 53.57: the B chips take 53.625 (eighths), the A chip only 53.5.
  EXPECT_NEAR(hardware_rate({RateScheme::kFtdi232B, 0}, 56000), 3e6 / 53.625, 1e-6);
  EXPECT_NEAR(hardware_rate({RateScheme::kFtdi232A, 0}, 56000), 3e6 / 53.5, 1e-6);
  // The H chips divide 12 MHz from 1200 baud up: 12 MHz / 214.25.
  EXPECT_NEAR(hardware_rate({RateScheme::kFtdiHighSpeed, 0}, 56000), 12e6 / 214.25, 1e-6);
  // The divisor is 3 MHz / baud to the nearest eighth. Where that ends in 7/8, the A chip, which
  // has no such fraction, takes the next whole divisor (0.6 % and 1.2 % slow here) rather than
  // the whole number below (4.4 % and 8.7 % fast).
  for (std::uint32_t asked : {143700u, 276000u}) {
    const long eighths = std::lround(24e6 / asked);
    ASSERT_EQ(eighths % 8, 7) << asked;
    const double next_whole = static_cast<double>(eighths / 8 + 1);
    EXPECT_NEAR(hardware_rate({RateScheme::kFtdi232A, 0}, asked), 3e6 / next_whole, 1e-6);
    EXPECT_TRUE(runs_close_enough({RateScheme::kFtdi232A, 0}, asked, asked)) << asked;
    EXPECT_NEAR(hardware_rate({RateScheme::kFtdi232B, 0}, asked), 24e6 / eighths, 1e-6);
  }
  // The first chip knows a fixed list only.
  RateGenerator sio{RateScheme::kFtdiSio, 0};
  EXPECT_EQ(hardware_rate(sio, 57600), 57600.0);
  EXPECT_EQ(hardware_rate(sio, 56000), 0.0);
  EXPECT_EQ(hardware_rate(sio, 14400), 0.0);
}

TEST(RateGenerator, OnlyKnownDivisorsAreJudged) {
  DriverFacts uart{"serial", true, 4, 115200, 0, false};
  EXPECT_EQ(classify_rate_generator(uart).scheme, RateScheme::kUart8250);
  EXPECT_EQ(classify_rate_generator(uart).baud_base, 115200u);
  DriverFacts ftdi{"ftdi_sio", true, 0, 24000000, 0, true};
  EXPECT_EQ(classify_rate_generator(ftdi).scheme, RateScheme::kFtdi232B);
  ftdi.has_latency_timer = false;
  EXPECT_EQ(classify_rate_generator(ftdi).scheme, RateScheme::kFtdi232A);
  ftdi.baud_base = 60000000;
  EXPECT_EQ(classify_rate_generator(ftdi).scheme, RateScheme::kFtdiHighSpeed);

  // Left alone: a custom divisor (38400 means another rate), a UART type with its own divider,
  // another driver, no serial info, a pseudo-terminal.
  DriverFacts custom = uart;
  custom.flags = 0x0030;
  DriverFacts other_type = uart;
  other_type.uart_type = 14;
  DriverFacts bridge{"mos7840", true, 0, 0, 0, false};
  DriverFacts no_info{"serial", false, 0, 0, 0, false};
  for (const DriverFacts& facts : {custom, other_type, bridge, no_info, DriverFacts{}}) {
    RateGenerator unknown = classify_rate_generator(facts);
    EXPECT_EQ(unknown.scheme, RateScheme::kUnknown) << facts.driver;
    EXPECT_TRUE(runs_close_enough(unknown, 56000, 56000));
    EXPECT_FALSE(runs_close_enough(unknown, 56000, 9600));
  }
}

TEST(RateGenerator, ArduinoBridgeMakesWhatItsTwelveBitBaudRegisterHolds) {
  DriverFacts uno{"cdc_acm", true, 0, 0, 0, false, 0x2341, 0x0043};
  RateGenerator bridge = classify_rate_generator(uno);
  ASSERT_EQ(bridge.scheme, RateScheme::kArduinoBridge);
  // 2 MHz / 18182 needs a register of 15 bits: 18181 keeps 1797; 300 keeps 2570 of 6666.
  EXPECT_NEAR(hardware_rate(bridge, 110), 2e6 / 1798, 1e-6);
  EXPECT_NEAR(hardware_rate(bridge, 300), 2e6 / 2571, 1e-6);
  // 57600 runs at normal speed, 1 MHz / 17; 115200 at double speed, 2 MHz / 17: both 2.1 % fast.
  EXPECT_NEAR(hardware_rate(bridge, 57600), 1e6 / 17, 1e-6);
  EXPECT_NEAR(hardware_rate(bridge, 115200), 2e6 / 17, 1e-6);
  EXPECT_NEAR(hardware_rate(bridge, 56000), 2e6 / 36, 1e-6);
  for (std::uint32_t rate : kToolRates) {
    bool wrong = rate == 110 || rate == 300 || rate == 57600 || rate == 115200;
    EXPECT_EQ(runs_close_enough(bridge, rate, rate), !wrong) << rate;
  }
}

TEST(RateGenerator, FramingIsJudgedOnlyWhereTheChipIsKnownToDropIt) {
  DriverFacts old_ch341{"ch341-uart", true, 0, 0, 0, false, 0, 0, 0x27};
  DriverFacts new_ch341 = old_ch341;
  new_ch341.chip_version = 0x30;
  DriverFacts unread_ch341 = old_ch341;
  unread_ch341.chip_version = -1;
  DriverFacts mega{"cdc_acm", true, 0, 0, 0, false, 0x2A03, 0x0042};
  DriverFacts other_acm = mega;  // a CH9102 behind cdc_acm: nothing known
  other_acm.usb_vendor = 0x1A86;
  other_acm.usb_product = 0x55D4;
  DriverFacts arduino_ids_elsewhere = mega;
  arduino_ids_elsewhere.driver = "mos7840";

  RateGenerator old_chip = classify_rate_generator(old_ch341);
  EXPECT_EQ(old_chip.framing, Framing::kOnly8N1);
  EXPECT_TRUE(frames_as_asked(old_chip, 8, 0, 0));
  EXPECT_FALSE(frames_as_asked(old_chip, 8, 2, 2));  // wendro's 8E2 rows
  EXPECT_FALSE(frames_as_asked(old_chip, 7, 0, 0));
  EXPECT_FALSE(frames_as_asked(old_chip, 8, 0, 2));

  RateGenerator board = classify_rate_generator(mega);
  EXPECT_TRUE(frames_as_asked(board, 8, 2, 2));
  EXPECT_TRUE(frames_as_asked(board, 7, 1, 0));
  EXPECT_FALSE(frames_as_asked(board, 8, 3, 0));  // mark
  EXPECT_FALSE(frames_as_asked(board, 8, 4, 0));  // space

  for (const DriverFacts& facts : {new_ch341, unread_ch341, other_acm, arduino_ids_elsewhere}) {
    RateGenerator as_asked = classify_rate_generator(facts);
    EXPECT_TRUE(frames_as_asked(as_asked, 8, 2, 2)) << facts.driver << facts.chip_version;
    EXPECT_TRUE(frames_as_asked(as_asked, 8, 4, 0)) << facts.driver << facts.chip_version;
  }
}

// A sysfs tree of its own, with relative links as the kernel makes them, in which one character
// device is a tty on a chosen device.
class FakeSysfs {
 public:
  FakeSysfs() {
    char root[] = "/tmp/serial_tools_sysfs_XXXXXX";
    EXPECT_NE(mkdtemp(root), nullptr);
    root_ = root;
  }
  ~FakeSysfs() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  const char* root() const { return root_.c_str(); }

  // Binds the device at `device` to the driver at `driver`, both below the root.
  void bind(const std::string& device, const std::string& driver) {
    link(root_ / device / "driver", root_ / driver);
  }
  // Makes `tty` (below the root) the tty of character device `number`, sitting on `device`.
  void add_tty(dev_t number, const std::string& tty, const std::string& device) {
    link(root_ / "dev/char" / (std::to_string(major(number)) + ":" + std::to_string(minor(number))),
         root_ / tty);
    link(root_ / tty / "device", root_ / device);
  }
  void write(const std::string& file, const std::string& text) {
    std::ofstream(root_ / file) << text;
  }

 private:
  static void link(const fs::path& at, const fs::path& target) {
    fs::create_directories(at.parent_path());
    fs::create_directories(target);
    fs::create_directory_symlink(fs::relative(target, at.parent_path()), at);
  }
  fs::path root_;
};

TEST(DriverProbe, FindsTheDriverThatRunsTheHardwareBehindATty) {
  // Any character device serves: the probe finds its directory by the device number.
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat device {};
  ASSERT_EQ(fstat(fd, &device), 0);

  // Linux 6.5 on: the tty sits on a serial-base "port" device, on a "ctrl" device, on the
  // platform device that the 8250 driver runs.
  FakeSysfs serial_base;
  const std::string uart = "devices/platform/serial8250";
  const std::string ctrl = uart + "/serial8250:0";
  const std::string port = ctrl + "/serial8250:0.0";
  serial_base.bind(port, "bus/serial-base/drivers/port");
  serial_base.bind(ctrl, "bus/serial-base/drivers/ctrl");
  serial_base.bind(uart, "bus/platform/drivers/serial8250");
  serial_base.add_tty(device.st_rdev, port + "/tty/ttyS0", port);
  DriverFacts facts = serial::probe_driver_facts(fd, serial_base.root());
  EXPECT_EQ(facts.driver, "serial8250");
  EXPECT_FALSE(facts.has_serial_info);  // /dev/null answers no TIOCGSERIAL

  // Before 6.5: the tty sits on the UART's device itself, here a PnP port.
  FakeSysfs direct;
  direct.bind("devices/pnp0/00:04", "bus/pnp/drivers/serial");
  direct.add_tty(device.st_rdev, "devices/pnp0/00:04/tty/ttyS0", "devices/pnp0/00:04");
  EXPECT_EQ(serial::probe_driver_facts(fd, direct.root()).driver, "serial");

  // A CDC-ACM tty sits on its USB interface; the USB IDs are the interface's parent's.
  FakeSysfs acm;
  const std::string interface = "devices/pci0000:00/usb1/1-1/1-1:1.0";
  acm.bind(interface, "bus/usb/drivers/cdc_acm");
  acm.add_tty(device.st_rdev, interface + "/tty/ttyACM0", interface);
  acm.write("devices/pci0000:00/usb1/1-1/idVendor", "2341\n");
  acm.write("devices/pci0000:00/usb1/1-1/idProduct", "0043\n");
  facts = serial::probe_driver_facts(fd, acm.root());
  EXPECT_EQ(facts.driver, "cdc_acm");
  EXPECT_EQ(facts.usb_vendor, 0x2341);
  EXPECT_EQ(facts.usb_product, 0x0043);

  // No device behind it, as for a pseudo-terminal.
  FakeSysfs empty;
  EXPECT_EQ(serial::probe_driver_facts(fd, empty.root()).driver, "");
  close(fd);
}

}  // namespace
