// The start every tool shares: argument check, device name, opening, settings, exit status.
#include <gtest/gtest.h>

#include <string>

#include "bench.h"
#include "start.h"

namespace {

using sim::Bench;
using sim::PortOp;

TEST(DeviceName, UsesOnlyTheFirstCharacterOrAWholePath) {
  EXPECT_EQ(serial::device_name("3"), "COM3");
  EXPECT_EQ(serial::device_name("12"), "COM1");
  EXPECT_EQ(serial::device_name(""), "COM");
  EXPECT_EQ(serial::device_name("x"), "COMx");
  EXPECT_EQ(serial::device_name("/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(serial::device_name("/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"),
            "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
}

bool only_dev_tty_usb0(const char* path) {
  return std::string(path) == "/dev/ttyUSB0" || std::string(path) == "/dev/1";
}

TEST(DeviceName, MachineFormsAddNamesButKeepDigitsAndPaths) {
  const serial::PortNaming windows{true, nullptr};
  EXPECT_EQ(serial::device_name("COM12", windows), "\\\\.\\COM12");
  EXPECT_EQ(serial::device_name("com3", windows), "\\\\.\\COM3");
  EXPECT_EQ(serial::device_name("\\\\.\\CNCA0", windows), "\\\\.\\CNCA0");
  const serial::PortNaming linux_names{false, only_dev_tty_usb0};
  EXPECT_EQ(serial::device_name("ttyUSB0", linux_names), "/dev/ttyUSB0");
  for (const serial::PortNaming& naming : {windows, linux_names}) {
    EXPECT_EQ(serial::device_name("12", naming), "COM1");
    EXPECT_EQ(serial::device_name("1", naming), "COM1");
    EXPECT_EQ(serial::device_name("", naming), "COM");
    EXPECT_EQ(serial::device_name("/dev/ttyUSB1", naming), "/dev/ttyUSB1");
    // Not "COM" and digits, not an existing device: the first character, as always.
    EXPECT_EQ(serial::device_name("COM", naming), "COMC");
    EXPECT_EQ(serial::device_name("COM1x", naming), "COMC");
    EXPECT_EQ(serial::device_name("ttyACM0", naming), "COMt");
  }
  // The Windows forms are Windows's alone.
  EXPECT_EQ(serial::device_name("COM12", linux_names), "COMC");
}

const serial::ToolProfile kApplying = {"  usage: probe port",
                                       serial::GENERIC_WRITE,
                                       serial::FILE_FLAG_WRITE_THROUGH,
                                       true,
                                       true,
                                       {600, 8, serial::NOPARITY, serial::ONESTOPBIT},
                                       "probe",
                                       "probe puts a probe on the line.\n"};

serial::Started start(Bench& bench, std::initializer_list<const char*> args,
                      const serial::ToolProfile& profile = kApplying) {
  std::vector<const char*> argv{"probe"};
  argv.insert(argv.end(), args.begin(), args.end());
  return serial::start_tool(profile, static_cast<int>(argv.size()), argv.data(), bench);
}

TEST(StartSequence, WrongArgumentCountPrintsTheUsageLineAndTouchesNoPort) {
  for (auto args : {std::initializer_list<const char*>{}, {"1", "2"}, {"1", "2", "3"}}) {
    Bench bench;
    serial::Started started = start(bench, args);
    EXPECT_EQ(started.status, serial::kWrongArgumentCount);
    EXPECT_EQ(started.port, nullptr);
    EXPECT_EQ(bench.screen().screen(), "  usage: probe port\n");
    EXPECT_TRUE(bench.world().calls().empty());
  }
}

TEST(StartSequence, HelpVersionAndListAloneEndWithStatus0AndTouchNoPort) {
  for (const char* option : {"-h", "--help", "-V", "--version", "-l", "--list"}) {
    Bench bench;
    serial::Started started = start(bench, {option});
    EXPECT_EQ(started.status, serial::kQuitByUser) << option;
    EXPECT_EQ(started.port, nullptr) << option;
    EXPECT_TRUE(bench.world().calls().empty()) << option;
    const std::string& screen = bench.screen().screen();
    if (option[1] == 'V' || option[2] == 'v') {
      EXPECT_EQ(screen, std::string("probe ") + TOOLS_VERSION + "\n");
    } else if (option[1] == 'l' || option[2] == 'l') {
      // The bench has no ports of its own; no note may start at column 0, where names stand.
      EXPECT_EQ(screen,
                "  No serial port found on this machine.\n"
                "  Remote ports are not listed: name one as rfc2217://HOST:PORT.\n");
    } else {
      EXPECT_EQ(screen.find("Usage: probe PORT\n\nprobe puts a probe on the line.\n"), 0u)
          << screen;
      for (const char* part : {"sim:FILE.vcd", "  4  its settings were refused\n"}) {
        EXPECT_NE(screen.find(part), std::string::npos) << part;
      }
    }
  }
  // Anything else, or an option among other arguments, is what it was: a port, or too many.
  for (auto args : {std::initializer_list<const char*>{"--helpme"},
                    std::initializer_list<const char*>{"--help", "1"}}) {
    Bench bench;
    bench.world().set_device_name("COM-");
    serial::Started started = start(bench, args);
    EXPECT_EQ(started.port != nullptr, args.size() == 1);
    EXPECT_EQ(bench.screen().screen(), args.size() == 1 ? "" : "  usage: probe port\n");
  }
}

TEST(StartSequence, OpensTheNamedPortWithTheToolsAccessAndFlags) {
  Bench bench;
  bench.world().set_device_name("COM1");
  serial::Started started = start(bench, {"12"});
  ASSERT_NE(started.port, nullptr);
  EXPECT_EQ(started.status, serial::kQuitByUser);
  EXPECT_EQ(bench.world().opened_name(), "COM1");
  EXPECT_EQ(bench.world().opened_access(), serial::GENERIC_WRITE);
  EXPECT_EQ(bench.world().opened_flags(), serial::FILE_FLAG_WRITE_THROUGH);
  EXPECT_EQ(bench.world().format().baud, 600u);
  EXPECT_EQ(started.dcb.BaudRate, 600u);
  EXPECT_TRUE(bench.screen().screen().empty());
}

TEST(StartSequence, FailuresEndWithTheirStatusSilentlyAndClosed) {
  {
    Bench bench;  // COM3 does not exist
    EXPECT_EQ(start(bench, {"3"}).status, serial::kPortNotOpened);
  }
  {
    Bench bench;  // an empty argument names "COM"
    EXPECT_EQ(start(bench, {""}).status, serial::kPortNotOpened);
  }
  {
    Bench bench;
    bench.world().set_held_elsewhere(true);
    EXPECT_EQ(start(bench, {"1"}).status, serial::kPortNotOpened);
  }
  {
    Bench bench;
    bench.world().set_settings_unreadable(true);
    EXPECT_EQ(start(bench, {"1"}).status, serial::kSettingsNotRead);
    EXPECT_FALSE(bench.world().port_open());
    EXPECT_EQ(bench.world().calls().back().op, PortOp::kClose);
  }
  {
    Bench bench;
    bench.world().set_refusal([](const serial::DCB& dcb) { return dcb.BaudRate == 600; });
    EXPECT_EQ(start(bench, {"1"}).status, serial::kSettingsRefused);
    EXPECT_FALSE(bench.world().port_open());
    EXPECT_EQ(bench.world().format().baud, 9600u);  // the old settings stay
    EXPECT_TRUE(bench.screen().screen().empty());
  }
}

TEST(StartSequence, ChangesOnlyTheFourFieldsAndOnlyWhenAsked) {
  Bench bench;
  serial::ToolProfile reads_only = kApplying;
  reads_only.applies_settings = false;
  serial::Started started = start(bench, {"1"}, reads_only);
  ASSERT_NE(started.port, nullptr);
  EXPECT_EQ(started.dcb.BaudRate, 9600u);  // as the port had it
  for (const auto& call : bench.world().calls())
    EXPECT_NE(call.op, PortOp::kSetCommState);

  Bench untouched;
  serial::ToolProfile neither = reads_only;
  neither.reads_settings = false;
  ASSERT_NE(start(untouched, {"1"}, neither).port, nullptr);
  for (const auto& call : untouched.world().calls()) {
    EXPECT_TRUE(call.op == PortOp::kOpen || call.op == PortOp::kClose);
  }
}

}  // namespace
