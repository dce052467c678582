// lorvel, the real binary, on a pseudo-terminal. A pty has no modem lines, so every status read
// fails and the exchange reads 0xFF each cycle; break is a no-op there and no byte is ever sent.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "pty_harness.h"

namespace {

using ptytest::exited_with;
using ptytest::ExitResult;
using ptytest::hex;
using ptytest::PtyPair;
using ptytest::ToolProcess;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

const milliseconds kStartDeadline(5000);
// One cycle is about 580 ms; the rest is room for a busy machine and the sanitizers' exit.
const milliseconds kEndAfterKey(1500);

TEST(LorvelOnPty, PrintsFfOnceAndEndsWithinACycleOfAKey) {
  PtyPair port;
  ToolProcess tool(LORVEL_BIN, {port.link_path()});
  ASSERT_TRUE(tool.wait_for_output("  ff\n", kStartDeadline));
  // Three more cycles: the constant input is not printed again.
  std::this_thread::sleep_for(milliseconds(1800));
  steady_clock::time_point key = steady_clock::now();
  tool.write_stdin("x");
  ExitResult result = tool.wait_exit(kEndAfterKey);
  milliseconds took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - key);
  EXPECT_TRUE(exited_with(result, 0));
  EXPECT_LT(took, kEndAfterKey);
  EXPECT_EQ(tool.stdout_text(), "  ff\n");
  EXPECT_EQ(tool.stderr_text(), "");
  // Only control lines were used: no byte reached the line.
  EXPECT_EQ(hex(port.drain_master(milliseconds(100))), "");
}

TEST(LorvelOnPty, LeavesTheKeyInTheTerminalAndRestoresIt) {
  PtyPair port;
  PtyPair terminal;  // the user's terminal, as the tool's standard input
  const termios before = terminal.master_settings();
  ToolProcess tool(LORVEL_BIN, {port.link_path()}, terminal.slave());
  ASSERT_TRUE(tool.wait_for_output("  ff\n", kStartDeadline));
  EXPECT_EQ(terminal.master_settings().c_lflag & (ICANON | ECHO), 0u);  // keys raw, unechoed
  terminal.write_master({'k'});
  EXPECT_TRUE(exited_with(tool.wait_exit(kEndAfterKey), 0));
  EXPECT_EQ(tool.stdout_text(), "  ff\n");

  const termios after = terminal.master_settings();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  // The key is still waiting for whatever reads the terminal next.
  int flags = fcntl(terminal.slave(), F_GETFL);
  ASSERT_EQ(fcntl(terminal.slave(), F_SETFL, flags | O_NONBLOCK), 0);
  char left[8] = {};
  ssize_t count = read(terminal.slave(), left, sizeof left);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(left[0], 'k');
  // No echo of it either: the tool had the echo off while the key came.
  EXPECT_EQ(hex(terminal.drain_master(milliseconds(100))), "");
}

}  // namespace
