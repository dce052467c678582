#include "link_farewell.h"

#include <cstring>

namespace serial {
namespace {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kDont = 254;

// The connection's wire state beside the framing states: a send under way, the farewell under
// way, and a farewell cut short, after which the stream can never be whole again.
constexpr int kSending = 16;
constexpr int kSendingFarewell = 17;
constexpr int kCutShort = 18;

static_assert(std::atomic<int>::is_always_lock_free, "the wire state is read in signal handlers");

}  // namespace

TelnetFraming::State TelnetFraming::advance(State state, const std::uint8_t* bytes,
                                            std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t byte = bytes[i];
    switch (state) {
      case kBetween:
        if (byte == kIac) state = kCommand;
        break;
      case kCommand:
        // IAC IAC is a data byte, a verb wants its option, anything else is a whole command.
        if (byte == kSb) {
          state = kSub;
        } else if (byte >= kWill && byte <= kDont) {
          state = kOption;
        } else {
          state = kBetween;
        }
        break;
      case kOption:
        state = kBetween;
        break;
      case kSub:
        if (byte == kIac) state = kSubCommand;
        break;
      case kSubCommand:
        // IAC SE ends it; IAC IAC is a value byte.
        state = byte == kSe ? kBetween : kSub;
        break;
    }
  }
  return state;
}

void LinkFarewell::set(const std::uint8_t* bytes, std::size_t length) {
  if (length > kMaxBytes) {
    forget();
    return;
  }
  State state{socket_, calls_, &wire_, {}, length};
  std::memcpy(state.bytes, bytes, length);
  if (entry_ != restore::kNoEntry && restore::replace(entry_, state)) return;
  entry_ = restore::add(send_farewell, state);
}

void LinkFarewell::forget() {
  restore::remove(entry_);
  entry_ = restore::kNoEntry;
}

bool LinkFarewell::begin_send(bool& lost) {
  int wire = wire_.load();
  for (;;) {
    lost = wire == kCutShort;
    if (wire == kSending || wire == kSendingFarewell || wire == kCutShort) return false;
    if (wire_.compare_exchange_weak(wire, kSending)) break;
  }
  before_send_ = static_cast<TelnetFraming::State>(wire);
  return true;
}

void LinkFarewell::end_send(const std::uint8_t* bytes, long sent) {
  TelnetFraming::State after = before_send_;
  if (sent > 0) after = TelnetFraming::advance(after, bytes, static_cast<std::size_t>(sent));
  wire_.store(after);
}

TelnetFraming::State LinkFarewell::framing() const {
  int wire = wire_.load();
  return wire < kSending ? static_cast<TelnetFraming::State>(wire) : TelnetFraming::kCommand;
}

void LinkFarewell::send_farewell(const void* raw, restore::Way) {
  const State& state = *static_cast<const State*>(raw);
  const FarewellSocket& calls = *state.calls;
  const std::int64_t deadline = calls.now_ms() + kFarewellWaitMs;
  // Only between two commands, and only once: a send of the program's own may be under way on
  // another thread (Windows' console events), and is waited for.
  for (;;) {
    int wire = TelnetFraming::kBetween;
    if (state.wire->compare_exchange_strong(wire, kSendingFarewell)) break;
    if (wire != kSending || calls.now_ms() >= deadline) return;
    calls.pause_a_moment();
  }
  // A socket that says it can take bytes takes these few whole: it then has room for far more
  // than kMaxBytes (Linux signals it with a third of its buffer free).
  std::size_t done = 0;
  while (done < state.length) {
    const std::int64_t left = deadline - calls.now_ms();
    if (left <= 0 || !calls.wait_writable(state.socket, static_cast<int>(left))) break;
    long sent = calls.send(state.socket, state.bytes + done, state.length - done);
    if (sent < 0) break;
    done += static_cast<std::size_t>(sent);
  }
  state.wire->store(done == 0 || done == state.length ? TelnetFraming::kBetween : kCutShort);
}

}  // namespace serial
