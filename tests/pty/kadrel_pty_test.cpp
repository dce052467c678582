// kadrel, the real binary, on a pseudo-terminal: the stream it keeps on the line, the streams the
// test sends back into it, and what it prints about them while it runs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "pty_harness.h"

namespace {

using ptytest::exited_with;
using ptytest::PtyPair;
using ptytest::ToolProcess;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

const milliseconds kStartDeadline(5000);
const milliseconds kReportDeadline(5000);
const milliseconds kExitDeadline(10000);

double ms_since(steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(steady_clock::now() - start).count();
}

TEST(KadrelOnPty, KeepsAnEndless0x55StreamAt38400) {
  PtyPair pty;
  pty.set_line(B9600, true);
  ToolProcess tool(KADREL_BIN, {pty.link_path()});
  // Far more than one write's 256 bytes: the writes follow one another.
  std::vector<std::uint8_t> first = pty.read_master(5000, kStartDeadline);
  ASSERT_EQ(first.size(), 5000u);
  EXPECT_EQ(first, std::vector<std::uint8_t>(5000, 0x55));
  EXPECT_EQ(pty.master_rate(), 38400u);
  termios settings = pty.master_settings();
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(settings.c_cflag & PARENB, 0u);
  // Still going after a pause in which nobody read.
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(pty.read_master(3000, kStartDeadline), std::vector<std::uint8_t>(3000, 0x55));

  tool.write_stdin("q");
  EXPECT_TRUE(exited_with(tool.wait_exit(kExitDeadline), 0));
  EXPECT_EQ(tool.stdout_text(), "");
  EXPECT_EQ(tool.stderr_text(), "");
  // The port is left as it was found.
  EXPECT_EQ(pty.master_rate(), 9600u);
  EXPECT_NE(pty.master_settings().c_cflag & CSTOPB, 0u);
}

TEST(KadrelOnPty, ReportsEachReturningStreamAsItIsPrinted) {
  PtyPair pty;
  ToolProcess tool(KADREL_BIN, {pty.link_path()});
  ASSERT_EQ(pty.read_master(1000, kStartDeadline).size(), 1000u);  // running

  // 1152 bytes: one full read, then one that ends short 200 ms after the last byte.
  steady_clock::time_point sent = steady_clock::now();
  pty.write_master(std::vector<std::uint8_t>(1152, 0x55));
  ASSERT_TRUE(tool.wait_for_output(".", kReportDeadline)) << tool.stdout_text();
  ASSERT_TRUE(tool.wait_for_output("  0.300 Sec.\n", kReportDeadline)) << tool.stdout_text();
  double short_delay = ms_since(sent);

  // 768 bytes: exactly one full read, after which the next read stays empty.
  sent = steady_clock::now();
  pty.write_master(std::vector<std::uint8_t>(768, 0x55));
  ASSERT_TRUE(tool.wait_for_output(".  0.300 Sec.\n.", kReportDeadline)) << tool.stdout_text();
  ASSERT_TRUE(tool.wait_for_output("  0.200 Sec.\n", kReportDeadline)) << tool.stdout_text();
  double boundary_delay = ms_since(sent);

  // Both reports come after the stream stopped plus more than 400 ms of the tool's own clock.
  EXPECT_GT(short_delay, 400);
  EXPECT_GT(boundary_delay, 400);
  std::cout << "report after the stream stopped: " << short_delay << " ms (short read), "
            << boundary_delay << " ms (stream ending on a read boundary)" << std::endl;

  tool.write_stdin("q");
  EXPECT_TRUE(exited_with(tool.wait_exit(kExitDeadline), 0));
  // Each measurement on its own: the second is not added to the first.
  EXPECT_EQ(tool.stdout_text(), ".  0.300 Sec.\n.  0.200 Sec.\n");
}

}  // namespace
