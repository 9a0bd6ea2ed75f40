#include "update/key_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Every offset just past an occurrence of `key` in `text`, overlapping ones included.
std::vector<std::size_t> reference_ends(std::string_view text, std::string_view key) {
  std::vector<std::size_t> ends;
  for (std::size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
    ends.push_back(at + key.size());
  }
  return ends;
}

// Every offset find_key_end reports for `key` in `text`, calling it once per occurrence.
std::vector<std::size_t> found_ends(std::string_view text, std::string_view key) {
  const KeyPattern pattern = prepare_key(key);
  std::vector<std::size_t> ends;
  std::size_t matched = 0;
  for (std::size_t end = 0;
       (end = find_key_end(text, end, pattern, matched)) != std::string_view::npos;) {
    EXPECT_EQ(matched, key.size());
    ends.push_back(end);
  }
  return ends;
}

void expect_same_as_reference(std::string_view text, std::string_view key) {
  SCOPED_TRACE(testing::Message() << "key \"" << key << "\" in \"" << text << "\"");
  EXPECT_EQ(found_ends(text, key), reference_ends(text, key));
  EXPECT_EQ(contains_key(text, key), text.find(key) != std::string_view::npos);
}

TEST(KeySearch, FindsEveryOccurrenceOfPeriodicAndPlainKeys) {
  struct Case {
    std::string text;
    std::string key;
  };
  const std::vector<Case> cases = {
      {"#define ABC_VERSION 1,0,0,41\n", "ABC_VERSION"},
      {"ABC_VERSIOABC_VERSION", "ABC_VERSION"},
      {"AAAAAAAAAA", "AAA"},            // overlapping occurrences
      {"AAAAAAAAAA_", "AAAA_"},         // the count falls back on every byte, then matches
      {"ABABABABAC ABABAC", "ABABAC"},  // falls back to a border of the key
      {"AB", "AB"},
      {"A", "AB"},
      {"", "AB"},
      {"xAxAAx", "AA"},
      {std::string(200, 'A') + "_VERSION", std::string(120, 'A') + "_VERSION"},
      {std::string(64, 'x') + "AB", "AB"},  // around the stretches find_pair checks at once
      {std::string(63, 'x') + "AB" + std::string(70, 'x'), "AB"},
      {std::string(65, 'x') + "A", "AB"},
  };
  for (const Case& c : cases) {
    expect_same_as_reference(c.text, c.key);
  }
}

TEST(KeySearch, AgreesWithPlainSearchOnRandomTextOfFewBytes) {
  // Three bytes make repeats, borders and near misses frequent.
  std::mt19937 random(20261207);  // NOLINT(cert-msc32-c,cert-msc51-cpp): repeatable on failure
  const auto text_of = [&](std::size_t size) {
    std::string text;
    for (std::size_t at = 0; at < size; ++at) {
      text += "AB_"[random() % 3];
    }
    return text;
  };
  for (int round = 0; round < 2000; ++round) {
    const std::string key = text_of(2 + random() % 6);
    expect_same_as_reference(text_of(random() % 300), key);
  }
}

TEST(KeySearch, FindPairStopsAtTheFirstPairOrTheEnd) {
  const std::string text = std::string(100, 'A') + "AB" + std::string(100, 'A') + "AB";
  EXPECT_EQ(find_pair(text, 0, 'A', 'B'), 100U);
  EXPECT_EQ(find_pair(text, 100, 'A', 'B'), 100U);
  EXPECT_EQ(find_pair(text, 101, 'A', 'B'), 202U);
  EXPECT_EQ(find_pair(text, 203, 'A', 'B'), text.size());
  EXPECT_EQ(find_pair(text, text.size(), 'A', 'B'), text.size());
  EXPECT_EQ(find_pair("xA", 0, 'A', 'B'), 2U);  // a first byte at the very end is no pair
}

TEST(KeySearch, KeysLongerThanAPieceAreNeverFound) {
  const std::string key(kMaxKeySize + 1, 'A');
  EXPECT_FALSE(contains_key(key + key, key));
  const std::string longest(kMaxKeySize, 'A');
  EXPECT_TRUE(contains_key(longest, longest));
}

}  // namespace
