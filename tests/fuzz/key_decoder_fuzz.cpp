// fuzz run flags: -max_len=64
// Terminal input of any bytes through the key decoder: every answer must be one the console can
// act on, and the keys must not depend on how the bytes were split into reads.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "key_decoder.h"

namespace {

using serial::DecodedKey;
using serial::kEscape;

// No key of any terminal takes more bytes than this, so a decoder still waiting for more with
// this many pending would hold the console's input forever.
constexpr std::size_t kLongestKey = 16;

[[noreturn]] void fail(const char* what, const unsigned char* bytes, std::size_t length) {
  std::fprintf(stderr, "property failed: key decoder: %s; bytes:", what);
  for (std::size_t i = 0; i < length; ++i)
    std::fprintf(stderr, " %02x", bytes[i]);
  std::fprintf(stderr, "\n");
  std::abort();
}

// Decodes from a copy of exactly `length` bytes, so that a read past them is a heap overflow the
// address sanitizer reports.
DecodedKey decode(const unsigned char* bytes, std::size_t length, bool complete) {
  std::unique_ptr<unsigned char[]> copy(new unsigned char[length]);
  if (length > 0) std::memcpy(copy.get(), bytes, length);
  DecodedKey key = serial::decode_key(copy.get(), length, complete);

  if (key.consumed > length) fail("consumed more than it was given", bytes, length);
  if (key.count < 0 || key.count > 2) fail("code count outside 0..2", bytes, length);
  if (key.consumed == 0) {
    if (key.count != 0) fail("codes without consuming", bytes, length);
    if (complete && length > 0) fail("finished input left undecoded", bytes, length);
    if (length >= kLongestKey) fail("still waiting with a full key's worth pending", bytes, length);
    return key;
  }
  if (key.count == 2) {
    if (key.codes[0] != serial::kExtendedKeyPrefix && key.codes[0] != serial::kFunctionKeyPrefix)
      fail("two codes without a prefix", bytes, length);
    if (key.codes[1] < 1 || key.codes[1] > 255) fail("second code outside 1..255", bytes, length);
  } else if (key.count == 1) {
    // A single code is a character; 0 or 224 would make the tool read the next key as the
    // second half of an extended one.
    if (key.codes[0] < 1 || key.codes[0] > 127) fail("single code outside 1..127", bytes, length);
  } else if (bytes[0] != kEscape) {
    fail("bytes that are no escape sequence vanished", bytes, length);
  }
  if (bytes[0] != kEscape && key.count != 1)
    fail("a character gave other than one code", bytes, length);
  // A control character typed inside or after a sequence is a key of its own, never swallowed.
  for (std::size_t i = 1; i < key.consumed; ++i) {
    if (bytes[i] < 0x20) fail("a control character inside a key was swallowed", bytes, length);
  }
  return key;
}

struct Key {
  std::size_t at;
  std::size_t consumed;
  int count;
  int codes[2];
  bool operator==(const Key& other) const {
    return at == other.at && consumed == other.consumed && count == other.count &&
           (count < 1 || codes[0] == other.codes[0]) && (count < 2 || codes[1] == other.codes[1]);
  }
};

void take(std::vector<Key>& keys, std::size_t at, const DecodedKey& key) {
  keys.push_back({at, key.consumed, key.count, {key.codes[0], key.codes[1]}});
}

// All keys of an input that has ended, read in one go.
std::vector<Key> all_at_once(const unsigned char* data, std::size_t size) {
  std::vector<Key> keys;
  for (std::size_t at = 0; at < size;) {
    DecodedKey key = decode(data + at, size - at, true);
    take(keys, at, key);
    at += key.consumed;
  }
  return keys;
}

// The same input arriving one byte per read, each read decoded as far as it goes without
// waiting, and the rest once the input ends.
std::vector<Key> byte_by_byte(const unsigned char* data, std::size_t size) {
  std::vector<Key> keys;
  std::size_t at = 0;
  for (std::size_t end = 1; end <= size; ++end) {
    for (;;) {
      DecodedKey key = decode(data + at, end - at, false);
      if (key.consumed == 0) break;
      take(keys, at, key);
      at += key.consumed;
    }
  }
  while (at < size) {
    DecodedKey key = decode(data + at, size - at, true);
    take(keys, at, key);
    at += key.consumed;
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    decode(data, 0, false);
    return 0;
  }
  if (!(all_at_once(data, size) == byte_by_byte(data, size)))
    fail("keys differ when the bytes come one at a time", data, size);

  // An ESC whose sequence does not finish before the input ends is the ESC key alone.
  if (data[0] == kEscape && decode(data, size, false).consumed == 0) {
    DecodedKey key = decode(data, size, true);
    if (key.consumed != 1 || key.count != 1 || key.codes[0] != kEscape)
      fail("an unfinished sequence did not end as ESC", data, size);
  }
  // ESC before a byte that starts no sequence is the ESC key, and that byte is left for later.
  if (data[0] != '[' && data[0] != 'O') {
    std::vector<unsigned char> escaped(size + 1);
    escaped[0] = kEscape;
    std::memcpy(escaped.data() + 1, data, size);
    DecodedKey key = decode(escaped.data(), escaped.size(), false);
    if (key.consumed != 1 || key.count != 1 || key.codes[0] != kEscape)
      fail("ESC before a plain byte was not the ESC key", escaped.data(), escaped.size());
  }
  return 0;
}
