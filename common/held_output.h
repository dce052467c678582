// Console output that a stopped terminal or a full pipe cannot hold up. What the output cannot
// take at once waits here, in order, in a fixed buffer, and goes out as soon as the output takes
// it again; the loop that printed it never waits for it.
//
// When the buffer fills, progress marks (kadrel's dots, single characters) are dropped first:
// they are held only while room for lines is left. A line that does not fit is dropped too, and
// so is everything after it until the output has drained half the buffer; then, at a line
// boundary, one notice tells how many lines were lost ("[output held up: 3 lines lost]").
#pragma once

#include <cstddef>

namespace serial {

// Takes up to `length` bytes of output now, without waiting: the count taken (0: none now), or
// -1 when the output is gone for good (a pipe whose reader has ended, a device error).
using OutputTaker = long (*)(void* context, const char* data, std::size_t length);

class HeldOutput {
 public:
  // Minutes of kadrel's reports (13 bytes each, five a second at the most).
  static constexpr std::size_t kCapacity = 8192;
  // Room kept for lines: a mark is dropped once less than this is free.
  static constexpr std::size_t kLineRoom = 1024;

  // Holds text after whatever waits already. A mark is a single progress character that may be
  // dropped without notice; any other text is part of a line and counted when it is lost.
  void hold(const char* text, std::size_t length, bool is_mark);
  // Hands the held text to the output, oldest first, as far as it takes it now. True when
  // nothing waits any more.
  bool push(OutputTaker take, void* context);
  // The end of the output: a line cut short by a loss counts as lost, and the notice of the
  // lost lines is held (if it fits) for a last push.
  void finish();
  // Forgets everything held (the time for it is over).
  void drop();

  bool empty() const { return used_ == 0; }
  // False once the output was found gone: nothing is held for it any more.
  bool usable() const { return !gone_; }

 private:
  void append(const char* text, std::size_t length);
  void lose(const char* text, std::size_t length);
  // Holds the notice of the lost lines once the output drains again.
  void end_loss_if_flowing(bool at_end);

  char ring_[kCapacity];
  std::size_t start_ = 0;
  std::size_t used_ = 0;
  bool gone_ = false;
  // Text is being dropped: the buffer filled and has not drained since.
  bool losing_ = false;
  unsigned long lost_lines_ = 0;
  // The last text dropped did not end its line; the loss ends only after that line.
  bool lost_mid_line_ = false;
  // The last byte held ended a line (or nothing was held yet): a notice starts its own line.
  bool held_line_ended_ = true;
};

}  // namespace serial
