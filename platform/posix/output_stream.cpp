#include "output_stream.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace serial {
namespace {

// A terminal that polls writable has fewer than 256 bytes queued and some room; a write this
// small (twice that with newlines made CR LF) fits.
constexpr std::size_t kTerminalChunk = 128;

}  // namespace

bool same_file(int first_fd, int second_fd) {
  struct stat first {};
  struct stat second {};
  return fstat(first_fd, &first) == 0 && fstat(second_fd, &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

long monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

OutputStream::~OutputStream() {
  if (own_fd_ >= 0) close(own_fd_);
}

void OutputStream::open(int fd) {
  fd_ = fd;
  struct stat status {};
  if (fstat(fd, &status) != 0) return;
  if (S_ISSOCK(status.st_mode)) {
    way_ = Way::kSocket;
  } else if (S_ISFIFO(status.st_mode)) {
    way_ = Way::kPolled;
    polled_chunk_ = PIPE_BUF;
  } else if (S_ISCHR(status.st_mode) && isatty(fd)) {
    way_ = Way::kPolled;
    polled_chunk_ = kTerminalChunk;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    int own = ::open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    // The same terminal, not whatever might stand at that path now.
    if (own >= 0 && same_file(own, fd)) {
      own_fd_ = own;
      way_ = Way::kOwnDescriptor;
    } else if (own >= 0) {
      close(own);
    }
  }
}

long OutputStream::take(void* self, const char* data, std::size_t length) {
  OutputStream& stream = *static_cast<OutputStream*>(self);
  for (;;) {
    ssize_t count = -1;
    switch (stream.way_) {
      case Way::kDirect:
        count = ::write(stream.fd_, data, length);
        break;
      case Way::kOwnDescriptor:
        count = ::write(stream.own_fd_, data, length);
        break;
      case Way::kSocket:
        count = ::send(stream.fd_, data, length, MSG_DONTWAIT);
        break;
      case Way::kPolled: {
        pollfd watch{stream.fd_, POLLOUT, 0};
        int ready = poll(&watch, 1, 0);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return 0;
        if (ready < 0 || (watch.revents & POLLNVAL)) return -1;
        count = ::write(stream.fd_, data,
                        length < stream.polled_chunk_ ? length : stream.polled_chunk_);
        break;
      }
    }
    if (count > 0) return count;
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    // A closed pipe (with SIGPIPE ignored), a hung-up terminal, a full disk.
    return -1;
  }
}

void OutputStream::write(const char* text, std::size_t length, bool is_mark) {
  if (fd_ < 0 || length == 0) return;
  held_.hold(text, length, is_mark);
  push();
}

void OutputStream::push() {
  if (!held_.empty()) held_.push(&OutputStream::take, this);
}

int OutputStream::wait_fd() const {
  if (held_.empty() || way_ == Way::kDirect) return -1;
  return own_fd_ >= 0 ? own_fd_ : fd_;
}

void OutputStream::finish(long deadline_ms) {
  held_.finish();
  push();
  while (holding()) {
    long left = deadline_ms - monotonic_ms();
    if (left <= 0 || wait_fd() < 0) break;
    pollfd watch{wait_fd(), POLLOUT, 0};
    poll(&watch, 1, static_cast<int>(left));
    push();
  }
  held_.drop();
}

}  // namespace serial
