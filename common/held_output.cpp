#include "held_output.h"

#include <cstdio>
#include <cstring>

namespace serial {

void HeldOutput::append(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    ring_[(start_ + used_) % kCapacity] = text[i];
    ++used_;
  }
  if (length > 0) held_line_ended_ = text[length - 1] == '\n';
}

void HeldOutput::lose(const char* text, std::size_t length) {
  losing_ = true;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') ++lost_lines_;
  }
  if (length > 0) lost_mid_line_ = text[length - 1] != '\n';
}

void HeldOutput::end_loss_if_flowing(bool at_end) {
  if (!losing_ || gone_ || (lost_mid_line_ && !at_end)) return;
  if (lost_mid_line_) {
    ++lost_lines_;
    lost_mid_line_ = false;
  }
  char notice[64];
  int length =
      std::snprintf(notice, sizeof notice, "%s[output held up: %lu line%s lost]\n",
                    held_line_ended_ ? "" : "\n", lost_lines_, lost_lines_ == 1 ? "" : "s");
  std::size_t size = length > 0 ? static_cast<std::size_t>(length) : 0;
  // Flowing again: the output has taken at least half of what filled it.
  std::size_t limit = at_end ? kCapacity : kCapacity / 2;
  if (used_ + size > limit) return;
  append(notice, size);
  losing_ = false;
  lost_lines_ = 0;
}

void HeldOutput::hold(const char* text, std::size_t length, bool is_mark) {
  if (gone_) return;
  end_loss_if_flowing(false);
  if (losing_) {
    if (!is_mark) lose(text, length);
    return;
  }
  if (is_mark) {
    if (used_ + length + kLineRoom <= kCapacity) append(text, length);
    return;
  }
  if (used_ + length > kCapacity) {
    lose(text, length);
    return;
  }
  append(text, length);
}

bool HeldOutput::push(OutputTaker take, void* context) {
  // A second pass only for the notice that the first one let in.
  for (int pass = 0; pass < 2; ++pass) {
    while (used_ > 0) {
      std::size_t chunk = used_ < kCapacity - start_ ? used_ : kCapacity - start_;
      long taken = take(context, ring_ + start_, chunk);
      if (taken < 0) {
        gone_ = true;
        drop();
        return true;
      }
      if (taken == 0) break;
      std::size_t count = static_cast<std::size_t>(taken) < chunk ? taken : chunk;
      start_ = (start_ + count) % kCapacity;
      used_ -= count;
    }
    if (used_ == 0) start_ = 0;
    bool was_losing = losing_;
    end_loss_if_flowing(false);
    if (!was_losing || losing_) break;
  }
  return used_ == 0;
}

void HeldOutput::finish() {
  end_loss_if_flowing(true);
}

void HeldOutput::drop() {
  start_ = 0;
  used_ = 0;
}

}  // namespace serial
