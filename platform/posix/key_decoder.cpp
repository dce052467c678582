#include "key_decoder.h"

namespace serial {
namespace {

// A control sequence longer than this is no key: it is dropped whole.
constexpr std::size_t kLongestSequence = 16;

DecodedKey single(std::size_t consumed, int code) {
  DecodedKey key;
  key.consumed = consumed;
  key.codes[0] = code;
  key.count = 1;
  return key;
}

DecodedKey pair(std::size_t consumed, int prefix, int code) {
  DecodedKey key;
  key.consumed = consumed;
  key.codes[0] = prefix;
  key.codes[1] = code;
  key.count = 2;
  return key;
}

DecodedKey nothing(std::size_t consumed) {
  DecodedKey key;
  key.consumed = consumed;
  return key;
}

// The key of a final letter after ESC [ or ESC O; 0 for none.
DecodedKey letter_key(unsigned char letter, std::size_t consumed) {
  switch (letter) {
    case 'A':
      return pair(consumed, kExtendedKeyPrefix, 72);
    case 'B':
      return pair(consumed, kExtendedKeyPrefix, 80);
    case 'C':
      return pair(consumed, kExtendedKeyPrefix, 77);
    case 'D':
      return pair(consumed, kExtendedKeyPrefix, 75);
    case 'H':
      return pair(consumed, kExtendedKeyPrefix, 71);
    case 'F':
      return pair(consumed, kExtendedKeyPrefix, 79);
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
      return pair(consumed, kFunctionKeyPrefix, 59 + (letter - 'P'));
    default:
      return nothing(consumed);
  }
}

// The key of ESC [ number ~.
DecodedKey tilde_key(int number, std::size_t consumed) {
  switch (number) {
    case 1:
    case 7:
      return pair(consumed, kExtendedKeyPrefix, 71);
    case 2:
      return pair(consumed, kExtendedKeyPrefix, 82);
    case 3:
      return pair(consumed, kExtendedKeyPrefix, 83);
    case 4:
    case 8:
      return pair(consumed, kExtendedKeyPrefix, 79);
    case 5:
      return pair(consumed, kExtendedKeyPrefix, 73);
    case 6:
      return pair(consumed, kExtendedKeyPrefix, 81);
    case 23:
      return pair(consumed, kExtendedKeyPrefix, 133);
    case 24:
      return pair(consumed, kExtendedKeyPrefix, 134);
    default:
      break;
  }
  if (number >= 11 && number <= 15) return pair(consumed, kFunctionKeyPrefix, 59 + number - 11);
  if (number >= 17 && number <= 21) return pair(consumed, kFunctionKeyPrefix, 64 + number - 17);
  return nothing(consumed);
}

// One character that is not ASCII. A UTF-8 terminal sends a letter such as a Thai one in two to
// four bytes, the first of which may well be 0xE0; a piped file may hold any byte. Either way the
// user typed one character, and the tools have no use for which one: the whole character gives one
// kUnmappedCharacter. A sequence cut short by a byte that cannot continue it is one character up
// to that byte; a byte that starts no character (a stray continuation byte, 0xC0, 0xC1, 0xF5 and
// above) is one on its own.
DecodedKey non_ascii_character(const unsigned char* bytes, std::size_t length,
                               bool input_complete) {
  const unsigned char lead = bytes[0];
  if (lead < 0xC2 || lead > 0xF4) return single(1, kUnmappedCharacter);
  const std::size_t size = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  // The second byte's range is narrower after E0, ED, F0 and F4: no overlong forms, no
  // surrogates, nothing above U+10FFFF.
  unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  for (std::size_t i = 1; i < size; ++i) {
    if (i == length) return input_complete ? single(i, kUnmappedCharacter) : nothing(0);
    if (bytes[i] < low || bytes[i] > high) return single(i, kUnmappedCharacter);
    low = 0x80;
    high = 0xBF;
  }
  return single(size, kUnmappedCharacter);
}

}  // namespace

DecodedKey decode_key(const unsigned char* bytes, std::size_t length, bool input_complete) {
  if (length == 0) return nothing(0);
  if (bytes[0] >= 0x80) return non_ascii_character(bytes, length, input_complete);
  if (bytes[0] == 0) return single(1, kUnmappedCharacter);
  if (bytes[0] != kEscape) return single(1, bytes[0]);
  DecodedKey escape_alone = single(1, kEscape);
  if (length == 1) return input_complete ? escape_alone : nothing(0);

  if (bytes[1] == 'O') {
    if (length == 2) return input_complete ? escape_alone : nothing(0);
    return letter_key(bytes[2], 3);
  }
  if (bytes[1] != '[') return escape_alone;

  // ESC [ [ letter: the Linux console's F1..F5.
  if (length >= 3 && bytes[2] == '[') {
    if (length == 3) return input_complete ? escape_alone : nothing(0);
    if (bytes[3] >= 'A' && bytes[3] <= 'E') return pair(4, kFunctionKeyPrefix, 59 + bytes[3] - 'A');
    return nothing(4);
  }
  // ESC [ parameters final: parameters are digits and ';', the final byte is 0x40..0x7E.
  int first_number = 0;
  bool in_first_number = true;
  for (std::size_t i = 2; i < length; ++i) {
    unsigned char byte = bytes[i];
    if (byte >= 0x40 && byte <= 0x7E) {
      if (byte == '~') return tilde_key(first_number, i + 1);
      return letter_key(byte, i + 1);
    }
    // A control character cuts the sequence short and is a key of its own.
    if (byte < 0x20) return nothing(i);
    if (i + 1 >= kLongestSequence || byte > 0x3F) return nothing(i + 1);
    if (byte >= '0' && byte <= '9' && in_first_number) {
      if (first_number < 1000) first_number = first_number * 10 + (byte - '0');
    } else {
      in_first_number = false;
    }
  }
  return input_complete ? escape_alone : nothing(0);
}

}  // namespace serial
