// The parts of the Windows layer that need no serial port: the bounded line reader, key and line
// input from a pipe and what a wait sleeps on for it, the remote link's wait, the clock, and opens
// that must fail. The port itself is exercised by the
// smoke run of the real programs against a pseudo-terminal under Wine.

// Project headers first: <windows.h> defines macros with the names of the port constants.
#include "line_reader.h"
#include "link.h"
#include "restore_registry.h"
#include "win32_platform.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

namespace {

using serial::win32::read_bounded_line;

struct TextSource {
  std::string text;
  std::size_t position = 0;
  static int next(void* self) {
    auto* source = static_cast<TextSource*>(self);
    if (source->position == source->text.size()) return -1;
    return static_cast<unsigned char>(source->text[source->position++]);
  }
};

TEST(LineReader, LinesEndingsAndEnd) {
  TextSource input{"14\nq\r\n\nlast"};
  char line[16];
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, line, sizeof line));
  EXPECT_STREQ("14", line);
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, line, sizeof line));
  EXPECT_STREQ("q", line) << "the \\r of a \\r\\n line end is not part of the line";
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, line, sizeof line));
  EXPECT_STREQ("", line);
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, line, sizeof line))
      << "a last line without a newline is still a line";
  EXPECT_STREQ("last", line);
  EXPECT_FALSE(read_bounded_line(&TextSource::next, &input, line, sizeof line));
}

TEST(LineReader, LongLineIsCutAndItsRestDropped) {
  TextSource input{"123456789\n42\n"};
  char guarded[8];
  std::memset(guarded, 'X', sizeof guarded);
  // Only the first 5 bytes are the buffer; the bytes after it must stay untouched.
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, guarded, 5));
  EXPECT_STREQ("1234", guarded);
  EXPECT_EQ('X', guarded[5]);
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, guarded, 5));
  EXPECT_STREQ("42", guarded) << "the dropped rest must not come back as a line of its own";
}

TEST(LineReader, CarriageReturnsInsideALineAndAtTheCut) {
  TextSource input{"a\rb\nabc\r\nab\r\n"};
  char line[4];
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, line, sizeof line));
  EXPECT_STREQ("a\rb", line) << "only a \\r right before the newline is dropped";
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, line, sizeof line));
  EXPECT_STREQ("abc", line) << "a \\r that did not fit is dropped with the rest";
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, line, sizeof line));
  EXPECT_STREQ("ab", line);
}

TEST(LineReader, TinyBuffers) {
  TextSource input{"xyz\nw\n"};
  char line[1] = {'X'};
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, line, 1));
  EXPECT_EQ('\0', line[0]);
  ASSERT_TRUE(read_bounded_line(&TextSource::next, &input, line, 0));
  EXPECT_EQ('\0', line[0]) << "size 0 stores nothing";
  EXPECT_FALSE(read_bounded_line(&TextSource::next, &input, line, 0));
}

// Standard input replaced by a pipe that the test writes into, as when the tools run in a script.
class PipedInput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::CreatePipe(&reader_, &writer_, nullptr, 0));
    saved_input_ = ::GetStdHandle(STD_INPUT_HANDLE);
    ASSERT_TRUE(::SetStdHandle(STD_INPUT_HANDLE, reader_));
    console_ = serial::win32::make_console();
  }
  void TearDown() override {
    console_.reset();
    ::SetStdHandle(STD_INPUT_HANDLE, saved_input_);
    if (writer_) ::CloseHandle(writer_);
    ::CloseHandle(reader_);
  }
  void send(const char* text) {
    ::DWORD written = 0;
    ASSERT_TRUE(
        ::WriteFile(writer_, text, static_cast<::DWORD>(std::strlen(text)), &written, nullptr));
  }
  // Typed input reaches the console a moment later, as from a keyboard.
  bool key_arrives() {
    for (int tries = 0; tries < 200; ++tries) {
      if (console_->_kbhit()) return true;
      ::Sleep(10);
    }
    return false;
  }
  void close_writer() {
    ::CloseHandle(writer_);
    writer_ = nullptr;
  }

  HANDLE reader_ = nullptr;
  HANDLE writer_ = nullptr;
  HANDLE saved_input_ = nullptr;
  std::unique_ptr<serial::Console> console_;
};

TEST_F(PipedInput, KeysComeOnePerCodeAndNeverBlock) {
  EXPECT_FALSE(console_->_kbhit()) << "an empty pipe has no key waiting";
  send("q\xE9\xE0");
  ASSERT_TRUE(key_arrives());
  EXPECT_TRUE(console_->_kbhit()) << "asking twice must not eat the key";
  EXPECT_EQ('q', console_->_getch());
  ASSERT_TRUE(key_arrives());
  EXPECT_EQ(0xE9, console_->_getch()) << "codes above 127 come back unsigned";
  ASSERT_TRUE(key_arrives());
  EXPECT_EQ(serial::kUnmappedCharacter, console_->_getch()) << "0xE0 is a letter, not a prefix";
  EXPECT_FALSE(console_->_kbhit());
  close_writer();
  EXPECT_FALSE(key_arrives()) << "after the end of input no key is ever waiting";
  EXPECT_FALSE(console_->_kbhit());
}

// Whether a wait on this set would return within `timeout_ms`.
bool wakes(const serial::WaitSet& set, ::DWORD timeout_ms) {
  if (set.within_ns() < 1'000'000) return true;
  HANDLE handles[serial::WaitSet::kMaxHandles];
  for (int i = 0; i < set.count(); ++i)
    handles[i] = reinterpret_cast<HANDLE>(set.handle(i).handle);
  return set.count() > 0 &&
         ::WaitForMultipleObjects(set.count(), handles, FALSE, timeout_ms) != WAIT_TIMEOUT;
}

TEST_F(PipedInput, AWaitWakesForAKeyAndNeverSpinsAfterTheEnd) {
  serial::WaitSet quiet;
  console_->add_wait(quiet);
  EXPECT_FALSE(wakes(quiet, 50)) << "an empty pipe must let the wait sleep";
  send("x");
  EXPECT_TRUE(wakes(quiet, 5000)) << "a byte coming must end the wait";
  ASSERT_TRUE(key_arrives());
  EXPECT_EQ('x', console_->_getch());
  serial::WaitSet taken;
  console_->add_wait(taken);
  EXPECT_FALSE(wakes(taken, 50)) << "a key already read must not wake the wait again";
  close_writer();
  EXPECT_TRUE(wakes(taken, 5000)) << "the end of input is news too";
  serial::WaitSet ended;
  console_->add_wait(ended);
  EXPECT_EQ(0, ended.count()) << "after the end of input nothing can come";
  EXPECT_EQ(serial::WaitSet::kNoDeadline, ended.within_ns());
}

TEST(Win32Link, AWaitWakesForBytesAndNotAgainOnceTheyAreTaken) {
  ::WSADATA data;
  ASSERT_EQ(0, ::WSAStartup(MAKEWORD(2, 2), &data));
  ::SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ::sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  ASSERT_EQ(0, ::bind(listener, reinterpret_cast<::sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, ::listen(listener, 1));
  ::getsockname(listener, reinterpret_cast<::sockaddr*>(&address), &length);
  serial::RemoteAddress remote;
  std::strcpy(remote.host, "127.0.0.1");
  std::snprintf(remote.port, sizeof remote.port, "%u", ::ntohs(address.sin_port));
  std::unique_ptr<serial::Link> link = serial::connect_link(remote, 5000);
  ASSERT_NE(nullptr, link);
  ::SOCKET server = ::accept(listener, nullptr, nullptr);

  for (int round = 0; round < 2; ++round) {
    serial::WaitSet quiet;
    link->add_wait(quiet);
    EXPECT_FALSE(wakes(quiet, 50)) << "round " << round << ": nothing came";
    ASSERT_EQ(3, ::send(server, "abc", 3, 0));
    EXPECT_TRUE(wakes(quiet, 5000)) << "round " << round << ": bytes came";
    serial::WaitSet unread;
    link->add_wait(unread);
    EXPECT_EQ(0, unread.within_ns()) << "round " << round << ": bytes still waiting";
    std::uint8_t buffer[8];
    EXPECT_EQ(3, link->receive(buffer, sizeof buffer));
  }
  ::closesocket(server);
  serial::WaitSet closed;
  link->add_wait(closed);
  EXPECT_TRUE(wakes(closed, 5000)) << "the server closing is news";
  ::closesocket(listener);
}

TEST_F(PipedInput, LinesUntilTheEnd) {
  send("12\r\n1300\nq");
  close_writer();
  char line[8];
  ASSERT_TRUE(console_->read_line(line, sizeof line));
  EXPECT_STREQ("12", line);
  ASSERT_TRUE(console_->read_line(line, sizeof line));
  EXPECT_STREQ("1300", line);
  ASSERT_TRUE(console_->read_line(line, sizeof line));
  EXPECT_STREQ("q", line);
  EXPECT_FALSE(console_->read_line(line, sizeof line));
}

TEST(Win32Clock, CountsWallMilliseconds) {
  std::unique_ptr<serial::Console> console = serial::win32::make_console();
  long before = console->clock();
  EXPECT_GE(before, 0);
  console->Sleep(100);
  long slept = console->clock() - before;
  // Sleep may overshoot by a scheduling quantum, never undershoot by much; the bound above is
  // generous for a loaded machine under Wine.
  EXPECT_GE(slept, 90);
  EXPECT_LT(slept, 5000);
}

TEST(Win32Open, NamesWithoutAPortFail) {
  EXPECT_EQ(nullptr, serial::win32::open_port("COM", GENERIC_READ | GENERIC_WRITE, 0))
      << "the empty port argument names no device";
  EXPECT_EQ(nullptr, serial::win32::open_port("COMZ", GENERIC_WRITE, 0));
}

std::atomic<int> g_undone_at_event{0};
std::atomic<int> g_events_kept{0};

BOOL WINAPI keep_running(DWORD) {
  g_events_kept.store(g_undone_at_event.load() + 1);
  return TRUE;
}

TEST(ConsoleEvents, CtrlCUndoesEveryChangeBeforeWindowsEndsTheProgram) {
  // The test's own handler, installed first, is asked after the program's and keeps the test
  // process alive, where Windows' own would end it.
  ASSERT_TRUE(::SetConsoleCtrlHandler(keep_running, TRUE));
  serial::win32::undo_on_console_events();
  serial::restore::Entry entry = serial::restore::add(
      [](const void*, serial::restore::Way way) {
        g_undone_at_event.store(way == serial::restore::Way::kEnding ? 1 : -1);
      },
      0);
  if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    ::FreeConsole();
    if (!::AllocConsole() || !::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
      serial::restore::remove(entry);
      GTEST_SKIP() << "no console to send Ctrl+C to";
    }
  }
  for (int waited = 0; waited < 5000 && g_events_kept.load() == 0; waited += 10)
    ::Sleep(10);
  EXPECT_EQ(g_undone_at_event.load(), 1);
  // The program's handler came first and passed the event on.
  EXPECT_EQ(g_events_kept.load(), 2);
  serial::restore::remove(entry);
  ::SetConsoleCtrlHandler(keep_running, FALSE);
}

}  // namespace
