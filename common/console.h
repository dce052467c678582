// The console, tone and clock operations the tools call, named as the C runtime and Win32 name
// them (_kbhit, _getch, _putch, Sleep, Beep, clock). Windows, Linux and the bench each provide one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "event_wait.h"

// Lets the compiler check printf-style calls. MinGW builds use its own C99 printf, so the GNU
// rules apply there too and not Microsoft's.
#if defined(__MINGW32__)
#define SERIAL_PRINTF_LIKE(format_index, first_arg) \
  __attribute__((format(gnu_printf, format_index, first_arg)))
#elif defined(__GNUC__)
#define SERIAL_PRINTF_LIKE(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define SERIAL_PRINTF_LIKE(format_index, first_arg)
#endif

namespace serial {

// The code _getch gives for a typed character that has no code of its own: a character outside
// ASCII, a byte that is no text, a NUL. Never 0 or 224, which a tool would take for the prefix of
// an extended key and then read the next key as its second code.
constexpr int kUnmappedCharacter = '?';

// How a tool takes its input from the keyboard.
enum class KeyInput {
  kLines,  // whole lines, typed with echo and editing
  kKeys,   // single keys without echo, each one read with _getch
  // Single keys without echo that only end the tool: a key _kbhit finds is left where it is, for
  // whatever reads the console next.
  kKeysLeftUnread,
};

class Console {
 public:
  virtual ~Console() = default;

  // True when a key code is waiting; never blocks.
  virtual bool _kbhit() = 0;
  // The next key code, without echo. An extended key gives a prefix (0 or 224), then its code;
  // any other typed character gives one code.
  virtual int _getch() = 0;
  // One character straight to the screen, shown at once.
  virtual void _putch(int character) = 0;
  // One line of input without its newline, cut to size - 1 characters (the rest of a longer line
  // is read and dropped). False at the end of input.
  virtual bool read_line(char* buffer, std::size_t size) = 0;
  // True when read_line would return at once: a whole line, or the end of input, is waiting.
  // Never blocks. A console that cannot tell says true, and its read_line may then block.
  virtual bool line_ready() { return true; }
  // Text to the screen, shown at once.
  virtual void write_text(const char* text, std::size_t length) = 0;
  // Text to standard error (notes beside the tool's output), shown at once.
  virtual void write_error_text(const char* text, std::size_t length);

  // Made ready for the tool's way of taking keys, once, as the tool starts: a key typed at once is
  // then neither echoed nor held back until Enter. Only a terminal needs this; elsewhere it does
  // nothing.
  virtual void begin_input(KeyInput input) { (void)input; }

  virtual void Beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // Milliseconds of wall-clock time since some fixed point; the process clock of the tools.
  virtual long clock() = 0;

  // What wakes a loop that waits for the console (see event_wait.h): a key coming in, and output
  // held back that can now go out. A console that offers nothing to sleep on is polled again
  // within a millisecond.
  virtual void add_wait(WaitSet& set) { set.wake_within(1'000'000); }

  // printf into a fixed buffer, then write_text.
  int print(const char* format, ...) SERIAL_PRINTF_LIKE(2, 3);
  // The text and a newline, as the C puts writes it; one write, so the line is held or lost whole.
  void puts(const char* text);
};

}  // namespace serial
