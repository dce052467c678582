#include "console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace serial {

int Console::print(const char* format, ...) {
  // The tools print short fixed formats; a line never comes near this size.
  char text[512];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length < 0) return length;
  std::size_t shown = static_cast<std::size_t>(length) < sizeof text ? length : sizeof text - 1;
  write_text(text, shown);
  return length;
}

void Console::puts(const char* text) {
  char line[512];
  std::size_t length = std::strlen(text);
  if (length < sizeof line) {
    std::memcpy(line, text, length);
    line[length] = '\n';
    write_text(line, length + 1);
    return;
  }
  write_text(text, length);
  write_text("\n", 1);
}

void Console::write_error_text(const char* text, std::size_t length) {
  std::fwrite(text, 1, length, stderr);
  std::fflush(stderr);
}

}  // namespace serial
