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
  write_text(text, std::strlen(text));
  write_text("\n", 1);
}

}  // namespace serial
