#include "line_reader.h"

namespace serial {
namespace win32 {

bool read_bounded_line(ByteSource next_byte, void* context, char* buffer, std::size_t size) {
  std::size_t kept = 0;
  bool any = false;
  bool last_kept_is_cr = false;
  for (;;) {
    int byte = next_byte(context);
    if (byte < 0) break;
    any = true;
    if (byte == '\n') {
      // A "\r\n" line end from a Windows text source: the '\r' belongs to the line end.
      if (last_kept_is_cr) --kept;
      break;
    }
    if (size > 0 && kept + 1 < size) {
      buffer[kept++] = static_cast<char>(byte);
      last_kept_is_cr = byte == '\r';
    } else {
      last_kept_is_cr = false;
    }
  }
  if (size > 0) buffer[kept] = '\0';
  return any;
}

}  // namespace win32
}  // namespace serial
