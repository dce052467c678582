// tessik, the real binary, on a pseudo-terminal: what reaches the line, the settings it leaves,
// and how it starts and ends.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "pty_harness.h"

namespace {

using ptytest::exited_with;
using ptytest::hex;
using ptytest::PtyPair;
using ptytest::ToolProcess;
using std::chrono::milliseconds;

const milliseconds kStartDeadline(5000);
const milliseconds kExitDeadline(10000);

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
  EXPECT_TRUE(exited_with(tool.wait_exit(kExitDeadline), 0));
  EXPECT_EQ(tool.stdout_text(), ">>>>>");
  EXPECT_EQ(tool.stderr_text(), "");
  EXPECT_TRUE(pty.drain_master(milliseconds(100)).empty());
  // The port is left as it was found.
  EXPECT_EQ(pty.master_rate(), 9600u);
  EXPECT_NE(pty.master_settings().c_cflag & CSTOPB, 0u);
}

TEST(TessikOnPty, EndOfInputEndsLikeQuit) {
  PtyPair pty;
  ToolProcess tool(TESSIK_BIN, {pty.link_path()});
  ASSERT_TRUE(tool.wait_for_output(">", kStartDeadline));
  tool.close_stdin();
  EXPECT_TRUE(exited_with(tool.wait_exit(kExitDeadline), 0));
  EXPECT_EQ(tool.stdout_text(), ">");
  EXPECT_TRUE(pty.drain_master(milliseconds(100)).empty());
}

}  // namespace
