#include "update/key_search.h"

#include <cstring>

namespace {

// Returns the offset of the first byte `first` at or after `from` in `text` that is followed by
// the byte `second`, or text.size() when there is none.
std::size_t find_pair(std::string_view text, std::size_t from, char first, char second) {
  const char* const bytes = text.data();
  const std::size_t size = text.size();
  // A first byte at the very end is followed by nothing, so the search for it stops a byte early.
  for (std::size_t at = from; at + 1 < size; ++at) {
    const void* found = std::memchr(bytes + at, first, size - 1 - at);
    if (found == nullptr) {
      break;
    }
    at = static_cast<std::size_t>(static_cast<const char*>(found) - bytes);
    if (bytes[at + 1] == second) {
      return at;
    }
  }
  return size;
}

constexpr std::string_view kVersion = "VERSION";
constexpr std::string_view kString = "STRING_";

// Returns the offset of the first "VERSION" at or after `from` in `text`, or
// std::string_view::npos.
std::size_t find_version(std::string_view text, std::size_t from) {
  const char* const bytes = text.data();
  for (std::size_t at = from; at + kVersion.size() <= text.size(); ++at) {
    const void* found = std::memchr(bytes + at, 'V', text.size() + 1 - kVersion.size() - at);
    if (found == nullptr) {
      break;
    }
    at = static_cast<std::size_t>(static_cast<const char*>(found) - bytes);
    if (std::memcmp(bytes + at, kVersion.data(), kVersion.size()) == 0) {
      return at;
    }
  }
  return std::string_view::npos;
}

// True when `text` holds `part`, which ends in "_", right before offset `end`. The "_" and the
// first byte are tried before the rest.
bool stands_before(std::string_view text, std::size_t end, std::string_view part) {
  if (end < part.size() || text[end - 1] != '_') {
    return false;
  }
  const char* const start = text.data() + end - part.size();
  return *start == part.front() && std::memcmp(start, part.data(), part.size()) == 0;
}

}  // namespace

KeyEnd find_component_key(std::string_view text, std::size_t from, std::string_view stem) {
  for (std::size_t version = find_version(text, from); version != std::string_view::npos;
       version = find_version(text, version + kVersion.size())) {
    const std::size_t end = version + kVersion.size();
    if (stands_before(text, version, kString) &&
        stands_before(text, version - kString.size(), stem)) {
      return {end, true};
    }
    if (stands_before(text, version, stem)) {
      return {end, false};
    }
  }
  return {std::string_view::npos, false};
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
  // Most candidates are the key or differ from it within a few bytes: they are compared in place.
  // Once the candidates compared would have covered the text, near misses abound, and the search
  // that reads every byte once takes over.
  std::size_t compared = 0;
  for (; at != text.size(); at = find_pair(text, at + 1, key[0], key[1])) {
    if (compared > text.size()) {
      const KeyPattern pattern = prepare_key(key);
      std::size_t matched = 0;
      return find_key_end(text, at, pattern, matched) != std::string_view::npos;
    }
    if (text.substr(at, key.size()) == key) {
      return true;
    }
    compared += key.size();
  }
  return false;
}
