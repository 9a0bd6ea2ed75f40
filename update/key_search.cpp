#include "update/key_search.h"

namespace {

// The byte positions find_pair checks at once.
constexpr std::size_t kPairStretch = 64;

// True when one of the kPairStretch positions that start at `stretch` holds `first` followed by
// `second`. Written without a branch and with a fixed count, so that the compiler vectorizes it.
bool stretch_holds_pair(const char* stretch, char first, char second) {
  unsigned char found = 0;
  for (std::size_t at = 0; at < kPairStretch; ++at) {
    found |= static_cast<unsigned char>((stretch[at] == first) & (stretch[at + 1] == second));
  }
  return found != 0;
}

}  // namespace

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

std::size_t find_pair(std::string_view text, std::size_t from, char first, char second) {
  const char* const bytes = text.data();
  const std::size_t size = text.size();
  std::size_t at = from;
  // A stretch reads the byte after its last position, so it must end before the text does.
  while (at + kPairStretch < size && !stretch_holds_pair(bytes + at, first, second)) {
    at += kPairStretch;
  }
  for (; at + 1 < size; ++at) {
    if (bytes[at] == first && bytes[at + 1] == second) {
      return at;
    }
  }
  return size;
}

std::size_t find_key_end(std::string_view text, std::size_t from, const KeyPattern& pattern,
                         std::size_t& matched) {
  // Locals, so that the compiler keeps them in registers rather than in memory the bytes of the
  // text might alias.
  const char* const bytes = text.data();
  const std::size_t size = text.size();
  const char* const key = pattern.key.data();
  const std::size_t key_size = pattern.key.size();
  const std::uint8_t* const fallback = pattern.fallback.data();
  std::size_t count = matched == key_size ? fallback[key_size - 1] : matched;
  std::size_t at = from;
  // Every step reads a byte or lowers the count, which only reading raises: at most two steps per
  // byte.
  while (at < size) {
    if (count == 0) {
      // Nothing of the key is under way: only where its first two bytes stand can it begin.
      at = find_pair(text, at, key[0], key[1]);
      if (at == size) {
        break;
      }
      count = 2;
      at += 2;
    } else if (bytes[at] == key[count]) {
      ++count;
      ++at;
    } else {
      count = fallback[count - 1];  // the same byte is tried again against less of the key
      continue;
    }
    if (count == key_size) {
      break;
    }
  }
  matched = count;
  return count == key_size ? at : std::string_view::npos;
}

bool contains_key(std::string_view text, std::string_view key) {
  if (key.size() < 2) {
    return text.find(key) != std::string_view::npos;  // linear for a single byte
  }
  if (key.size() > kMaxKeySize || key.size() > text.size()) {
    return false;
  }
  const std::size_t first = find_pair(text, 0, key[0], key[1]);
  if (first == text.size()) {
    return false;  // most pieces end here, before any pattern is prepared
  }
  const KeyPattern pattern = prepare_key(key);
  std::size_t matched = 0;
  return find_key_end(text, first, pattern, matched) != std::string_view::npos;
}
