#include "telnet_codec.h"

namespace serial {
namespace telnet {

void Parser::feed(const std::uint8_t* bytes, std::size_t length, Events& events) {
  std::size_t run_start = 0;  // the start of the plain data run being gathered
  for (std::size_t i = 0; i < length; ++i) {
    std::uint8_t byte = bytes[i];
    switch (state_) {
      case State::kData:
        if (byte == kIac) {
          if (i > run_start) events.on_data(bytes + run_start, i - run_start);
          state_ = State::kCommand;
        }
        continue;
      case State::kCommand:
        if (byte == kIac) {
          // A doubled 0xFF is one data byte: it starts the next run.
          run_start = i;
          state_ = State::kData;
          continue;
        }
        if (byte >= kWill) {
          verb_ = byte;
          state_ = State::kOption;
        } else if (byte == kSb) {
          state_ = State::kSubOption;
        } else {
          // NOP, GA and the other bare commands mean nothing to a serial port.
          state_ = State::kData;
        }
        break;
      case State::kOption:
        events.on_negotiation(verb_, byte);
        state_ = State::kData;
        break;
      case State::kSubOption:
        sub_option_ = byte;
        sub_length_ = 0;
        sub_overflow_ = false;
        state_ = byte == kIac ? State::kSubCommand : State::kSubData;
        break;
      case State::kSubData:
        if (byte == kIac) {
          state_ = State::kSubCommand;
        } else if (sub_length_ < kMaxSubnegotiation) {
          sub_[sub_length_++] = byte;
        } else {
          sub_overflow_ = true;
        }
        break;
      case State::kSubCommand:
        if (byte == kIac) {
          if (sub_length_ < kMaxSubnegotiation) {
            sub_[sub_length_++] = byte;
          } else {
            sub_overflow_ = true;
          }
          state_ = State::kSubData;
        } else if (byte == kSe) {
          if (!sub_overflow_) events.on_subnegotiation(sub_option_, sub_, sub_length_);
          state_ = State::kData;
        } else {
          // IAC and another command inside a subnegotiation: the subnegotiation is broken and
          // dropped; the command is taken as it stands.
          state_ = State::kCommand;
          --i;
        }
        break;
    }
    run_start = i + 1;
  }
  if (state_ == State::kData && length > run_start) {
    events.on_data(bytes + run_start, length - run_start);
  }
}

std::size_t escape_data(const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                        std::size_t capacity, std::size_t& consumed) {
  std::size_t written = 0;
  consumed = 0;
  while (consumed < length) {
    std::size_t size = data[consumed] == kIac ? 2 : 1;
    if (written + size > capacity) break;
    out[written++] = data[consumed];
    if (size == 2) out[written++] = kIac;
    ++consumed;
  }
  return written;
}

std::size_t negotiation(std::uint8_t verb, std::uint8_t option, std::uint8_t* out) {
  out[0] = kIac;
  out[1] = verb;
  out[2] = option;
  return 3;
}

std::size_t encode_command(std::uint8_t code, std::uint32_t value, std::size_t value_length,
                           std::uint8_t* out) {
  std::size_t n = 0;
  out[n++] = kIac;
  out[n++] = kSb;
  out[n++] = kComPort;
  out[n++] = code;
  for (std::size_t i = value_length; i-- > 0;) {
    auto byte = static_cast<std::uint8_t>(value >> (8 * i));
    out[n++] = byte;
    if (byte == kIac) out[n++] = kIac;
  }
  out[n++] = kIac;
  out[n++] = kSe;
  return n;
}

}  // namespace telnet
}  // namespace serial
