#include "update/key_search.h"

#include <cstring>

#include "update/word_bytes.h"

namespace {

// Goes on from `at`, where a run of bytes `first` without the byte `second` after them goes on, 8
// positions at a time for as long as bytes `first` crowd (a line full of them), where memchr would
// cost a call per byte. Returns the offset of the first `first` `second` pair found, or an offset
// from which memchr may go on.
std::size_t skip_crowded_first_bytes(std::string_view text, std::size_t at, char first,
                                     char second) {
  const ByteWord first_bytes = repeated(first);
  const ByteWord second_bytes = repeated(second);
  for (; at + kWordBytes < text.size(); at += kWordBytes) {
    const ByteWord firsts = equal_bytes(load_word(text.data() + at), first_bytes);
    if (firsts == 0) {
      break;
    }
    const ByteWord pairs = firsts & equal_bytes(load_word(text.data() + at + 1), second_bytes);
    if (pairs != 0) {
      return at + static_cast<std::size_t>(first_marked(pairs));
    }
  }
  return at;
}

// Returns the offset of the first byte `first` at or after `from` in `text` that is followed by
// the byte `second`, or text.size() when there is none.
inline std::size_t find_pair(std::string_view text, std::size_t from, char first, char second) {
  const char* const bytes = text.data();
  const std::size_t size = text.size();
  // A first byte at the very end is followed by nothing, so the search for it stops a byte early.
  for (std::size_t at = from; at + 1 < size;) {
    const void* found = std::memchr(bytes + at, first, size - 1 - at);
    if (found == nullptr) {
      break;
    }
    at = static_cast<std::size_t>(static_cast<const char*>(found) - bytes);
    if (bytes[at + 1] == second) {
      return at;
    }
    ++at;
    if (bytes[at] == first) {  // a run of first bytes, such as a line full of them
      at = skip_crowded_first_bytes(text, at, first, second);
      if (at + 1 < size && bytes[at] == first && bytes[at + 1] == second) {
        return at;
      }
    }
  }
  return size;
}

constexpr std::string_view kNumberSuffix = "VERSION";
constexpr std::string_view kStringSuffix = "STRING_VERSION";

// Returns the start of the first occurrence of `key` (2 to kMaxKeySize bytes) at or after `from` in
// `text` for which `accept(start)` holds, or std::string_view::npos when there is none.
// Most candidates (where the key's first two bytes stand) are the key or differ from it within a
// few bytes: they are compared in place. Once the bytes compared outrun the bytes passed by more
// than a key, near misses abound, and the search that reads every byte once takes over: the whole
// search costs a small constant per byte passed, plus one key.
template <typename Accept>
std::size_t find_accepted(std::string_view text, std::size_t from, std::string_view key,
                          Accept accept) {
  std::size_t compared = 0;
  for (std::size_t at = find_pair(text, from, key[0], key[1]); at < text.size();
       at = find_pair(text, at + 1, key[0], key[1])) {
    if (compared > at - from + key.size()) {
      const KeyPattern pattern = prepare_key(key);
      std::size_t matched = 0;
      for (std::size_t end = at;
           (end = find_key_end(text, end, pattern, matched)) != std::string_view::npos;) {
        if (accept(end - key.size())) {
          return end - key.size();
        }
      }
      return std::string_view::npos;
    }
    compared += key.size();
    // The last byte first: a cheap test that turns away most near misses.
    if (at + key.size() <= text.size() && text[at + key.size() - 1] == key.back() &&
        std::memcmp(text.data() + at, key.data(), key.size()) == 0 && accept(at)) {
      return at;
    }
  }
  return std::string_view::npos;
}

}  // namespace

KeyMatch find_component_key(std::string_view text, std::size_t from, std::string_view stem) {
  KeyMatch match = kNoKey;
  find_accepted(text, from, stem, [&](std::size_t start) {
    const std::string_view rest = text.substr(start + stem.size());
    match.string_key = rest.starts_with(kStringSuffix);
    if (!match.string_key && !rest.starts_with(kNumberSuffix)) {
      return false;
    }
    match.start = start;
    match.end = start + stem.size() + (match.string_key ? kStringSuffix : kNumberSuffix).size();
    return true;
  });
  return match;
}

KeyPattern prepare_key(std::string_view key) {
  KeyPattern pattern{key, {}};
  std::size_t border = 0;
  for (std::size_t count = 1; count < key.size(); ++count) {
    while (border > 0 && key[count] != key[border]) {
      border = pattern.fallback[border - 1];
    }
    if (key[count] == key[border]) {
      ++border;
    }
    pattern.fallback[count] = static_cast<std::uint8_t>(border);
  }
  return pattern;
}

std::size_t find_key_end(std::string_view text, std::size_t from, const KeyPattern& pattern,
                         std::size_t& matched) {
  const std::string_view key = pattern.key;
  std::size_t count = matched == key.size() ? pattern.fallback[key.size() - 1] : matched;
  std::size_t at = from;
  // Every step reads a byte or lowers the count, which only reading raises: at most two steps per
  // byte.
  while (at < text.size()) {
    if (count == 0) {
      // Nothing of the key is under way: only where its first two bytes stand can it begin.
      at = find_pair(text, at, key[0], key[1]);
      count = at < text.size() ? 2 : 0;
      at += count;
    } else if (text[at] == key[count]) {
      ++count;
      ++at;
    } else {
      count = pattern.fallback[count - 1];  // the same byte is tried again against less of the key
      continue;
    }
    if (count == key.size()) {
      matched = count;
      return at;
    }
  }
  matched = count;
  return std::string_view::npos;
}

bool contains_key(std::string_view text, std::string_view key) {
  if (key.size() < 2) {
    return text.find(key) != std::string_view::npos;  // linear for a single byte
  }
  if (key.size() > kMaxKeySize || key.size() > text.size()) {
    return false;
  }
  std::size_t at = find_pair(text, 0, key[0], key[1]);
  // A text without the key's last two bytes after its first two holds no key, however full of
  // its first two it is.
  if (at == text.size() ||
      find_pair(text, at + key.size() - 2, key[key.size() - 2], key.back()) == text.size()) {
    return false;
  }
  return find_accepted(text, at, key, [](std::size_t) { return true; }) != std::string_view::npos;
}
