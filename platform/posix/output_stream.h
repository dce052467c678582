// One of the console's output descriptors (standard output, or standard error where it is not
// the same file), written so that a stopped terminal or a full pipe never blocks the program:
// what the descriptor cannot take now waits in a HeldOutput and goes out with a later push.
//
// The open file of a standard descriptor is shared with the shell and whatever else runs in the
// terminal, so its flags are never changed (O_NONBLOCK would stay behind after a SIGKILL, and the
// shell would then see EAGAIN). Instead:
//   terminal         a second open file of the same terminal (/proc/self/fd/N), non-blocking;
//                    where that cannot be opened, a poll before each small write
//   pipe, FIFO       a poll before each write of at most PIPE_BUF: a pipe that polls writable
//                    has a page free, and such a write never waits
//   socket           send with MSG_DONTWAIT
//   regular file,    written directly, as before: such a write never waits for a reader, and the
//   other devices    file's own offset and append mode stay in force
#pragma once

#include <cstddef>

#include "held_output.h"

namespace serial {

class OutputStream {
 public:
  OutputStream() = default;
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Chooses how to write `fd`; once, before the first write.
  void open(int fd);
  // Text after whatever waits (see HeldOutput::hold for marks), and as much as can go out now.
  void write(const char* text, std::size_t length, bool is_mark);
  // Sends on what waits, as far as the descriptor takes it now.
  void push();
  bool holding() const { return !held_.empty(); }
  // The descriptor to poll for POLLOUT while text waits; -1 when there is none to wait for.
  int wait_fd() const;
  // At the exit: what waits gets until `deadline_ms` on the monotonic clock, then is dropped.
  void finish(long deadline_ms);

 private:
  enum class Way { kDirect, kOwnDescriptor, kPolled, kSocket };
  static long take(void* self, const char* data, std::size_t length);

  int fd_ = -1;
  int own_fd_ = -1;
  Way way_ = Way::kDirect;
  std::size_t polled_chunk_ = 0;
  HeldOutput held_;
};

// Milliseconds on the monotonic clock.
long monotonic_ms();

// Whether two descriptors are open on the same file (device and inode).
bool same_file(int first_fd, int second_fd);

}  // namespace serial
