// 16 bytes that the compiler keeps in one vector register, for scans that look at many bytes at
// once without a branch. A GCC and Clang extension; where the target has no vectors it becomes
// plain byte operations.
#ifndef BUMPBUILD_TEXTIO_VECTOR_BYTES_H_
#define BUMPBUILD_TEXTIO_VECTOR_BYTES_H_

#include <cstdint>
#include <cstring>

using Bytes16 = unsigned char __attribute__((vector_size(16)));

// The 16 bytes at `at`, which need no alignment.
inline Bytes16 load_bytes(const char* at) {
  Bytes16 bytes;
  std::memcpy(&bytes, at, sizeof bytes);
  return bytes;
}

// `byte` in all 16 places.
inline Bytes16 repeated(char byte) {
  return Bytes16{} + static_cast<unsigned char>(byte);
}

// All ones where `bytes` holds `byte`, zero elsewhere.
inline Bytes16 equal_to(Bytes16 bytes, Bytes16 byte) {
  return reinterpret_cast<Bytes16>(bytes == byte);
}

// True when any of the 16 bytes is not zero.
inline bool any_set(Bytes16 bytes) {
  std::uint64_t halves[2];
  std::memcpy(halves, &bytes, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

// The place of the first byte of `bytes` that is not zero, or -1 when all are zero. Assumes the
// byte order of x86 and ARM, where the first byte is the lowest.
inline int first_set(Bytes16 bytes) {
  std::uint64_t halves[2];
  std::memcpy(halves, &bytes, sizeof halves);
  if (halves[0] != 0) {
    return __builtin_ctzll(halves[0]) / 8;
  }
  return halves[1] != 0 ? 8 + __builtin_ctzll(halves[1]) / 8 : -1;
}

// The place of the last byte of `bytes` that is not zero, or -1 when all are zero. Assumes the
// byte order of x86 and ARM, where the first byte is the lowest.
inline int last_set(Bytes16 bytes) {
  std::uint64_t halves[2];
  std::memcpy(halves, &bytes, sizeof halves);
  if (halves[1] != 0) {
    return 8 + (63 - __builtin_clzll(halves[1])) / 8;
  }
  return halves[0] != 0 ? (63 - __builtin_clzll(halves[0])) / 8 : -1;
}

#endif  // BUMPBUILD_TEXTIO_VECTOR_BYTES_H_
