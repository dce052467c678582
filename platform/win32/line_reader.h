// The bounded line reader behind Console::read_line, apart from where its bytes come from.
#pragma once

#include <cstddef>

namespace serial {
namespace win32 {

// Gives the next input byte (0..255), or -1 at the end of the input.
using ByteSource = int (*)(void* context);

// Reads one line as fgets would, without its limits: keeps at most size - 1 characters and a
// terminating zero, reads and drops the rest of a longer line, drops the newline and a '\r' just
// before it. False only when the input ends before any character of a line (a last line without
// a newline still counts). A size of 0 stores nothing and still consumes the line.
bool read_bounded_line(ByteSource next_byte, void* context, char* buffer, std::size_t size);

}  // namespace win32
}  // namespace serial
