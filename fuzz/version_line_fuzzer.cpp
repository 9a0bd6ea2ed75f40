// Fuzzes bump_version_line. The first input byte is the length of the component prefix, the next
// bytes are the prefix, and the rest, at most one full line piece, is the piece to rewrite.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "update/version_rewrite.h"

namespace {

constexpr std::size_t kMaxPiece = kLinePieceCapacity - 1;
constexpr char kFill = 0x5A;  // marks buffer bytes the call has no business touching

// Finds `needle` in `text` byte by byte, independently of std::string_view::find.
bool contains(std::string_view text, std::string_view needle) {
  if (needle.size() > text.size()) {
    return false;
  }
  for (std::size_t at = 0; at + needle.size() <= text.size(); ++at) {
    if (std::memcmp(text.data() + at, needle.data(), needle.size()) == 0) {
      return true;
    }
  }
  return false;
}

// The index of the last `byte` in `text`, or npos.
std::size_t last_index_of(std::string_view text, char byte) {
  for (std::size_t at = text.size(); at > 0; --at) {
    if (text[at - 1] == byte) {
      return at - 1;
    }
  }
  return std::string_view::npos;
}

// The build number a field starts with, taken modulo 2^32 through 64-bit arithmetic.
std::uint32_t reference_leading_int(std::string_view field) {
  std::size_t at = 0;
  while (at < field.size() && field[at] != 0 && std::strchr(" \t\n\v\f\r", field[at]) != nullptr) {
    ++at;
  }
  bool negative = false;
  if (at < field.size() && (field[at] == '+' || field[at] == '-')) {
    negative = field[at] == '-';
    ++at;
  }
  std::uint64_t value = 0;
  for (; at < field.size() && field[at] >= '0' && field[at] <= '9'; ++at) {
    value = (value * 10 + static_cast<std::uint64_t>(field[at] - '0')) % 0x100000000ULL;
  }
  if (negative) {
    value = (0x100000000ULL - value) % 0x100000000ULL;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t prefix_length = std::min<std::size_t>(data[0], size - 1);
  const std::string prefix(reinterpret_cast<const char*>(data) + 1, prefix_length);
  const std::string string_key = prefix + "_STRING_VERSION";
  const std::string number_key = prefix + "_VERSION";
  const std::string_view old_piece(reinterpret_cast<const char*>(data) + 1 + prefix_length,
                                   std::min(size - 1 - prefix_length, kMaxPiece));

  // The piece sits at the end of a heap buffer of kLineBufferSize bytes, with exactly the room
  // the contract asks for after it, so that ASan reports any write beyond that room.
  const auto buffer = std::make_unique<char[]>(kLineBufferSize);
  std::memset(buffer.get(), kFill, kLineBufferSize);
  const std::size_t offset = kLineBufferSize - (old_piece.size() + kMaxLinePieceGrowth + 1);
  char* const piece = buffer.get() + offset;
  std::memcpy(piece, old_piece.data(), old_piece.size());
  std::size_t length = old_piece.size();

  const int result = bump_version_line(piece, length, string_key, number_key);

  for (std::size_t at = 0; at < offset; ++at) {
    check(buffer[at] == kFill);
  }
  const bool string_line = contains(old_piece, string_key);
  const bool number_line = !string_line && contains(old_piece, number_key);
  const std::size_t separator = last_index_of(old_piece, string_line ? '.' : ',');
  const bool rewritable = (string_line || number_line) && separator != std::string_view::npos;
  if (!rewritable) {
    check(result == 0);
  }
  if (result == 0) {
    check(length == old_piece.size());
    check(std::memcmp(piece, old_piece.data(), old_piece.size()) == 0);
    for (std::size_t at = old_piece.size(); at < kLineBufferSize - offset; ++at) {
      check(piece[at] == kFill);
    }
    return 0;
  }

  check(rewritable);
  check(length == separator + 1 + static_cast<std::size_t>(result));
  check(length <= kMaxPiece + kMaxLinePieceGrowth);
  check(std::memcmp(piece, old_piece.data(), separator + 1) == 0);
  const std::string_view tail = string_line ? "\"\n" : "\n";
  const std::string_view new_piece(piece, length);
  check(new_piece.size() >= separator + 1 + tail.size());
  check(new_piece.substr(new_piece.size() - tail.size()) == tail);

  const std::int32_t old_number = parse_leading_int(old_piece.substr(separator + 1));
  check(static_cast<std::uint32_t>(old_number) ==
        reference_leading_int(old_piece.substr(separator + 1)));
  const auto next = static_cast<std::int32_t>(static_cast<std::uint32_t>(old_number) + 1U);
  char expected[16];
  const int expected_length =
      std::snprintf(expected, sizeof expected, "%d", static_cast<int>(next));
  const std::string_view number =
      new_piece.substr(separator + 1, new_piece.size() - separator - 1 - tail.size());
  check(number == std::string_view(expected, static_cast<std::size_t>(expected_length)));
  return 0;
}
