// How every real binary starts and fails to start: the usage line for a wrong argument count and a
// silent status 2 for a port it cannot have, with the port left untouched.
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "pty_harness.h"

namespace {

using ptytest::exited_with;
using ptytest::PtyPair;
using ptytest::ToolProcess;

const std::chrono::milliseconds kExitDeadline(10000);

struct Tool {
  const char* name;
  const char* binary;
};

void PrintTo(const Tool& tool, std::ostream* out) {
  *out << tool.name;
}

class EveryTool : public ::testing::TestWithParam<Tool> {};

TEST_P(EveryTool, WrongArgumentCountPrintsOnlyTheUsageLine) {
  PtyPair pty;
  const std::vector<std::vector<std::string>> argument_lists = {
      {}, {pty.link_path(), pty.link_path()}, {"1", "2", "3"}};
  for (const auto& arguments : argument_lists) {
    ToolProcess tool(GetParam().binary, arguments);
    EXPECT_TRUE(exited_with(tool.wait_exit(kExitDeadline), 1)) << arguments.size() << " arguments";
    EXPECT_EQ(tool.stdout_text(), std::string("  usage: ") + GetParam().name + " port\n");
    EXPECT_EQ(tool.stderr_text(), "");
  }
  // The port was never touched: it is still a terminal in canonical mode.
  EXPECT_EQ(pty.master_settings().c_lflag & ICANON, static_cast<tcflag_t>(ICANON));
}

TEST_P(EveryTool, PortItCannotHaveEndsSilentlyWithStatus2) {
  char file_path[] = "/tmp/serial_tools_not_a_port_XXXXXX";
  int file = mkstemp(file_path);
  ASSERT_GE(file, 0);
  close(file);
  PtyPair pty;
  termios before = pty.master_settings();
  ptytest::LockHolder holder(pty.link_path());
  ASSERT_TRUE(holder.holding());

  // A missing device, a file that is no terminal, a port another process holds, and names that
  // are no port here ("COM" alone, and COMx).
  for (const std::string& port : {std::string("/dev/does-not-exist"), std::string(file_path),
                                  pty.link_path(), std::string(""), std::string("x")}) {
    ToolProcess tool(GetParam().binary, {port});
    EXPECT_TRUE(exited_with(tool.wait_exit(kExitDeadline), 2)) << "port '" << port << "'";
    EXPECT_EQ(tool.stdout_text(), "") << port;
    EXPECT_EQ(tool.stderr_text(), "") << port;
  }
  unlink(file_path);
  // The held port kept its settings: nobody else changed them.
  EXPECT_EQ(pty.master_settings().c_cflag, before.c_cflag);
}

TEST(EveryWayOut, ASignalLeavesThePortAsItWasFound) {
  // While another descriptor keeps the tty open (the pair's own slave end here, a getty or a
  // logger on a machine), exclusive mode left behind would refuse every later open by others.
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    for (const char* binary : {TESSIK_BIN, KADREL_BIN}) {
      SCOPED_TRACE(std::string(binary) + " signal " + std::to_string(signal_number));
      PtyPair pty;
      pty.set_line(B9600, true);
      termios found = pty.master_settings();
      ToolProcess tool(binary, {pty.link_path()});
      // Running: tessik prompts, kadrel streams.
      if (std::string(binary) == TESSIK_BIN) {
        ASSERT_TRUE(tool.wait_for_output(">", std::chrono::milliseconds(5000)));
      } else {
        ASSERT_EQ(pty.read_master(100, std::chrono::milliseconds(5000)).size(), 100u);
      }
      int exclusive = 0;
      if (ioctl(pty.slave(), TIOCGEXCL, &exclusive) != 0) GTEST_SKIP() << "no TIOCGEXCL here";
      ASSERT_EQ(exclusive, 1);
      tool.send_signal(signal_number);
      ptytest::ExitResult result = tool.wait_exit(kExitDeadline);
      ASSERT_TRUE(result.signaled);
      EXPECT_EQ(result.signal_number, signal_number);
      ASSERT_EQ(ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
      EXPECT_EQ(exclusive, 0);
      EXPECT_EQ(pty.master_rate(), 9600u);
      EXPECT_EQ(pty.master_settings().c_cflag, found.c_cflag);
      EXPECT_EQ(pty.master_settings().c_lflag, found.c_lflag);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Binaries, EveryTool,
                         ::testing::Values(Tool{"lorvel", LORVEL_BIN}, Tool{"tessik", TESSIK_BIN},
                                           Tool{"wendro", WENDRO_BIN}, Tool{"kadrel", KADREL_BIN}),
                         [](const ::testing::TestParamInfo<Tool>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
