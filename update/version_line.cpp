#include <charconv>
#include <cstring>

#include "update/key_search.h"
#include "update/version_rewrite.h"

namespace {

bool is_white_space(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' ||
         byte == '\r';
}

bool is_digit(char byte) {
  return byte >= '0' && byte <= '9';
}

}  // namespace

std::int32_t parse_leading_int(std::string_view field) {
  std::size_t at = 0;
  while (at < field.size() && is_white_space(field[at])) {
    ++at;
  }
  const bool negative = at < field.size() && field[at] == '-';
  if (at < field.size() && (field[at] == '-' || field[at] == '+')) {
    ++at;
  }
  std::uint32_t value = 0;  // unsigned, so that overflow wraps instead of being undefined
  for (; at < field.size() && is_digit(field[at]); ++at) {
    value = value * 10U + static_cast<std::uint32_t>(field[at] - '0');
  }
  return static_cast<std::int32_t>(negative ? 0U - value : value);
}

std::size_t write_next_build_field(std::string_view field, bool string_line, char* out) {
  const std::uint32_t next = static_cast<std::uint32_t>(parse_leading_int(field)) + 1U;
  // The widest number, "-2147483648", takes 11 bytes: with the tail it fits the promised growth.
  char* end = std::to_chars(out, out + 11, static_cast<std::int32_t>(next)).ptr;
  if (string_line) {
    *end++ = '"';
  }
  return static_cast<std::size_t>(end - out);
}

int bump_version_line(char* piece, std::size_t& length, std::string_view string_key,
                      std::string_view number_key) {
  const std::string_view text(piece, length);
  const bool string_line = contains_key(text, string_key);
  if (!string_line && !contains_key(text, number_key)) {
    return 0;
  }
  const std::size_t separator = text.rfind(string_line ? '.' : ',');
  if (separator == std::string_view::npos) {
    return 0;
  }
  char* const field = piece + separator + 1;
  char* end = field + write_next_build_field(text.substr(separator + 1), string_line, field);
  *end++ = '\n';
  *end = '\0';
  length = static_cast<std::size_t>(end - piece);
  return static_cast<int>(end - field);
}
