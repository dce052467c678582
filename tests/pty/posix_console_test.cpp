// The Linux console: key decoding, keys and lines from a pipe, raw mode on a terminal and its
// restoration on every way out.
#include "posix_console.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "key_decoder.h"
#include "pty_harness.h"

namespace {

using serial::decode_key;
using serial::PosixConsole;
using std::chrono::milliseconds;

// All key codes the bytes give, read as a finished input.
std::vector<int> decode_all(const std::string& bytes) {
  std::vector<int> codes;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t at = 0;
  while (at < bytes.size()) {
    serial::DecodedKey key = decode_key(data + at, bytes.size() - at, true);
    if (key.consumed == 0) {
      ADD_FAILURE() << "no progress at " << at;
      break;
    }
    for (int i = 0; i < key.count; ++i)
      codes.push_back(key.codes[i]);
    at += key.consumed;
  }
  return codes;
}

std::string with_modifier(const char* form, int m) {
  char text[32];
  std::snprintf(text, sizeof text, form, m);
  return text;
}

// Every key against the codes a Windows console gives for it alone, with Shift, Ctrl and Alt.
// xterm's m is 1 + 1 Shift + 2 Alt + 4 Ctrl (+ 8 Meta); where two are held, Alt wins over Ctrl
// and Ctrl over Shift.
TEST(KeyDecoder, KeysGiveTheWindowsCodesWithEveryModifier) {
  using Codes = std::vector<int>;
  struct Row {
    const char* name;
    const char* plain;
    const char* modified;  // %d: xterm's m
    Codes alone, shift, ctrl, alt;
  };
  const Row rows[] = {
      {"Home", "\x1b[H", "\x1b[1;%dH", {224, 71}, {224, 71}, {224, 119}, {0, 151}},
      {"Up", "\x1b[A", "\x1b[1;%dA", {224, 72}, {224, 72}, {224, 141}, {0, 152}},
      {"PgUp", "\x1b[5~", "\x1b[5;%d~", {224, 73}, {224, 73}, {224, 134}, {0, 153}},
      {"Left", "\x1b[D", "\x1b[1;%dD", {224, 75}, {224, 75}, {224, 115}, {0, 155}},
      {"Right", "\x1b[C", "\x1b[1;%dC", {224, 77}, {224, 77}, {224, 116}, {0, 157}},
      {"End", "\x1b[F", "\x1b[1;%dF", {224, 79}, {224, 79}, {224, 117}, {0, 159}},
      {"Down", "\x1b[B", "\x1b[1;%dB", {224, 80}, {224, 80}, {224, 145}, {0, 160}},
      {"PgDn", "\x1b[6~", "\x1b[6;%d~", {224, 81}, {224, 81}, {224, 118}, {0, 161}},
      {"Ins", "\x1b[2~", "\x1b[2;%d~", {224, 82}, {224, 82}, {224, 146}, {0, 162}},
      {"Del", "\x1b[3~", "\x1b[3;%d~", {224, 83}, {224, 83}, {224, 147}, {0, 163}},
      {"F1", "\x1bOP", "\x1b[1;%dP", {0, 59}, {0, 84}, {0, 94}, {0, 104}},
      {"F2", "\x1bOQ", "\x1b[1;%dQ", {0, 60}, {0, 85}, {0, 95}, {0, 105}},
      {"F3", "\x1bOR", "\x1b[1;%dR", {0, 61}, {0, 86}, {0, 96}, {0, 106}},
      {"F4", "\x1bOS", "\x1b[1;%dS", {0, 62}, {0, 87}, {0, 97}, {0, 107}},
      {"F5", "\x1b[15~", "\x1b[15;%d~", {0, 63}, {0, 88}, {0, 98}, {0, 108}},
      {"F6", "\x1b[17~", "\x1b[17;%d~", {0, 64}, {0, 89}, {0, 99}, {0, 109}},
      {"F7", "\x1b[18~", "\x1b[18;%d~", {0, 65}, {0, 90}, {0, 100}, {0, 110}},
      {"F8", "\x1b[19~", "\x1b[19;%d~", {0, 66}, {0, 91}, {0, 101}, {0, 111}},
      {"F9", "\x1b[20~", "\x1b[20;%d~", {0, 67}, {0, 92}, {0, 102}, {0, 112}},
      {"F10", "\x1b[21~", "\x1b[21;%d~", {0, 68}, {0, 93}, {0, 103}, {0, 113}},
      {"F11", "\x1b[23~", "\x1b[23;%d~", {224, 133}, {224, 135}, {224, 137}, {224, 139}},
      {"F12", "\x1b[24~", "\x1b[24;%d~", {224, 134}, {224, 136}, {224, 138}, {224, 140}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(decode_all(row.plain), row.alone);
    EXPECT_EQ(decode_all(with_modifier(row.modified, 1)), row.alone);
    EXPECT_EQ(decode_all(with_modifier(row.modified, 2)), row.shift);
    EXPECT_EQ(decode_all(with_modifier(row.modified, 5)), row.ctrl);
    EXPECT_EQ(decode_all(with_modifier(row.modified, 3)), row.alt);
    EXPECT_EQ(decode_all(with_modifier(row.modified, 6)), row.ctrl) << "Ctrl+Shift";
    EXPECT_EQ(decode_all(with_modifier(row.modified, 8)), row.alt) << "Ctrl+Alt+Shift";
    EXPECT_EQ(decode_all(with_modifier(row.modified, 9)), row.alt) << "Meta";
  }
}

// The other forms terminals send for the same keys: VT220 and the Linux console, cursor keys in
// application mode, xterm's older modifier form, Shift+Tab, and the keypad in application mode.
TEST(KeyDecoder, OtherTerminalFormsOfTheSameKeys) {
  using Codes = std::vector<int>;
  const std::pair<const char*, Codes> forms[] = {
      {"\x1bOA\x1bOB\x1bOC\x1bOD", {224, 72, 224, 80, 224, 77, 224, 75}},
      {"\x1bOH\x1bOF\x1b[1~\x1b[4~\x1b[7~\x1b[8~",
       {224, 71, 224, 79, 224, 71, 224, 79, 224, 71, 224, 79}},
      {"\x1b[11~\x1b[12~\x1b[13~\x1b[14~", {0, 59, 0, 60, 0, 61, 0, 62}},
      {"\x1b[P\x1bO5S\x1bO2P", {0, 59, 0, 97, 0, 84}},
      // The Linux console: F1..F5, and Shift+F3..F10 (its Shift+F1 and F2 are F11 and F12).
      {"\x1b[[A\x1b[[B\x1b[[C\x1b[[D\x1b[[E", {0, 59, 0, 60, 0, 61, 0, 62, 0, 63}},
      {"\x1b[25~\x1b[26~\x1b[28~\x1b[29~", {0, 86, 0, 87, 0, 88, 0, 89}},
      {"\x1b[31~\x1b[32~\x1b[33~\x1b[34~", {0, 90, 0, 91, 0, 92, 0, 93}},
      {"\t\x1b[Z", {9, 0, 15}},
      {"\x1bOp\x1bOy\x1bOn\x1bOM\x1bOj\x1bOk\x1bOm\x1bOo", {'0', '9', '.', 13, '*', '+', '-', '/'}},
      // Keypad 5 with Num Lock off: no key, and its digit with Shift.
      {"a\x1b[E\x1bOE\x1b[G\x1b[1;5E\x1b[1;2E", {'a', '5'}},
  };
  for (const auto& [bytes, codes] : forms)
    EXPECT_EQ(decode_all(bytes), codes) << ptytest::hex({bytes, bytes + std::strlen(bytes)});
}

TEST(KeyDecoder, PlainBytesAndTheLoneEscape) {
  using Codes = std::vector<int>;
  EXPECT_EQ(decode_all("q\r\x03"), (Codes{'q', '\r', 3}));
  EXPECT_EQ(decode_all("\x1b"), Codes{27});
  // ESC and a key that starts no sequence: the ESC key, then that key (Alt+x on a terminal).
  EXPECT_EQ(decode_all("\x1bx"), (Codes{27, 'x'}));
  // An unfinished sequence at the end of the input: ESC, then the rest as plain keys.
  EXPECT_EQ(decode_all("\x1b[1"), (Codes{27, '[', '1'}));
  // Sequences of no key vanish whole; the keys around them stay.
  EXPECT_EQ(decode_all("a\x1b[200~b\x1b[99Zc"), (Codes{'a', 'b', 'c'}));
  // A control character cuts a sequence short and counts itself.
  EXPECT_EQ(decode_all("\x1b[1\r"), Codes{'\r'});
  // Also after the Linux console's ESC [ [: the key that follows is not lost.
  EXPECT_EQ(decode_all("\x1b[[\r\x1b[[\x1b[A"), (Codes{'\r', 224, 72}));
}

TEST(KeyDecoder, ACharacterOutsideAsciiIsOneCodeAndNeverAPrefix) {
  using namespace std::string_literals;
  const int other = serial::kUnmappedCharacter;
  ASSERT_TRUE(other != 0 && other != 224);
  // A Thai letter (E0 B8 81), an accented one (C3 A9), a four-byte character: one code each.
  EXPECT_EQ(decode_all("\xe0\xb8\x81q\xc3\xa9+\xf0\x9f\x98\x80-"),
            (std::vector<int>{other, 'q', other, '+', other, '-'}));
  // A lone E0, a NUL, a stray continuation byte, a character cut short, a byte that starts no
  // character: one code each, and the key after it is a key of its own.
  EXPECT_EQ(decode_all("\xe0q\0q\x80q\xe0\xb8q\xc0q"s),
            (std::vector<int>{other, 'q', other, 'q', other, 'q', other, 'q', other, 'q'}));
  // The rest of a character may still be on its way.
  const unsigned char thai[] = {0xe0, 0xb8, 0x81};
  EXPECT_EQ(decode_key(thai, 2, false).consumed, 0u);
  EXPECT_EQ(decode_key(thai, 3, false).consumed, 3u);
}

TEST(KeyDecoder, ASequenceWaitsForItsRestAndNoLonger) {
  const unsigned char bytes[] = {27, '[', '1', '5', '~'};
  for (std::size_t length = 1; length < sizeof bytes; ++length) {
    EXPECT_EQ(decode_key(bytes, length, false).consumed, 0u) << length;
  }
  serial::DecodedKey whole = decode_key(bytes, sizeof bytes, false);
  EXPECT_EQ(whole.consumed, 5u);
  ASSERT_EQ(whole.count, 2);
  EXPECT_EQ(whole.codes[1], 63);
  // A complete sequence of no key is taken whole at once, so no key test waits on it.
  for (const char* none : {"\x1b[200~", "\x1b[?1A", "\x1b[2A", "\x1b[9;5~", "\x1bOz", "\x1b[E"}) {
    serial::DecodedKey key =
        decode_key(reinterpret_cast<const unsigned char*>(none), std::strlen(none), false);
    EXPECT_EQ(key.consumed, std::strlen(none)) << none + 1;
    EXPECT_EQ(key.count, 0) << none + 1;
  }
}

// A console reading from a pipe the test writes to, and writing to a pipe the test reads.
class PipeConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(input_), 0);
    ASSERT_EQ(pipe(output_), 0);
    console_ = std::make_unique<PosixConsole>(input_[0], output_[1]);
  }
  void TearDown() override {
    console_.reset();
    for (int fd : {input_[0], input_[1], output_[0], output_[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  void type(const std::string& text) {
    ASSERT_EQ(write(input_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void end_input() {
    close(input_[1]);
    input_[1] = -1;
  }
  std::string shown() {
    close(output_[1]);
    output_[1] = -1;
    std::string text;
    char chunk[256];
    ssize_t got;
    while ((got = read(output_[0], chunk, sizeof chunk)) > 0)
      text.append(chunk, got);
    return text;
  }

  int input_[2] = {-1, -1};
  int output_[2] = {-1, -1};
  std::unique_ptr<PosixConsole> console_;
};

TEST_F(PipeConsole, KeysComeInTwoCodeFormAndStopAtTheEnd) {
  EXPECT_FALSE(console_->_kbhit());
  type("a\x1b[A\x1b[15~q");
  std::vector<int> codes;
  while (console_->_kbhit())
    codes.push_back(console_->_getch());
  EXPECT_EQ(codes, (std::vector<int>{'a', 224, 72, 0, 63, 'q'}));
  end_input();
  for (int i = 0; i < 3; ++i)
    EXPECT_FALSE(console_->_kbhit());
  char line[16];
  EXPECT_FALSE(console_->read_line(line, sizeof line));
}

TEST_F(PipeConsole, ALoneEscapeIsAKeyAfterAShortWait) {
  type("\x1b");
  EXPECT_FALSE(console_->_kbhit());  // the rest of a sequence may still be on its way
  std::this_thread::sleep_for(milliseconds(60));
  ASSERT_TRUE(console_->_kbhit());
  EXPECT_EQ(console_->_getch(), 27);
  EXPECT_FALSE(console_->_kbhit());
}

TEST_F(PipeConsole, AWaitWakesForKeysAndTheRestOfASequenceButNotForEndedInput) {
  auto wait_now = [this] {
    serial::WaitSet set;
    console_->add_wait(set);
    return set;
  };
  serial::WaitSet idle = wait_now();
  ASSERT_EQ(idle.count(), 1);
  EXPECT_EQ(idle.handle(0).handle, input_[0]);
  EXPECT_EQ(idle.within_ns(), serial::WaitSet::kNoDeadline);
  // The second code of an extended key is already there.
  type("\x1b[A");
  ASSERT_TRUE(console_->_kbhit());
  EXPECT_EQ(console_->_getch(), 224);
  EXPECT_EQ(wait_now().within_ns(), 0);
  EXPECT_EQ(console_->_getch(), 72);
  // A lone ESC is a key once its sequence has had its 30 ms.
  type("\x1b");
  EXPECT_FALSE(console_->_kbhit());
  serial::WaitSet escape = wait_now();
  EXPECT_GT(escape.within_ns(), 0);
  EXPECT_LE(escape.within_ns(), 30'000'000);
  // Input that ended (a closed pipe polls ready for ever) names nothing to wait for.
  end_input();
  std::this_thread::sleep_for(milliseconds(40));
  ASSERT_TRUE(console_->_kbhit());
  EXPECT_EQ(console_->_getch(), 27);
  EXPECT_FALSE(console_->_kbhit());
  EXPECT_EQ(wait_now().count(), 0);
  EXPECT_EQ(wait_now().within_ns(), serial::WaitSet::kNoDeadline);
}

TEST_F(PipeConsole, LinesAreCutToTheBufferAndTheRestOfTheLineIsDropped) {
  type(std::string(5000, 'x') + "\nnext\r\nlast");
  end_input();
  char line[256];
  ASSERT_TRUE(console_->read_line(line, sizeof line));
  EXPECT_EQ(std::string(line), std::string(255, 'x'));
  ASSERT_TRUE(console_->read_line(line, sizeof line));
  EXPECT_EQ(std::string(line), "next");
  ASSERT_TRUE(console_->read_line(line, sizeof line));
  EXPECT_EQ(std::string(line), "last");
  EXPECT_FALSE(console_->read_line(line, sizeof line));
  EXPECT_FALSE(console_->_kbhit());
}

TEST_F(PipeConsole, KeysAndLinesShareTheInput) {
  type("ab\ncd\n");
  ASSERT_TRUE(console_->_kbhit());  // reads everything the pipe has
  EXPECT_EQ(console_->_getch(), 'a');
  char line[16];
  ASSERT_TRUE(console_->read_line(line, sizeof line));
  EXPECT_EQ(std::string(line), "b");
  ASSERT_TRUE(console_->_kbhit());
  EXPECT_EQ(console_->_getch(), 'c');
  ASSERT_TRUE(console_->read_line(line, sizeof line));
  EXPECT_EQ(std::string(line), "d");
}

TEST_F(PipeConsole, OutputGoesOutAsWritten) {
  console_->_putch('>');
  console_->print("  %3.3f Sec.\n", 0.3);
  console_->puts("  usage: tessik port");
  console_->Beep(800, 1);  // no terminal: no bell byte in the output
  EXPECT_EQ(shown(), ">  0.300 Sec.\n  usage: tessik port\n");
}

// A reader that stops reading: the console's output pipe, shrunk to a page and filled. Printing
// goes on without waiting; once the reader reads again, everything held comes out in order, and
// what did not fit is told in one notice, not dropped silently or cut mid-line.
TEST_F(PipeConsole, OutputHeldByAFullPipeNeverWaitsAndLossesAreCounted) {
  ASSERT_GT(fcntl(output_[1], F_SETPIPE_SZ, 4096), 0);
  ASSERT_EQ(fcntl(output_[0], F_SETFL, O_NONBLOCK), 0);
  std::string filler(4096, 'f');
  ASSERT_EQ(write(output_[1], filler.data(), filler.size()), 4096);
  constexpr int kDots = 9000;
  constexpr int kLines = 400;
  for (int i = 0; i < kDots; ++i)
    console_->_putch('.');
  for (int i = 0; i < kLines; ++i)
    console_->print("line %03d\n", i);

  std::string text;
  for (int quiet = 0; quiet < 20; ++quiet) {
    char chunk[4096];
    ssize_t got;
    while ((got = read(output_[0], chunk, sizeof chunk)) > 0) {
      text.append(chunk, got);
      quiet = 0;
    }
    console_->clock();  // any console call sends on what waits
    std::this_thread::sleep_for(milliseconds(1));
  }
  console_->print("after\n");
  char chunk[64];
  ssize_t got = read(output_[0], chunk, sizeof chunk);
  ASSERT_GT(got, 0);
  text.append(chunk, got);

  ASSERT_EQ(text.compare(0, filler.size(), filler), 0);
  std::size_t dots = text.find_first_not_of('.', filler.size()) - filler.size();
  EXPECT_LT(dots, static_cast<std::size_t>(kDots)) << "dots go first";
  std::string expected;
  int shown_lines = 0;
  for (char line[24];; ++shown_lines) {
    std::snprintf(line, sizeof line, "line %03d\n", shown_lines);
    if (text.find(line) == std::string::npos) break;
    expected += line;
  }
  EXPECT_GE(shown_lines, 64) << "room is kept for lines after the dots";
  ASSERT_LT(shown_lines, kLines);
  expected += "[output held up: " + std::to_string(kLines - shown_lines) + " lines lost]\nafter\n";
  EXPECT_EQ(text.substr(filler.size() + dots), expected);
}

tcflag_t local_flags(const ptytest::PtyPair& pty) {
  return pty.master_settings().c_lflag;
}

TEST(TerminalConsole, RawKeysOnlyWhileInUse) {
  ptytest::PtyPair pty;
  tcflag_t before = local_flags(pty);
  ASSERT_EQ(before & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  {
    PosixConsole console(pty.slave(), pty.slave());
    EXPECT_EQ(local_flags(pty), before);  // lines alone never change the terminal
    EXPECT_FALSE(console._kbhit());
    EXPECT_EQ(local_flags(pty) & (ICANON | ECHO), 0u);
    EXPECT_NE(local_flags(pty) & ISIG, 0u);  // Ctrl-C still ends the program
    pty.write_master({0x1b, '[', 'B'});
    EXPECT_EQ(console._getch(), 224);
    EXPECT_EQ(console._getch(), 80);
  }
  EXPECT_EQ(local_flags(pty), before);
}

// Waits up to 10 s for the child to end (or stop, with WUNTRACED); kills it after that.
bool wait_for_child(pid_t child, int options, int& status) {
  for (int waited_ms = 0; waited_ms < 10000; waited_ms += 10) {
    if (waitpid(child, &status, options | WNOHANG) == child) return true;
    usleep(10000);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  ADD_FAILURE() << "console child did not end";
  return false;
}

// How a child process with a raw-mode console on a terminal ends.
enum class Ending { kReturn, kExit, kSignal };

// Runs a console in a child process with the pty slave as its input, keys in use, then ends it.
// Returns the child's wait status.
int run_console_child(ptytest::PtyPair& pty, Ending ending, int signal_number) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    {
      PosixConsole console(pty.slave(), pty.slave());
      console._kbhit();
      if (write(ready[1], "R", 1) != 1) _exit(10);
      if (ending == Ending::kExit) std::exit(3);
      if (ending == Ending::kSignal) {
        for (;;)
          pause();
      }
    }
    _exit(4);
  }
  close(ready[1]);
  char byte = 0;
  bool started = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (started && ending == Ending::kSignal) {
    EXPECT_EQ(local_flags(pty) & (ICANON | ECHO), 0u) << "raw while running";
    kill(child, signal_number);
  }
  int status = 0;
  wait_for_child(child, 0, status);
  return status;
}

TEST(TerminalConsole, TerminalIsRestoredOnEveryWayOut) {
  ptytest::PtyPair pty;
  tcflag_t before = local_flags(pty);

  int status = run_console_child(pty, Ending::kReturn, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 4);
  EXPECT_EQ(local_flags(pty), before) << "after return";

  status = run_console_child(pty, Ending::kExit, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(local_flags(pty), before) << "after exit()";

  for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
    // A signal this test process was started to ignore stays ignored in the program too.
    struct sigaction inherited {};
    sigaction(signal_number, nullptr, &inherited);
    if (inherited.sa_handler == SIG_IGN) continue;
    status = run_console_child(pty, Ending::kSignal, signal_number);
    // The program still ends by the signal, as its parent expects.
    ASSERT_TRUE(WIFSIGNALED(status)) << signal_number;
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_EQ(local_flags(pty), before) << "after signal " << signal_number;
  }
}

TEST(TerminalConsole, StoppedProgramLeavesANormalTerminal) {
  ptytest::PtyPair pty;
  tcflag_t before = local_flags(pty);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    // A group of its own, with its parent outside it: the kernel then stops it on SIGTSTP
    // (it ignores stop signals to orphaned groups).
    setpgid(0, 0);
    PosixConsole console(pty.slave(), pty.slave());
    console._kbhit();
    if (write(ready[1], "R", 1) != 1) _exit(10);
    for (;;)
      pause();
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  close(ready[1]);
  kill(child, SIGTSTP);
  int status = 0;
  ASSERT_TRUE(wait_for_child(child, WUNTRACED, status));
  EXPECT_TRUE(WIFSTOPPED(status));
  EXPECT_EQ(local_flags(pty), before) << "while stopped";
  kill(child, SIGCONT);
  bool raw_again = false;
  for (int i = 0; i < 200 && !raw_again; ++i) {
    raw_again = (local_flags(pty) & (ICANON | ECHO)) == 0;
    if (!raw_again) usleep(10000);
  }
  EXPECT_TRUE(raw_again) << "raw keys again after continuing";
  kill(child, SIGTERM);
  ASSERT_TRUE(wait_for_child(child, 0, status));
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(local_flags(pty), before);
}

}  // namespace
