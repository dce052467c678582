// wendro, the real binary, on a pseudo-terminal. A pty drops parity, so the first row (800 Hz:
// 4800 baud, even parity, two stop bits) cannot take; the honest outcome is the refused-start
// status with nothing printed and nothing sent. The wave itself is measured on the bench, and on
// the simulated port with a pty as the user's terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
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

TEST(WendroOnSimulatedPort, KeysFromATerminalNeverIdleTheWave) {
  PtyPair terminal;  // the user's terminal, as the tool's standard input
  ToolProcess tool(WENDRO_BIN, {"sim"}, terminal.slave());
  ASSERT_TRUE(tool.wait_for_output("   800 Hz\n", kExitDeadline));
  // Single unechoed keys from the start, while the first write is still on its way.
  EXPECT_EQ(terminal.master_settings().c_lflag & (ICANON | ECHO), 0u);
  // "+", then Shift+Tab, the Linux console's Shift+F3 and Alt+Up, which step nowhere.
  const std::string keys = "+\x1b[Z\x1b[25~\x1b[1;3A";
  terminal.write_master({keys.begin(), keys.end()});
  ASSERT_TRUE(tool.wait_for_output("   960 Hz\n", kExitDeadline));
  // A paste marker and keypad 5 on their own, no key at all: the loop goes on writing.
  const std::string no_key = "\x1b[200~\x1b[E";
  terminal.write_master({no_key.begin(), no_key.end()});
  std::this_thread::sleep_for(milliseconds(1500));
  terminal.write_master({'q'});
  EXPECT_TRUE(exited_with(tool.wait_exit(kExitDeadline), 0));
  EXPECT_EQ(tool.stdout_text(), "   800 Hz\n   960 Hz\n");
  // The bench's meter saw the first second of the 960 Hz wave: the line busy throughout, or idle
  // only as long as a busy machine may hold the program up.
  const std::string& notes = tool.stderr_text();
  std::size_t wave = notes.find("[sim] wave: 960.");
  ASSERT_NE(wave, std::string::npos) << notes;
  const std::string idle = "line idle for up to ";
  std::size_t at = notes.find(idle, wave);
  if (at != std::string::npos && at < notes.find('\n', wave)) {
    EXPECT_LT(std::atof(notes.c_str() + at + idle.size()), 200.0) << notes;
  }
}

}  // namespace
