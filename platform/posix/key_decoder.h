// Turns the bytes a terminal sends for a key into the key codes a Windows console program reads
// with _getch: one code for a plain key, a prefix (0 or 224) and a second code for an extended one.
#pragma once

#include <cstddef>

#include "console.h"

namespace serial {

constexpr int kExtendedKeyPrefix = 224;  // grey keys and F11, F12
constexpr int kFunctionKeyPrefix = 0;    // F1..F10, Shift+Tab, grey keys with Alt
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
// A key gives the codes a Windows console gives for it, Shift, Ctrl and Alt included (Alt wins
// over Ctrl, Ctrl over Shift):
// - the grey keys: ESC [ A B C D H F (arrows, Home, End), ESC [ n ~ (Home 1 7, Ins 2, Del 3,
//   End 4 8, PgUp 5, PgDn 6), and ESC O A B C D H F;
// - F1..F12: ESC O P..S, ESC [ P..S, ESC [ n ~ (11..15, 17..21, 23, 24), and the Linux console's
//   ESC [ [ A..E for F1..F5 and ESC [ 25 26 28 29 31 32 33 34 ~ for Shift+F3..F10;
// - a modifier as xterm sends it, m = 1 + 1 Shift + 2 Alt + 4 Ctrl (+ 8 Meta, taken as Alt):
//   ESC [ 1 ; m A, ESC [ n ; m ~, and ESC O m P;
// - Shift+Tab, ESC [ Z: 0, 15;
// - the keypad in application mode, ESC O p..y n M j k l m o X: the character on the key
//   ('0'..'9', '.', Enter 13, '*', '+', ',', '-', '/', '='), whatever modifier comes with it;
// - keypad 5 with Num Lock off, ESC [ E, ESC O E, ESC [ G: no key, or '5' with Shift alone.
// Any other complete sequence is consumed as no key. An ESC followed by a byte that starts no
// sequence is the ESC key.
//
// Any other byte below 128 is its own code, except NUL. A character of UTF-8 text (two to four
// bytes), a byte that begins or continues no such character, and NUL each give one code,
// kUnmappedCharacter: never a prefix, so no tool takes the byte after it for an extended key.
DecodedKey decode_key(const unsigned char* bytes, std::size_t length, bool input_complete);

}  // namespace serial
