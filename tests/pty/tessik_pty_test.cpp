// tessik, the real binary, on a pseudo-terminal: what reaches the line, the settings it leaves,
// and how it starts and ends.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "pty_harness.h"

namespace {

using ptytest::ExitResult;
using ptytest::hex;
using ptytest::PtyPair;
using ptytest::ToolProcess;
using std::chrono::milliseconds;

const milliseconds kStartDeadline(5000);
const milliseconds kExitDeadline(10000);

void expect_exit_status(const ExitResult& result, int status) {
  ASSERT_TRUE(result.finished) << "still running at the deadline";
  ASSERT_TRUE(result.exited) << "ended by signal " << result.signal_number;
  EXPECT_EQ(result.exit_status, status);
}

TEST(TessikOnPty, BurstsReachTheLineWithTheirExactBytes) {
  PtyPair pty;
  // Something tessik must change: another rate and two stop bits.
  pty.set_line(B9600, true);
  ToolProcess tool(TESSIK_BIN, {pty.link_path()});
  // The prompt shows through a pipe without a newline, before any input.
  ASSERT_TRUE(tool.wait_for_output(">", kStartDeadline));

  termios settings = pty.master_settings();
  EXPECT_EQ(pty.master_rate(), 600u);
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(settings.c_cflag & PARENB, 0u);

  tool.write_stdin("1\n");
  EXPECT_EQ(hex(pty.read_master(1, milliseconds(5000))), "FF");
  tool.write_stdin("6\n");
  EXPECT_EQ(hex(pty.read_master(2, milliseconds(5000))), "55 FF");
  tool.write_stdin("14\n");
  EXPECT_EQ(hex(pty.read_master(3, milliseconds(5000))), "55 55 D5");
  // Beyond the limit: the whole buffer of 0x55, 1280 pulses (256 frames at 600 baud, ~4.3 s).
  tool.write_stdin("1281\n");
  std::vector<std::uint8_t> longest = pty.read_master(256, milliseconds(20000));
  EXPECT_EQ(longest, std::vector<std::uint8_t>(256, 0x55));

  tool.write_stdin("q\n");
  expect_exit_status(tool.wait_exit(kExitDeadline), 0);
  EXPECT_EQ(tool.stdout_text(), ">>>>>");
  EXPECT_EQ(tool.stderr_text(), "");
  EXPECT_TRUE(pty.drain_master(milliseconds(100)).empty());
}

TEST(TessikOnPty, EndOfInputEndsLikeQuit) {
  PtyPair pty;
  ToolProcess tool(TESSIK_BIN, {pty.link_path()});
  ASSERT_TRUE(tool.wait_for_output(">", kStartDeadline));
  tool.close_stdin();
  expect_exit_status(tool.wait_exit(kExitDeadline), 0);
  EXPECT_EQ(tool.stdout_text(), ">");
  EXPECT_TRUE(pty.drain_master(milliseconds(100)).empty());
}

TEST(TessikOnPty, WrongArgumentCountPrintsTheUsageLine) {
  PtyPair pty;
  const std::vector<std::vector<std::string>> argument_lists = {{},
                                                                {pty.link_path(), pty.link_path()}};
  for (const auto& arguments : argument_lists) {
    ToolProcess tool(TESSIK_BIN, arguments);
    expect_exit_status(tool.wait_exit(kExitDeadline), 1);
    EXPECT_EQ(tool.stdout_text(), "  usage: tessik port\n") << arguments.size() << " arguments";
    EXPECT_EQ(tool.stderr_text(), "");
  }
  // The port was never touched.
  EXPECT_EQ(pty.master_settings().c_lflag & ICANON, static_cast<tcflag_t>(ICANON));
}

TEST(TessikOnPty, PortThatCannotBeOpenedEndsSilentlyWithStatus2) {
  char file_path[] = "/tmp/tessik_not_a_port_XXXXXX";
  int file = mkstemp(file_path);
  ASSERT_GE(file, 0);
  close(file);
  PtyPair pty;
  ptytest::LockHolder holder(pty.link_path());

  for (const std::string& port : {std::string("/dev/does-not-exist"), std::string(file_path),
                                  pty.link_path(), std::string("x")}) {
    ToolProcess tool(TESSIK_BIN, {port});
    expect_exit_status(tool.wait_exit(kExitDeadline), 2);
    EXPECT_EQ(tool.stdout_text(), "") << port;
    EXPECT_EQ(tool.stderr_text(), "") << port;
  }
  unlink(file_path);
  // The held port kept its settings: no one else changed them.
  EXPECT_NE(pty.master_rate(), 600u);
}

}  // namespace
