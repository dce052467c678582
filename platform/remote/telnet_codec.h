// The Telnet byte stream of a remote serial port (COM-PORT-OPTION): a parser for what the server
// sends and the encoders for what the client sends. No I/O: bytes in, events and bytes out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace serial {
namespace telnet {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kEcho = 1;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPort = 44;

// COM-PORT-OPTION commands, client to server; the server answers with the code plus 100.
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kNotifyModemState = 7;
constexpr std::uint8_t kSetModemStateMask = 11;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerAnswer = 100;

// The longest subnegotiation the parser keeps; a longer one is dropped whole.
constexpr std::size_t kMaxSubnegotiation = 64;

// What the parser finds in the server's stream.
class Events {
 public:
  virtual ~Events() = default;
  // Serial data, with doubled 0xFF already made single.
  virtual void on_data(const std::uint8_t* data, std::size_t length) = 0;
  // WILL, WONT, DO or DONT and the option.
  virtual void on_negotiation(std::uint8_t verb, std::uint8_t option) = 0;
  // IAC SB option payload IAC SE, the payload unescaped.
  virtual void on_subnegotiation(std::uint8_t option, const std::uint8_t* payload,
                                 std::size_t length) = 0;
};

class Parser {
 public:
  // Takes the next bytes of the stream, in any split.
  void feed(const std::uint8_t* bytes, std::size_t length, Events& events);

 private:
  enum class State { kData, kCommand, kOption, kSubOption, kSubData, kSubCommand };
  State state_ = State::kData;
  std::uint8_t verb_ = 0;
  std::uint8_t sub_option_ = 0;
  std::uint8_t sub_[kMaxSubnegotiation] = {};
  std::size_t sub_length_ = 0;
  bool sub_overflow_ = false;
};

// Copies serial data into `out` with each 0xFF doubled, as much as fits. Returns the bytes
// written; `consumed` tells how many input bytes they hold.
std::size_t escape_data(const std::uint8_t* data, std::size_t length, std::uint8_t* out,
                        std::size_t capacity, std::size_t& consumed);

// Writes IAC verb option (three bytes).
std::size_t negotiation(std::uint8_t verb, std::uint8_t option, std::uint8_t* out);

// The longest COM-PORT-OPTION command encode_command writes (a four-byte value, all of it 0xFF).
constexpr std::size_t kMaxCommand = 3 + 1 + 2 * 4 + 2;

// Writes IAC SB COM-PORT-OPTION code value IAC SE, the value's 0xFF doubled; `value_length` is 1
// or 4 (network order). Returns the bytes written (at most kMaxCommand).
std::size_t encode_command(std::uint8_t code, std::uint32_t value, std::size_t value_length,
                           std::uint8_t* out);

}  // namespace telnet
}  // namespace serial
