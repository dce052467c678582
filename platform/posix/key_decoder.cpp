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

// The keys that a terminal names by a sequence, in the order of kKeyCodes.
enum Key {
  kHome,
  kUp,
  kPageUp,
  kLeft,
  kRight,
  kEnd,
  kDown,
  kPageDown,
  kInsert,
  kDelete,
  kF1,
  kF11 = kF1 + 10,
  kF12,
  kNoKey,
};

// Which of a key's codes a held modifier selects.
enum Column { kAlone, kShift, kCtrl, kAlt };

// A key's codes as a Windows console gives them: the prefix, and the second code alone, with
// Shift, with Ctrl and with Alt. The grey keys take the prefix 0 with Alt.
struct KeyCodes {
  int prefix;
  int alt_prefix;
  int codes[4];
};

constexpr KeyCodes kKeyCodes[] = {
    {224, 0, {71, 71, 119, 151}},      // Home
    {224, 0, {72, 72, 141, 152}},      // Up
    {224, 0, {73, 73, 134, 153}},      // PgUp
    {224, 0, {75, 75, 115, 155}},      // Left
    {224, 0, {77, 77, 116, 157}},      // Right
    {224, 0, {79, 79, 117, 159}},      // End
    {224, 0, {80, 80, 145, 160}},      // Down
    {224, 0, {81, 81, 118, 161}},      // PgDn
    {224, 0, {82, 82, 146, 162}},      // Ins
    {224, 0, {83, 83, 147, 163}},      // Del
    {0, 0, {59, 84, 94, 104}},         // F1
    {0, 0, {60, 85, 95, 105}},         // F2
    {0, 0, {61, 86, 96, 106}},         // F3
    {0, 0, {62, 87, 97, 107}},         // F4
    {0, 0, {63, 88, 98, 108}},         // F5
    {0, 0, {64, 89, 99, 109}},         // F6
    {0, 0, {65, 90, 100, 110}},        // F7
    {0, 0, {66, 91, 101, 111}},        // F8
    {0, 0, {67, 92, 102, 112}},        // F9
    {0, 0, {68, 93, 103, 113}},        // F10
    {224, 224, {133, 135, 137, 139}},  // F11
    {224, 224, {134, 136, 138, 140}},  // F12
};
static_assert(sizeof kKeyCodes / sizeof kKeyCodes[0] == kNoKey, "one row per key");

// The modifier bits of xterm's parameter m - 1.
constexpr int kShiftBit = 1;
constexpr int kAltBit = 2;
constexpr int kCtrlBit = 4;
constexpr int kMetaBit = 8;

Column column_for(int modifiers) {
  if (modifiers & (kAltBit | kMetaBit)) return kAlt;
  if (modifiers & kCtrlBit) return kCtrl;
  if (modifiers & kShiftBit) return kShift;
  return kAlone;
}

DecodedKey key_with(Key key, int modifiers, std::size_t consumed) {
  const KeyCodes& row = kKeyCodes[key];
  const Column column = column_for(modifiers);
  return pair(consumed, column == kAlt ? row.alt_prefix : row.prefix, row.codes[column]);
}

// The key a final letter names after ESC [ or ESC O.
Key letter_key(unsigned char letter) {
  switch (letter) {
    case 'A':
      return kUp;
    case 'B':
      return kDown;
    case 'C':
      return kRight;
    case 'D':
      return kLeft;
    case 'H':
      return kHome;
    case 'F':
      return kEnd;
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
      return static_cast<Key>(kF1 + (letter - 'P'));
    default:
      return kNoKey;
  }
}

// The key of ESC [ number ~, and whether the number itself says Shift (the Linux console's
// Shift+F3..F10; its Shift+F1 and Shift+F2 send what F11 and F12 send).
Key tilde_key(int number, bool& shifted) {
  shifted = false;
  switch (number) {
    case 1:
    case 7:
      return kHome;
    case 2:
      return kInsert;
    case 3:
      return kDelete;
    case 4:
    case 8:
      return kEnd;
    case 5:
      return kPageUp;
    case 6:
      return kPageDown;
    case 23:
      return kF11;
    case 24:
      return kF12;
    default:
      break;
  }
  if (number >= 11 && number <= 15) return static_cast<Key>(kF1 + number - 11);
  if (number >= 17 && number <= 21) return static_cast<Key>(kF1 + 5 + number - 17);
  // 25 26 | 28 29 | 31 32 33 34: Shift+F3 F4 | F5 F6 | F7 F8 F9 F10, with gaps where F5 and F6
  // had theirs.
  constexpr int kLinuxShiftedFunctionKeys[] = {25, 26, 28, 29, 31, 32, 33, 34};
  for (int i = 0; i < 8; ++i) {
    if (number == kLinuxShiftedFunctionKeys[i]) {
      shifted = true;
      return static_cast<Key>(kF1 + 2 + i);
    }
  }
  return kNoKey;
}

// The character of a keypad key in application mode, ESC O and a letter; 0 for none.
int keypad_character(unsigned char letter) {
  if (letter >= 'p' && letter <= 'y') return '0' + (letter - 'p');
  switch (letter) {
    case 'n':
      return '.';
    case 'M':
      return '\r';
    case 'j':
      return '*';
    case 'k':
      return '+';
    case 'l':
      return ',';
    case 'm':
      return '-';
    case 'o':
      return '/';
    case 'X':
      return '=';
    default:
      return 0;
  }
}

// A complete control sequence: ESC [ (or ESC O when `ss3`), up to three numeric parameters
// separated by ';' (`count` of them, 0 for none), and its final byte.
struct Sequence {
  bool ss3 = false;
  int parameters[3] = {0, 0, 0};
  int count = 0;
  bool other_parameters = false;  // private or intermediate bytes: no key of ours
  unsigned char final_byte = 0;
};

// xterm's modifier parameter m as the modifier bits m - 1; 0 when none is given.
int modifier_bits(int parameter) {
  return parameter > 1 ? (parameter - 1) & (kShiftBit | kAltBit | kCtrlBit | kMetaBit) : 0;
}

DecodedKey sequence_key(const Sequence& sequence, std::size_t consumed) {
  if (sequence.other_parameters) return nothing(consumed);
  const unsigned char final_byte = sequence.final_byte;
  const int* p = sequence.parameters;

  if (final_byte == '~') {
    if (sequence.ss3 || sequence.count == 0) return nothing(consumed);
    bool shifted = false;
    Key key = tilde_key(p[0], shifted);
    if (key == kNoKey) return nothing(consumed);
    int modifiers = sequence.count >= 2 ? modifier_bits(p[1]) : 0;
    return key_with(key, modifiers | (shifted ? kShiftBit : 0), consumed);
  }

  // A letter: ESC [ 1 ; m X, ESC [ X, ESC O X and xterm's older ESC O m X.
  int modifiers = 0;
  if (sequence.count >= 2) {
    if (p[0] > 1) return nothing(consumed);
    modifiers = modifier_bits(p[1]);
  } else if (sequence.count == 1) {
    if (sequence.ss3) {
      modifiers = modifier_bits(p[0]);
    } else if (p[0] > 1) {
      return nothing(consumed);
    }
  }
  if (sequence.ss3) {
    int character = keypad_character(final_byte);
    if (character != 0) return single(consumed, character);
  }
  if (final_byte == 'Z' && !sequence.ss3) {
    // Shift+Tab.
    return pair(consumed, kFunctionKeyPrefix, 15);
  }
  if (final_byte == 'E' || (final_byte == 'G' && !sequence.ss3)) {
    // Keypad 5 with Num Lock off: no key, except with Shift alone, which gives its digit.
    return column_for(modifiers) == kShift ? single(consumed, '5') : nothing(consumed);
  }
  Key key = letter_key(final_byte);
  return key == kNoKey ? nothing(consumed) : key_with(key, modifiers, consumed);
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
  DecodedKey unfinished = input_complete ? escape_alone : nothing(0);
  if (length == 1) return unfinished;
  if (bytes[1] != '[' && bytes[1] != 'O') return escape_alone;

  // ESC [ [ letter: the Linux console's F1..F5.
  if (bytes[1] == '[' && length >= 3 && bytes[2] == '[') {
    if (length == 3) return unfinished;
    if (bytes[3] >= 'A' && bytes[3] <= 'E')
      return key_with(static_cast<Key>(kF1 + bytes[3] - 'A'), 0, 4);
    // As in any sequence, a control character (an ESC that starts the next key) cuts it short.
    if (bytes[3] < 0x20) return nothing(3);
    return nothing(4);
  }
  // ESC [ or ESC O, parameters, final: parameters are bytes 0x20..0x3F (digits and ';' are
  // ours), the final byte is 0x40..0x7E.
  Sequence sequence;
  sequence.ss3 = bytes[1] == 'O';
  for (std::size_t i = 2; i < length; ++i) {
    const unsigned char byte = bytes[i];
    if (byte >= 0x40 && byte <= 0x7E) {
      sequence.final_byte = byte;
      return sequence_key(sequence, i + 1);
    }
    // A control character cuts the sequence short and is a key of its own.
    if (byte < 0x20) return nothing(i);
    if (i + 1 >= kLongestSequence || byte > 0x3F) return nothing(i + 1);
    if (byte >= '0' && byte <= '9') {
      if (sequence.count == 0) sequence.count = 1;
      int& parameter = sequence.parameters[sequence.count - 1];
      if (parameter < 1000) parameter = parameter * 10 + (byte - '0');
    } else if (byte == ';') {
      if (sequence.count == 0) sequence.count = 1;
      if (sequence.count < 3) {
        ++sequence.count;
      } else {
        sequence.other_parameters = true;
      }
    } else {
      sequence.other_parameters = true;
    }
  }
  return unfinished;
}

}  // namespace serial
