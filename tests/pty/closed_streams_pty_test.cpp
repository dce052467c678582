// The real binaries started without one of their standard descriptors: the port opened next must
// not take its number, or prompts, bells and dots go out on the line and keys come from it.
#include <termios.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "pty_harness.h"

namespace {

using ptytest::exited_with;
using ptytest::hex;
using ptytest::PtyPair;
using ptytest::ToolProcess;
using std::chrono::milliseconds;

struct ClosedStream {
  const char* name;
  const char* binary;
  int closed_fd;
  std::string far_end;      // waiting on the line's receive side before the tool starts
  std::string typed;        // on stdin at the start
  std::string typed_after;  // on stdin once the line carried `count` bytes
  std::uint8_t line_byte;   // the one byte the tool may send
  std::size_t count;        // how many of it; at least that many when `exact` is false
  bool exact;
};

class WithoutStandardStream : public ::testing::TestWithParam<ClosedStream> {};

TEST_P(WithoutStandardStream, TheLineCarriesOnlyTheToolsOwnBytes) {
  const ClosedStream& c = GetParam();
  PtyPair pty;
  termios raw = pty.master_settings();
  cfmakeraw(&raw);  // what the far end sends is neither echoed nor held back for a line
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &raw), 0);
  pty.write_master(std::vector<std::uint8_t>(c.far_end.begin(), c.far_end.end()));

  ToolProcess tool(c.binary, {pty.link_path()}, -1, c.closed_fd);
  tool.write_stdin(c.typed);
  std::vector<std::uint8_t> line = pty.read_master(c.count, milliseconds(10000));
  tool.write_stdin(c.typed_after);
  EXPECT_TRUE(exited_with(tool.wait_exit(milliseconds(10000)), 0));
  std::vector<std::uint8_t> rest = pty.drain_master(milliseconds(200));
  line.insert(line.end(), rest.begin(), rest.end());

  EXPECT_TRUE(c.exact ? line.size() == c.count : line.size() >= c.count) << line.size();
  auto stray = std::find_if(line.begin(), line.end(), [&](auto b) { return b != c.line_byte; });
  if (stray != line.end()) {
    ADD_FAILURE() << "from byte " << (stray - line.begin()) << ": "
                  << hex({stray, std::min(stray + 16, line.end())});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Binaries, WithoutStandardStream,
    ::testing::Values(
        // "3" is one F5: no ">" prompts, no bell.
        ClosedStream{"tessik_stdout", TESSIK_BIN, 1, "", "3\nq\n", "", 0xF5, 1, true},
        ClosedStream{"tessik_stderr", TESSIK_BIN, 2, "", "3\nq\n", "", 0xF5, 1, true},
        // A full read's "." and the report stay off the 0x55 stream.
        ClosedStream{"kadrel_stdout", KADREL_BIN, 1, std::string(1152, '\x55'), "", "q", 0x55, 4000,
                     false},
        // Without input tessik ends at once; the far end's count is no input.
        ClosedStream{"tessik_stdin", TESSIK_BIN, 0, "3\n", "", "", 0xF5, 0, true}),
    [](const ::testing::TestParamInfo<ClosedStream>& info) {
      return std::string(info.param.name);
    });

}  // namespace
