// Finding a component's keys in text in time linear in the size of the text, whatever the key: a
// line full of the key's first bytes costs no more than a few times as much as any other line.
#ifndef BUMPBUILD_UPDATE_KEY_SEARCH_H_
#define BUMPBUILD_UPDATE_KEY_SEARCH_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "update/version_rewrite.h"

// The longest key that fits in a line piece. A longer key lies in no piece, so it never matches.
inline constexpr std::size_t kMaxKeySize = kLinePieceCapacity - 1;

// A key prepared for find_key_end. For every count n of leading key bytes, fallback[n - 1] is the
// largest count short of n whose leading bytes also end those n bytes: how much of the key is
// still matched when the byte after them differs from the key's next byte.
struct KeyPattern {
  std::string_view key;
  std::array<std::uint8_t, kMaxKeySize> fallback;
};

// Prepares `key`, which must hold 2 to kMaxKeySize bytes and outlive the pattern.
KeyPattern prepare_key(std::string_view key);

// Searches `text` from offset `from` on for the next occurrence of the pattern's key and returns
// the offset just past it, or std::string_view::npos when no occurrence ends in the rest of `text`.
// `matched` carries the search from one call to the next: 0 starts a new search at `from`; after
// a call it holds how many leading key bytes the text up to the returned offset ends with (the
// whole key after a match), so that a call from the returned offset finds the next occurrence,
// overlapping ones included. Each call reads every byte from `from` to where it stops once.
std::size_t find_key_end(std::string_view text, std::size_t from, const KeyPattern& pattern,
                         std::size_t& matched);

// Where one of a component's two keys stands in a text, and which of them it is.
struct KeyMatch {
  std::size_t start;  // the offset of its first byte, or std::string_view::npos for none
  std::size_t end;    // the offset just past it
  bool string_key;    // the key is `stem` "STRING_VERSION", not `stem` "VERSION"
};
inline constexpr KeyMatch kNoKey = {std::string_view::npos, std::string_view::npos, false};

// Searches `text` from offset `from` on for the first key of the component whose keys begin with
// `stem` (its prefix and "_", 2 to kMaxKeySize bytes): `stem` "VERSION" (the number key) or `stem`
// "STRING_VERSION" (the string key). Returns where the first key that begins at or after `from`
// stands, or a start of std::string_view::npos when none does. Only where `stem` stands is what
// follows compared, and `stem` is found in time linear in the text, whatever its bytes.
KeyMatch find_component_key(std::string_view text, std::size_t from, std::string_view stem);

// True when `text` holds `key` byte for byte. A key longer than kMaxKeySize is never found (it
// fits in no line piece). Takes time linear in the size of `text`, whatever the bytes.
bool contains_key(std::string_view text, std::string_view key);

#endif  // BUMPBUILD_UPDATE_KEY_SEARCH_H_
