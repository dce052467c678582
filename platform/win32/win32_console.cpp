// The console of the Windows build. At a real console it is the C runtime's conio, as the tools
// were written for. Redirected, conio would see nothing (it reads the console, not stdin) and
// would write past the pipe, so keys and lines then come from stdin's bytes and single
// characters go to stdout in order with the lines around them. Output into a pipe never blocks
// the program: a thread of its own writes it (RedirectedOutput); a console or a file on disk
// takes each write at once and is written directly.

// Project headers first: <windows.h> defines macros with the names of the port constants.
#include "held_output.h"
#include "line_reader.h"
#include "win32_platform.h"

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace serial {
namespace win32 {
namespace {

bool is_console(HANDLE handle) {
  ::DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

// A console or a file on disk takes every write at once; a pipe whose reader has stopped, or a
// device, may not.
bool takes_writes_at_once(HANDLE handle) {
  return is_console(handle) || ::GetFileType(handle) == FILE_TYPE_DISK;
}

// Standard input that is a pipe or a file. A thread of its own reads it into a queue, so asking
// whether a key waits never blocks: Wine cannot peek into a pipe inherited from the host, and a
// poll that reads ahead would block on a pipe that is still open but silent.
class RedirectedInput {
 public:
  static std::shared_ptr<RedirectedInput> start(HANDLE input) {
    auto shared = std::make_shared<RedirectedInput>();
    HANDLE own = nullptr;
    // The reader keeps a handle of its own and closes it at the end of input, so it never works
    // on a handle someone else has closed.
    if (input == nullptr || input == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), input, ::GetCurrentProcess(), &own, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
      shared->at_end_ = true;
      return shared;
    }
    // The thread shares the queue; it may outlive the console when the process ends while it is
    // still waiting for input.
    std::thread([shared, own] { shared->read_until_end(own); }).detach();
    return shared;
  }

  RedirectedInput() : news_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~RedirectedInput() {
    if (news_) ::CloseHandle(news_);
  }
  RedirectedInput(const RedirectedInput&) = delete;
  RedirectedInput& operator=(const RedirectedInput&) = delete;

  bool byte_waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !bytes_.empty();
  }

  // A whole line, or the end of the input, is queued: read_line takes it without waiting.
  bool line_waiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return at_end_ || std::find(bytes_.begin(), bytes_.end(), '\n') != bytes_.end();
  }

  // The event is set while a byte is queued, and for good once the input has ended. An ended
  // input whose last byte was taken can bring nothing more: the set then gets nothing from it,
  // so it never wakes a wait again. A tool that reads lines may leave them queued while it waits
  // for something else: `arrivals` then wakes the wait only for bytes, or the end, that came
  // since its last look.
  void add_wait(WaitSet& set, bool arrivals) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (arrivals) {
      if (looked_at_ != arrived_) {
        looked_at_ = arrived_;
        set.wake_now();
      } else if (!at_end_ && news_) {
        ::ResetEvent(news_);  // set again by the next arrival, under this lock
        set.add(reinterpret_cast<std::intptr_t>(news_));
      }
      return;
    }
    if (!bytes_.empty()) {
      set.wake_now();
    } else if (!at_end_) {
      if (news_) {
        set.add(reinterpret_cast<std::intptr_t>(news_));
      } else {
        set.wake_within(1'000'000);
      }
    }
  }

  // The next byte, waiting for it; -1 once the input has ended and every byte was taken.
  int next_byte() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !bytes_.empty() || at_end_; });
    if (bytes_.empty()) return -1;
    int byte = bytes_.front();
    bytes_.pop_front();
    if (bytes_.empty() && !at_end_ && news_) ::ResetEvent(news_);
    changed_.notify_all();
    return byte;
  }

 private:
  // Enough for any typed input; a large file waits in the pipe or on disk instead of in memory.
  static constexpr std::size_t kMaxQueued = 64 * 1024;

  void read_until_end(HANDLE input) {
    unsigned char chunk[256];
    for (;;) {
      ::DWORD count = 0;
      if (!::ReadFile(input, chunk, sizeof chunk, &count, nullptr) || count == 0) break;
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return bytes_.size() < kMaxQueued; });
      bytes_.insert(bytes_.end(), chunk, chunk + count);
      ++arrived_;
      if (news_) ::SetEvent(news_);
      changed_.notify_all();
    }
    ::CloseHandle(input);
    std::lock_guard<std::mutex> lock(mutex_);
    at_end_ = true;
    ++arrived_;
    if (news_) ::SetEvent(news_);
    changed_.notify_all();
  }

  HANDLE news_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<unsigned char> bytes_;
  bool at_end_ = false;
  std::uint64_t arrived_ = 0;    // chunks and the end, as they came
  std::uint64_t looked_at_ = 0;  // arrived_ at the last look of a wait for arrivals
};

// Standard output or standard error that is a pipe or a file. A pipe whose reader stops reading
// blocks WriteFile, and nothing tells how much a pipe would take without blocking (Wine cannot
// even peek into a pipe inherited from the host), so a thread of its own does the writing: the
// program only puts the text into a fixed buffer (HeldOutput), which is never a wait. A console
// never blocks a write, and keeps being written directly.
class RedirectedOutput {
 public:
  // `text_mode`: the C runtime wrote this stream with CR LF line ends, and so does the thread.
  static std::shared_ptr<RedirectedOutput> start(HANDLE output, bool text_mode) {
    auto shared = std::make_shared<RedirectedOutput>();
    shared->text_mode_ = text_mode;
    // The thread shares the buffer; it may outlive the console when the process ends while a
    // pipe still holds it in WriteFile.
    std::thread([shared, output] { shared->write_until_end(output); }).detach();
    return shared;
  }

  void write(const char* text, std::size_t length, bool is_mark) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (broken_ || ended_) return;
    held_.hold(text, length, is_mark);
    changed_.notify_all();
  }

  // At the end: what waits gets until `deadline`; then it is dropped, and a write still held in
  // the pipe ends with the process.
  void finish(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    held_.finish();
    changed_.notify_all();
    changed_.wait_until(lock, deadline, [this] { return broken_ || (held_.empty() && !writing_); });
    held_.drop();
    ended_ = true;
    changed_.notify_all();
  }

 private:
  static constexpr std::size_t kChunk = 1024;

  // The HeldOutput taker: copies into the chunk the thread writes next, as far as it has room.
  static long copy_out(void* self, const char* data, std::size_t length) {
    RedirectedOutput& out = *static_cast<RedirectedOutput*>(self);
    std::size_t taken = 0;
    while (taken < length && out.chunk_used_ + 2 <= kChunk) {
      char c = data[taken++];
      if (c == '\n' && out.text_mode_) out.chunk_[out.chunk_used_++] = '\r';
      out.chunk_[out.chunk_used_++] = c;
    }
    return static_cast<long>(taken);
  }

  void write_until_end(HANDLE output) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return !held_.empty() || ended_; });
      if (ended_) return;
      chunk_used_ = 0;
      held_.push(&copy_out, this);
      writing_ = true;
      lock.unlock();
      bool written = true;
      for (std::size_t done = 0; written && done < chunk_used_;) {
        ::DWORD count = 0;
        written = ::WriteFile(output, chunk_ + done, static_cast<::DWORD>(chunk_used_ - done),
                              &count, nullptr) &&
                  count > 0;
        done += count;
      }
      lock.lock();
      writing_ = false;
      if (!written) {
        // A closed pipe or a full disk: nothing is held for it any more.
        broken_ = true;
        held_.drop();
      }
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  HeldOutput held_;
  bool text_mode_ = true;
  bool writing_ = false;
  bool broken_ = false;
  bool ended_ = false;
  // Only the thread touches the chunk.
  char chunk_[kChunk];
  std::size_t chunk_used_ = 0;
};

// Whether the C runtime writes this stream in text mode (LF as CR LF), as it does by default.
bool in_text_mode(std::FILE* stream) {
  int mode = ::_setmode(::_fileno(stream), _O_BINARY);
  if (mode == -1) return true;
  ::_setmode(::_fileno(stream), mode);
  return (mode & _O_BINARY) == 0;
}

class Win32Console final : public Console {
 public:
  Win32Console()
      : input_is_console_(is_console(::GetStdHandle(STD_INPUT_HANDLE))),
        output_is_console_(is_console(::GetStdHandle(STD_OUTPUT_HANDLE))) {
    if (!input_is_console_) redirected_ = RedirectedInput::start(::GetStdHandle(STD_INPUT_HANDLE));
    if (!takes_writes_at_once(::GetStdHandle(STD_OUTPUT_HANDLE))) {
      output_ = RedirectedOutput::start(::GetStdHandle(STD_OUTPUT_HANDLE), in_text_mode(stdout));
    }
    if (!takes_writes_at_once(::GetStdHandle(STD_ERROR_HANDLE))) {
      errors_ = RedirectedOutput::start(::GetStdHandle(STD_ERROR_HANDLE), in_text_mode(stderr));
    }
    ::QueryPerformanceFrequency(&ticks_per_second_);
    ::QueryPerformanceCounter(&start_ticks_);
  }

  ~Win32Console() override {
    // A reader that has stopped reading cannot hold the exit for more than this.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (RedirectedOutput* output : {output_.get(), errors_.get()}) {
      if (output) output->finish(deadline);
    }
  }

  bool _kbhit() override {
    if (input_is_console_) return ::_kbhit() != 0;
    return redirected_->byte_waiting();
  }

  int _getch() override {
    // conio's own 0 and 224 prefixes are the real keys of a console, and stay as they are.
    if (input_is_console_) return ::_getch();
    // A redirected byte is one character of the code page. NUL and 0xE0 (a letter in several code
    // pages) are no prefix here: passed on as 0 or 224, they would make a tool take the next
    // character for the second code of an extended key.
    int byte = redirected_->next_byte();
    return byte == 0 || byte == 224 ? kUnmappedCharacter : byte;
  }

  void _putch(int character) override {
    if (output_) {
      char byte = static_cast<char>(character);
      // A single character is a progress mark, which may be dropped when the output is held up.
      output_->write(&byte, 1, byte != '\n');
    } else if (output_is_console_) {
      std::fflush(stdout);  // lines written before stay before the character
      ::_putch(character);
    } else {
      std::fputc(character, stdout);
      std::fflush(stdout);
    }
  }

  void begin_input(KeyInput input) override { lines_ = input == KeyInput::kLines; }

  bool line_ready() override {
    if (!input_is_console_) return redirected_->line_waiting();
    // The console edits and echoes a line only while a read runs: keys typed with none running
    // would show nothing until Enter. So a line counts as ready from its first key on, and the
    // read then takes it with the console's own echo and editing; between lines nothing is
    // queued but records that no line holds.
    if (std::feof(stdin)) return true;
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    ::INPUT_RECORD records[64];
    ::DWORD queued = 0;
    if (!::PeekConsoleInputA(input, records, 64, &queued)) return true;
    for (::DWORD i = 0; i < queued; ++i) {
      if (types_into_line(records[i])) return true;
    }
    return false;
  }

  bool read_line(char* buffer, std::size_t size) override {
    if (input_is_console_) return read_bounded_line(&stdio_byte, nullptr, buffer, size);
    return read_bounded_line(&redirected_byte, redirected_.get(), buffer, size);
  }

  void write_text(const char* text, std::size_t length) override {
    if (output_) {
      output_->write(text, length, false);
      return;
    }
    std::fwrite(text, 1, length, stdout);
    std::fflush(stdout);
  }

  void write_error_text(const char* text, std::size_t length) override {
    if (errors_) {
      errors_->write(text, length, false);
      return;
    }
    Console::write_error_text(text, length);
  }

  void Beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) override {
    ::Beep(frequency_hz, duration_ms);
  }

  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }

  void add_wait(WaitSet& set) override {
    if (!input_is_console_) {
      redirected_->add_wait(set, lines_);
    } else if (lines_) {
      add_line_wait(set);
    } else {
      add_console_wait(set);
    }
  }

  long clock() override {
    ::LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    long long elapsed = now.QuadPart - start_ticks_.QuadPart;
    long long rate = ticks_per_second_.QuadPart;
    // Whole seconds and the remainder apart, so the product never overflows.
    return static_cast<long>(elapsed / rate * 1000 + elapsed % rate * 1000 / rate);
  }

 private:
  // What a wait sleeps on at a console. Its input handle is signalled by every record in its
  // queue, also by mouse, focus, menu and window-size events, key releases and lone modifier
  // keys, which conio skips: those are taken out of the queue here, or a wait on the handle would
  // return at once, again and again. A key press conio would return is never taken. Wine's conio
  // sees a key press only once another record follows it, so one it does not see yet is looked
  // at again soon instead of waking the wait at once for good.
  void add_console_wait(WaitSet& set) {
    if (::_kbhit()) {
      set.wake_now();  // also a second code conio holds for an extended key
      return;
    }
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    for (int round = 0; round < 4; ++round) {
      ::INPUT_RECORD records[32];
      ::DWORD seen = 0;
      if (!::PeekConsoleInputA(input, records, 32, &seen)) {
        set.wake_within(1'000'000);
        return;
      }
      ::DWORD skipped = 0;
      while (skipped < seen && !is_key_press(records[skipped]))
        ++skipped;
      if (skipped < seen) {
        if (::_kbhit()) {
          set.wake_now();
          return;
        }
        // Conio passed over the key press at the head (a key with no code of its own), which
        // even Wine looks at when a record follows it: it goes too. Alone, it may be a key
        // Wine's conio has not looked at yet.
        if (skipped + 1 == seen) {
          set.wake_within(kUnseenKeyRecheckNs);
          return;
        }
        ++skipped;
      }
      // Only this thread reads the queue: the records peeked are still at its head.
      ::DWORD taken = 0;
      if (skipped > 0) ::ReadConsoleInputA(input, records, skipped, &taken);
      if (skipped == seen && seen < 32) break;
    }
    set.add(reinterpret_cast<std::intptr_t>(input));
  }

  // What a wait sleeps on at a console that is read by lines (see add_wait). A line being typed
  // stays in the queue as key records, which keep the input handle signalled: while one is
  // queued, the console is looked at again soon instead. Records that no line holds (mouse, focus,
  // menu and window events, key releases) are taken out from the head first, so that between
  // lines the wait sleeps on the handle.
  void add_line_wait(WaitSet& set) {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    for (int round = 0; round < 4; ++round) {
      ::INPUT_RECORD records[32];
      ::DWORD seen = 0;
      if (!::PeekConsoleInputA(input, records, 32, &seen)) break;
      if (seen == 0) {
        set.add(reinterpret_cast<std::intptr_t>(input));
        return;
      }
      ::DWORD skipped = 0;
      while (skipped < seen && !types_into_line(records[skipped]))
        ++skipped;
      // Only this thread reads the queue: the records peeked are still at its head.
      ::DWORD taken = 0;
      if (skipped > 0) ::ReadConsoleInputA(input, records, skipped, &taken);
      if (skipped < seen) break;
    }
    set.wake_within(kLineRecheckNs);
  }

  // A key press, or the release of Alt that gives a character typed on the number pad.
  static bool types_into_line(const ::INPUT_RECORD& record) {
    const ::KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    return record.EventType == KEY_EVENT &&
           (key.bKeyDown || (key.wVirtualKeyCode == VK_MENU && key.uChar.AsciiChar != 0));
  }

  static bool is_key_press(const ::INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) return false;
    switch (record.Event.KeyEvent.wVirtualKeyCode) {
      case VK_SHIFT:
      case VK_CONTROL:
      case VK_MENU:
      case VK_CAPITAL:
      case VK_NUMLOCK:
      case VK_SCROLL:
      case VK_LWIN:
      case VK_RWIN:
        return false;
      default:
        return true;
    }
  }

  static constexpr std::int64_t kUnseenKeyRecheckNs = 10'000'000;
  static constexpr std::int64_t kLineRecheckNs = 50'000'000;

  static int stdio_byte(void*) {
    int byte = std::getchar();
    return byte == EOF ? -1 : byte;
  }

  static int redirected_byte(void* input) {
    return static_cast<RedirectedInput*>(input)->next_byte();
  }

  bool input_is_console_;
  bool output_is_console_;
  bool lines_ = false;  // the tool reads lines (KeyInput::kLines)
  std::shared_ptr<RedirectedInput> redirected_;
  std::shared_ptr<RedirectedOutput> output_;  // null at a console
  std::shared_ptr<RedirectedOutput> errors_;
  ::LARGE_INTEGER ticks_per_second_;
  ::LARGE_INTEGER start_ticks_;
};

}  // namespace

std::unique_ptr<Console> make_console() {
  return std::make_unique<Win32Console>();
}

}  // namespace win32
}  // namespace serial
