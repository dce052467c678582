// kadrel, the real binary, on a pseudo-terminal: the stream it keeps on the line, the streams the
// test sends back into it, and what it prints about them while it runs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
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

// The processor time a process has used so far: user and system, from /proc/PID/stat.
double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  unsigned long user = 0, system = 0;  // fields 14 and 15, the 12th and 13th after the name
  std::sscanf(text.c_str() + text.rfind(')') + 1,
              "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %lu %lu", &user, &system);
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(KadrelOnPty, RestsWhileItMeasuresAndOnceTheLineHasHungUp) {
  // A loop that polls without waiting takes a whole core; one that waits for its news takes a
  // few percent. A quarter of the time is far between the two, even on a loaded machine.
  PtyPair pty;
  ToolProcess tool(KADREL_BIN, {pty.link_path()});
  ASSERT_EQ(pty.read_master(1000, kStartDeadline).size(), 1000u);
  double start_cpu = cpu_seconds(tool.pid());
  steady_clock::time_point start = steady_clock::now();
  while (ms_since(start) < 2000)
    pty.write_master(pty.read_master(256, milliseconds(20)));  // the line loops back
  double measuring = (cpu_seconds(tool.pid()) - start_cpu) / (ms_since(start) / 1000);
  ASSERT_TRUE(tool.wait_for_output("..", kReportDeadline)) << tool.stdout_text();

  // The line hangs up and the keyboard's input ends: nothing can come, and nothing must spin.
  pty.close_master();
  tool.close_stdin();
  std::this_thread::sleep_for(milliseconds(200));
  start_cpu = cpu_seconds(tool.pid());
  start = steady_clock::now();
  std::this_thread::sleep_for(milliseconds(1000));
  double hung_up = (cpu_seconds(tool.pid()) - start_cpu) / (ms_since(start) / 1000);
  std::cout << "kadrel's share of a core: " << measuring * 100 << " % while it measures, "
            << hung_up * 100 << " % after the hang-up" << std::endl;
  EXPECT_LT(measuring, 0.25);
  EXPECT_LT(hung_up, 0.25);
}

// Joins the port's transmit line to its receive line for `duration`, as the circuit kadrel
// measures does: what the port sends in that time comes back to it. The bytes sent back.
std::size_t join_loop_back(PtyPair& port, milliseconds duration) {
  port.drain_master(milliseconds(0));  // sent before the join: not looped back
  std::size_t looped = 0;
  for (auto end = steady_clock::now() + duration; steady_clock::now() < end;) {
    std::vector<std::uint8_t> bytes = port.read_master(4096, milliseconds(10));
    port.write_master(bytes);
    looped += bytes.size();
  }
  return looped;
}

// What the terminal has shown by the time `text` appears on it (or the deadline passes).
std::string shown_until(PtyPair& terminal, const std::string& text, milliseconds deadline,
                        std::string shown = "") {
  for (auto end = steady_clock::now() + deadline;
       shown.find(text) == std::string::npos && steady_clock::now() < end;) {
    std::vector<std::uint8_t> bytes = terminal.read_master(4096, milliseconds(50));
    shown.append(bytes.begin(), bytes.end());
  }
  return shown;
}

// The seconds of all reports on the screen, added up.
double reported_seconds(const std::string& shown) {
  double total = 0;
  for (std::size_t at = shown.find(" Sec."); at != std::string::npos;
       at = shown.find(" Sec.", at + 1)) {
    total += std::atof(shown.c_str() + shown.rfind(' ', at - 1));
  }
  return total;
}

// kadrel as a user runs it: keys typed at the terminal it prints to. A terminal the user holds
// (Ctrl+S) or one whose output is stopped for a while must stop neither the stream nor the
// measurement; the report comes once the terminal shows output again.
class KadrelInTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(port_.read_master(1000, kStartDeadline).size(), 1000u);  // running
  }
  // Loops the stream back for a second; the report must then add up to what came back.
  void measure_and_check(const std::string& shown) {
    double expected = static_cast<double>(looped_) / 3840;  // 10 bits per byte at 38400 baud
    ASSERT_NE(shown.find(" Sec."), std::string::npos) << shown;
    EXPECT_NEAR(reported_seconds(shown), expected, 0.002) << shown;
    // The stream went on through the join (a second of it, 3840 bytes, less on a busy machine),
    // where a held loop stops it at its first dot, soon after the first 768 bytes came back.
    EXPECT_GT(looped_, 768u * 3 / 2) << shown;
    std::cout << "looped back " << looped_ << " bytes; shown: " << shown << std::endl;
  }
  void quit() {
    terminal_.write_master({'q'});
    EXPECT_TRUE(exited_with(tool_.wait_exit(kExitDeadline), 0));
    EXPECT_NE(terminal_.master_settings().c_iflag & IXON, 0u) << "the terminal's IXON is back";
  }

  PtyPair port_;
  PtyPair terminal_;
  ToolProcess tool_{KADREL_BIN, {port_.link_path()}, terminal_.slave(), -1, true};
  std::size_t looped_ = 0;
};

TEST_F(KadrelInTerminal, CtrlSIsAKeyAndHoldsNothing) {
  terminal_.write_master({0x13});  // Ctrl+S
  looped_ = join_loop_back(port_, milliseconds(1000));
  measure_and_check(shown_until(terminal_, " Sec.", kReportDeadline));
  quit();
}

TEST_F(KadrelInTerminal, ReportHeldWhileTheTerminalIsStoppedComesAfter) {
  ASSERT_EQ(tcflow(terminal_.slave(), TCOOFF), 0);
  steady_clock::time_point stopped = steady_clock::now();
  looped_ = join_loop_back(port_, milliseconds(1000));
  std::this_thread::sleep_until(stopped + milliseconds(3000));
  std::string shown = shown_until(terminal_, " Sec.", milliseconds(0));
  EXPECT_EQ(shown, "");  // the terminal was stopped
  ASSERT_EQ(tcflow(terminal_.slave(), TCOON), 0);
  measure_and_check(shown_until(terminal_, " Sec.", kReportDeadline, shown));
  quit();
}

}  // namespace
