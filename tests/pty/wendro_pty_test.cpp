// wendro, the real binary, on a pseudo-terminal. A pty drops parity, so the first row (800 Hz:
// 4800 baud, even parity, two stop bits) cannot take; the honest outcome is the refused-start
// status with nothing printed and nothing sent. The wave itself is measured on the bench.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pty_harness.h"

namespace {

using ptytest::exited_with;
using ptytest::hex;
using ptytest::PtyPair;
using ptytest::ToolProcess;
using std::chrono::milliseconds;

const milliseconds kExitDeadline(10000);

TEST(WendroOnPty, FirstRowIsRefusedBecauseAPtyDropsParity) {
  PtyPair pty;
  pty.set_line(B9600, false);
  ToolProcess tool(WENDRO_BIN, {pty.link_path()});
  // A key already waiting is not read before the first row is on the line.
  tool.write_stdin("+");
  EXPECT_TRUE(exited_with(tool.wait_exit(kExitDeadline), 4));
  EXPECT_EQ(tool.stdout_text(), "");
  EXPECT_EQ(tool.stderr_text(), "");
  EXPECT_EQ(hex(pty.drain_master(milliseconds(200))), "");
  // The refused settings did not stay on the line.
  EXPECT_EQ(pty.master_rate(), 9600u);
  EXPECT_EQ(pty.master_settings().c_cflag & CSTOPB, 0u);
}

TEST(WendroOnSimulatedPort, ATypedCharacterIsNeverTakenForAnArrowKey) {
  // A Thai letter and a lone 0xE0 from a pipe: neither steps, and the "q" after them quits.
  ToolProcess tool(WENDRO_BIN, {"sim"});
  tool.write_stdin("\xe0\xb8\x81\xe0q");
  EXPECT_TRUE(exited_with(tool.wait_exit(kExitDeadline), 0));
  EXPECT_EQ(tool.stdout_text(), "   800 Hz\n");
}

}  // namespace
