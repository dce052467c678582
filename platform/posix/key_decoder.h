// Turns the bytes a terminal sends for a key into the key codes a Windows console program reads
// with _getch: one code for a plain key, a prefix (0 or 224) and a second code for an extended one.
#pragma once

#include <cstddef>

#include "console.h"

namespace serial {

constexpr int kExtendedKeyPrefix = 224;  // arrows, Home, End, PgUp, PgDn, Ins, Del, F11, F12
constexpr int kFunctionKeyPrefix = 0;    // F1..F10
constexpr unsigned char kEscape = 27;

struct DecodedKey {
  // Bytes that make up this key; 0 when the bytes so far begin a longer sequence that has not
  // fully arrived yet.
  std::size_t consumed = 0;
  // The codes it gives, 0 to 2 of them (a sequence of no known key gives none).
  int codes[2] = {0, 0};
  int count = 0;
};

// Decodes the first key in bytes[0, length). `input_complete` says no more bytes are coming soon
// (the short wait after an ESC has passed, or the input ended): an unfinished sequence then counts
// as the ESC key alone, and the bytes after it as keys of their own.
//
// Understood: ESC [ and ESC O followed by A B C D (arrows), H F (Home, End), P Q R S (F1..F4);
// ESC [ n ~ with n 1..8 (Home, Ins, Del, End, PgUp, PgDn, Home, End), 11..15 and 17..21 (F1..F10),
// 23 24 (F11, F12); ESC [ [ A..E (F1..F5 of the Linux console). Modifier parameters
// (ESC [ 1 ; 5 A) are ignored. An ESC followed by anything else is the ESC key.
//
// Any other byte below 128 is its own code, except NUL. A character of UTF-8 text (two to four
// bytes), a byte that begins or continues no such character, and NUL each give one code,
// kUnmappedCharacter: never a prefix, so no tool takes the byte after it for an extended key.
DecodedKey decode_key(const unsigned char* bytes, std::size_t length, bool input_complete);

}  // namespace serial
