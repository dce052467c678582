// The rates a port's hardware really makes, as its driver programs the divisor, and which of
// them a port accepts; and how the driver behind a tty is found in sysfs.
#include "rate_generator.h"

#include "posix_port_list.h"

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
#include <sstream>
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

namespace list {

using serial::PortNeeds;

TEST(RateGenerator, UsbBridgesMakeWhatTheirDriversProgram) {
  // CH341: prescaler 3 with fact 0, 48 MHz / (8 x 107) for 56000; the clamp at 46 baud.
  RateGenerator ch341{RateScheme::kCh341};
  EXPECT_NEAR(hardware_rate(ch341, 56000), 48e6 / 856, 1e-6);
  EXPECT_NEAR(hardware_rate(ch341, 110), 48e6 / (2048 * 213), 1e-6);
  EXPECT_NEAR(hardware_rate(ch341, 20), hardware_rate(ch341, 46), 1e-9);
  // CP2102: the table; CP2104: 48 MHz / (2 x 429); CP2105's second port starts at 2400.
  DriverFacts cp210x{"cp210x"};
  cp210x.chip_part = 0x02;
  EXPECT_EQ(hardware_rate(classify_rate_generator(cp210x), 110), 300.0);
  EXPECT_EQ(hardware_rate(classify_rate_generator(cp210x), 57600), 57600.0);
  cp210x.chip_part = 0x04;
  EXPECT_EQ(hardware_rate(classify_rate_generator(cp210x), 56000), 55944.0);
  cp210x.chip_part = 0x05;
  cp210x.interface_number = 1;
  EXPECT_EQ(hardware_rate(classify_rate_generator(cp210x), 1200), 2400.0);
  cp210x.chip_part = 0x01;
  EXPECT_FALSE(frames_as_asked(classify_rate_generator(cp210x), 8, 2, 2));
  // An unread part: the floor every part has; a CP2102N's 269662 read back for 270000 is good
  // (the CP2102's table would make it 256000), the CP2102's 256000 is not.
  cp210x.chip_part = -1;
  EXPECT_EQ(hardware_rate(classify_rate_generator(cp210x), 110), 300.0);
  EXPECT_TRUE(runs_close_enough(classify_rate_generator(cp210x), 270000, 269662));
  EXPECT_FALSE(runs_close_enough(classify_rate_generator(cp210x), 270000, 256000));
  // PL2303 HX: a listed rate as such, 56000 as 384 MHz / 428 / 4^2; a TA: / 1704 / 2^11.
  DriverFacts hx{"pl2303"};
  hx.has_usb_descriptor = true;
  hx.usb_max_packet0 = 64;
  hx.usb_bcd_usb = 0x110;
  hx.usb_bcd_device = 0x300;
  EXPECT_EQ(hardware_rate(classify_rate_generator(hx), 14400), 14400.0);
  EXPECT_EQ(hardware_rate(classify_rate_generator(hx), 56000), 897196 >> 4);
  DriverFacts ta = hx;
  ta.usb_bcd_usb = 0x200;
  EXPECT_EQ(hardware_rate(classify_rate_generator(ta), 110), 225352 >> 11);
  DriverFacts hxn = ta;
  hxn.usb_bcd_device = 0x100;
  EXPECT_EQ(classify_rate_generator(hxn).scheme, RateScheme::kUnknown);
  // FTDI by bcdDevice: 0x600 an FT232R, 0x900 an FT232H, below 0x200 the first chip.
  DriverFacts ftdi{"ftdi_sio"};
  ftdi.has_usb_descriptor = true;
  for (auto [bcd, scheme] : {std::pair{0x600, RateScheme::kFtdi232B},
                             {0x900, RateScheme::kFtdiHighSpeed},
                             {0x100, RateScheme::kFtdiSio}}) {
    ftdi.usb_bcd_device = static_cast<std::uint16_t>(bcd);
    EXPECT_EQ(classify_rate_generator(ftdi).scheme, scheme) << bcd;
  }
}

// A machine's worth of ports in a fake tree: the 16550 that carries the console, a ttyS with no
// UART, an FT232R with a by-id name that another program holds, an Uno, and a CH341 whose
// version cannot be read.
class ListedMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* dir : {"dev/serial/by-id", "proc/4242", "class/tty/console"}) {
      fs::create_directories(root / dir);
    }
    uart("ttyS0", 4);
    uart("ttyS1", 0);
    sysfs.write("class/tty/console/active", "tty0 ttyS0\n");
    fs::create_directories(root / "class/tty/tty0");  // a virtual console: no device
    usb("ttyUSB0", "usb-serial/drivers/ftdi_sio", "1-1", "0403", "6001", "0600", false);
    usb("ttyACM0", "usb/drivers/cdc_acm", "1-2", "2341", "0043", "0001", true);
    usb("ttyUSB1", "usb-serial/drivers/ch341-uart", "1-3", "1a86", "7523", "0264", false);
    sysfs.write("devices/pci/1-1/manufacturer", "FTDI\n");
    sysfs.write("devices/pci/1-1/serial", "A10K\n");
    fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-FTDI_A10K-if00-port0");
    struct stat node {};
    ASSERT_EQ(stat((root / "dev/ttyUSB0").c_str(), &node), 0);
    std::ofstream(root / "proc/locks")
        << "1: POSIX  ADVISORY  WRITE 77 00:1a:5 0 EOF\n"
        << "2: FLOCK  ADVISORY  WRITE 4242 " << std::hex << major(node.st_dev) << ":"
        << minor(node.st_dev) << ":" << std::dec << node.st_ino << " 0 EOF\n";
    std::ofstream(root / "proc/4242/comm") << "minicom\n";
  }

  void uart(const std::string& name, int type) {
    const std::string port = "devices/platform/serial8250/" + name;
    sysfs.bind(port, "bus/platform/drivers/serial8250");
    tty(name, port);
    sysfs.write("class/tty/" + name + "/type", std::to_string(type) + "\n");
    sysfs.write("class/tty/" + name + "/uartclk", "1843200\n");
    sysfs.write("class/tty/" + name + "/flags", "0x10000040\n");
  }
  void usb(const std::string& name, const std::string& driver, const std::string& device,
           const char* vendor, const char* product, const char* bcd, bool acm) {
    const std::string usb_device = "devices/pci/" + device;
    const std::string interface = usb_device + "/" + device + ":1.0";
    const std::string port = acm ? interface : interface + "/" + name;
    sysfs.bind(port, "bus/" + driver);
    tty(name, port);
    sysfs.write(interface + "/bInterfaceNumber", "00\n");
    for (auto [file, text] : {std::pair{"idVendor", vendor},
                              {"idProduct", product},
                              {"bcdDevice", bcd},
                              {"bMaxPacketSize0", "64"}}) {
      sysfs.write(usb_device + "/" + file, std::string(text) + "\n");
    }
  }
  void tty(const std::string& name, const std::string& device) {
    const std::string dir = device + "/tty/" + name;
    fs::create_directories(root / dir);
    fs::create_directory_symlink(fs::relative(root / dir, root / "class/tty"),
                                 root / "class/tty" / name);
    fs::create_directory_symlink(fs::relative(root / device, root / dir), root / dir / "device");
    std::ofstream(root / "dev" / name) << "";
  }

  // The listing's blocks in order: each name at column 0 with the indented lines below it.
  using Blocks = std::vector<std::pair<std::string, std::vector<std::string>>>;
  Blocks list(const PortNeeds& needs, std::string* text = nullptr) {
    std::string dev = (root / "dev").string();
    std::string proc = (root / "proc").string();
    std::string listing = serial::format_port_list(
        serial::list_posix_ports(needs, {sysfs.root(), dev.c_str(), proc.c_str()}));
    if (text != nullptr) *text = listing;
    Blocks blocks;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line) && !line.empty();) {
      if (line[0] != ' ') blocks.push_back({line.substr(dev.size()), {}});
      if (line[0] == ' ' && !blocks.empty()) blocks.back().second.push_back(line);
    }
    return blocks;
  }

  FakeSysfs sysfs;
  fs::path root{sysfs.root()};
};

TEST_F(ListedMachine, BlocksFactsRefusedRowsAndWhyAPortWouldNotOpen) {
  PortNeeds wendro;
  wendro.program = "wendro";
  wendro.rows = {{110, 2, 2, "   18"},
                 {300, 0, 0, "   30"},
                 {4800, 2, 2, "  800"},
                 {56000, 0, 0, " 5600"},
                 {57600, 0, 0, " 5760"}};
  std::string text;
  Blocks blocks = list(wendro, &text);
  using Lines = std::vector<std::string>;
  ASSERT_EQ(blocks.size(), 4u) << text;
  EXPECT_EQ(blocks[0].first, "/ttyACM0");
  EXPECT_EQ(blocks[0].second, (Lines{"  kernel name ttyACM0, driver cdc_acm", "  USB 2341:0043",
                                     "  chip: Arduino Uno/Mega USB bridge (ATmega8U2/16U2)",
                                     "      18 Hz: 110 baud runs 1112, 911.2 % fast",
                                     "      30 Hz: 300 baud runs 778, 159.3 % fast",
                                     "    5760 Hz: 57600 baud runs 58824, 2.1 % fast"}));
  EXPECT_EQ(blocks[1].first, "/ttyS0");
  EXPECT_EQ(blocks[1].second, (Lines{"  kernel name ttyS0, driver serial8250",
                                     "  chip: 16550A UART, clock 1843200 Hz (115200 baud base)",
                                     "    5600 Hz: 56000 baud runs 57600, 2.9 % fast",
                                     "  refused: it carries the system console"}));
  // The by-id name is the one to pass; the lock's holder is named.
  EXPECT_EQ(blocks[2].first, "/serial/by-id/usb-FTDI_A10K-if00-port0");
  EXPECT_EQ(
      blocks[2].second,
      (Lines{"  kernel name ttyUSB0 (" + (root / "dev").string() + "/ttyUSB0), driver ftdi_sio",
             "  USB 0403:6001, manufacturer \"FTDI\", serial number \"A10K\"",
             "  chip: FTDI FT232R (bcdDevice 0600)",
             "      18 Hz: 110 baud is below the chip's 184",
             "  held by another program: process 4242 (minicom) holds its lock"}));
  // The CH341's version decides its frames: without it, the rows wait for the open.
  EXPECT_EQ(blocks[3].first, "/ttyUSB1");
  EXPECT_EQ(blocks[3].second.back().find("  rows checked when the port opens: the CH341's version"),
            0u);
  EXPECT_NE(text.find("\n\n  Left out: 1 ttyS nodes with no UART behind them.\n"
                      "  Remote ports are not listed: name one as rfc2217://HOST:PORT.\n"),
            std::string::npos)
      << text;
}

TEST_F(ListedMachine, StartSettingsAreJudgedAndLorvelGetsTheCommonFactsAlone) {
  PortNeeds tessik;
  tessik.program = "tessik";
  tessik.start = {600, 0, 0, ""};
  Blocks blocks = list(tessik);
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[1].second[2], "  tessik's 600 baud 8N1 is made here");
  EXPECT_EQ(blocks[3].second[3].find("  tessik's 600 baud 8N1 is checked when the port opens"), 0u);
  PortNeeds lorvel;
  lorvel.program = "lorvel";
  EXPECT_EQ(list(lorvel)[1].second.size(), 3u);
}

}  // namespace list
