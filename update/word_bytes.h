// Eight bytes in one 64-bit word, for scans that look at several bytes at once without a branch.
// Standard C++ only: a word is loaded with memcpy, and std::endian tells which end of it holds the
// first byte, so every scan gives the same answer on every processor and compiler.
#ifndef BUMPBUILD_UPDATE_WORD_BYTES_H_
#define BUMPBUILD_UPDATE_WORD_BYTES_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

using ByteWord = std::uint64_t;
inline constexpr std::size_t kWordBytes = sizeof(ByteWord);

// The first byte in memory is the lowest of the word on little-endian processors (x86, most ARM)
// and the highest on big-endian ones (IBM Z).
inline constexpr bool kFirstByteLowest = std::endian::native == std::endian::little;
static_assert(kFirstByteLowest || std::endian::native == std::endian::big,
              "bytes of mixed order in a word");

// The 8 bytes at `at`, which need no alignment.
inline ByteWord load_word(const char* at) {
  ByteWord word = 0;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// `byte` in all 8 places.
inline constexpr ByteWord repeated(char byte) {
  return ByteWord{0x0101010101010101} * static_cast<unsigned char>(byte);
}

// Marks the bytes of `word` that equal the byte `pattern` repeats: their highest bit is set, and
// every other bit of the result is zero. A byte that differs gets its highest bit set by the sum
// of its low seven bits and 0x7F or by its own highest bit; the sum never carries into the next
// byte, so no byte marks another.
inline ByteWord equal_bytes(ByteWord word, ByteWord pattern) {
  constexpr ByteWord kLowBits = 0x7F7F7F7F7F7F7F7F;
  const ByteWord differ = word ^ pattern;
  return ~(((differ & kLowBits) + kLowBits) | differ | kLowBits);
}

// The place in memory order (0 to 7) of the first byte that `marks` (from equal_bytes) marks, or
// 8 when it marks none.
inline int first_marked(ByteWord marks) {
  return (kFirstByteLowest ? std::countr_zero(marks) : std::countl_zero(marks)) / 8;
}

// The place in memory order (0 to 7) of the last byte that `marks` (from equal_bytes) marks, or
// -1 when it marks none.
inline int last_marked(ByteWord marks) {
  return 7 - (kFirstByteLowest ? std::countl_zero(marks) : std::countr_zero(marks)) / 8;
}

#endif  // BUMPBUILD_UPDATE_WORD_BYTES_H_
