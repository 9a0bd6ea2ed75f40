#include "update/key_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <tuple>
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
  std::size_t end = 0;
  while ((end = find_key_end(text, end, pattern, matched)) != std::string_view::npos) {
    EXPECT_EQ(matched, key.size());
    ends.push_back(end);
  }
  return ends;
}

// Both searches give what a plain search gives. Keys longer than kMaxKeySize are left out.
void expect_found_as_by_plain_search(std::string_view text, std::string_view key) {
  SCOPED_TRACE(testing::Message() << "key \"" << key << "\" in \"" << text << "\"");
  EXPECT_EQ(contains_key(text, key), text.find(key) != std::string_view::npos);
  EXPECT_EQ(found_ends(text, key), reference_ends(text, key));
}

TEST(ContainsKey, FindsKeysAmongNearMissesAndRepeats) {
  struct Case {
    std::string text;
    std::string key;
  };
  const std::vector<Case> cases = {
      {"#define ABC_VERSION 1,0,0,41\n", "ABC_VERSION"},
      {"#define ABC_VERSIO 1,0,0,41\n", "ABC_VERSION"},
      {"ABC_VERSIOABC_VERSION", "ABC_VERSION"},
      {"AB", "AB"},
      {"A", "AB"},
      {"", "AB"},
      {"xAxAAx", "AA"},
      {"xA", "AB"},  // a first byte at the very end starts no pair
      // Many near misses hand the search over to the one that reads every byte once, which must
      // fall back along the key's own repeats.
      {std::string(200, 'A') + "_VERSION", std::string(120, 'A') + "_VERSION"},
      {std::string(200, 'A') + "_VERSION", std::string(120, 'A') + "_VERSIONS"},
      {std::string(100, 'A') + "B" + std::string(100, 'A') + "AB", std::string(90, 'A') + "AB"},
      {"ABABABABABABABABABABABABABABABAC", "ABABAC"},
      {"AAAAAAAAAA", "AAA"},  // overlapping occurrences
      {"ABABABABABABABABABABABABABABABAB", "ABABAC"},
  };
  for (const Case& c : cases) {
    expect_found_as_by_plain_search(c.text, c.key);
  }
  // Runs of the first byte without the second are passed over in stretches of 64 positions: the
  // pair just before, at and after the end of one is found.
  for (std::size_t run = 60; run < 140; ++run) {
    expect_found_as_by_plain_search("xA" + std::string(run, 'A') + "B_" + std::string(80, 'A'),
                                    "AB_");
    expect_found_as_by_plain_search("xA" + std::string(run, 'A') + "B", "AB");
  }
}

TEST(ContainsKey, AgreesWithPlainSearchOnRandomTextOfFewBytes) {
  // Texts mostly of one byte and keys of its runs make repeats, borders and near misses frequent.
  std::mt19937 random(20261207);  // NOLINT(cert-msc32-c,cert-msc51-cpp): repeatable on failure
  const auto text_of = [&](std::size_t size) {
    std::string text;
    for (std::size_t at = 0; at < size; ++at) {
      text += "AAAAB_"[random() % 6];
    }
    return text;
  };
  for (int round = 0; round < 3000; ++round) {
    const std::string key = std::string(random() % 12, 'A') + text_of(2 + random() % 3);
    expect_found_as_by_plain_search(text_of(random() % 255), key);
  }
}

TEST(ContainsKey, KeysLongerThanAPieceAreNeverFound) {
  const std::string key(kMaxKeySize + 1, 'A');
  EXPECT_FALSE(contains_key(key + key, key));
  const std::string longest(kMaxKeySize, 'A');
  EXPECT_TRUE(contains_key(longest, longest));
}

// Every key find_component_key reports for `stem` in `text`, calling it from just after each key
// found, against the same by plain search.
void expect_component_keys_as_by_plain_search(std::string_view text, std::string_view stem) {
  SCOPED_TRACE(testing::Message() << "stem \"" << stem << "\" in \"" << text << "\"");
  std::vector<std::tuple<std::size_t, std::size_t, bool>> expected;
  for (std::size_t start = text.find(stem); start != std::string_view::npos;
       start = text.find(stem, start + 1)) {
    const std::string_view rest = text.substr(start + stem.size());
    if (rest.starts_with("STRING_VERSION")) {
      expected.emplace_back(start, start + stem.size() + 14, true);
    } else if (rest.starts_with("VERSION")) {
      expected.emplace_back(start, start + stem.size() + 7, false);
    }
  }
  std::vector<std::tuple<std::size_t, std::size_t, bool>> found;
  for (KeyMatch key = find_component_key(text, 0, stem); key.start != std::string_view::npos;
       key = find_component_key(text, key.start + 1, stem)) {
    found.emplace_back(key.start, key.end, key.string_key);
  }
  EXPECT_EQ(found, expected);
}

TEST(FindComponentKey, FindsBothKeysAmongNearMissesAndRepeats) {
  expect_component_keys_as_by_plain_search("#define ABC_VERSION 1,0,0,41\r\n", "ABC_");
  expect_component_keys_as_by_plain_search("ABC_STRING_VERSION XABC_VERSION ABC_VERSIO", "ABC_");
  // The number key of one stem inside the string key of another, keys that overlap, and near
  // misses enough to hand the search over to the one that reads every byte once.
  expect_component_keys_as_by_plain_search("ABC_STRING_VERSION", "STRING_");
  expect_component_keys_as_by_plain_search("VERSION_VERSION_STRING_VERSION", "VERSION_");
  expect_component_keys_as_by_plain_search(std::string(300, 'A') + "_VERSION",
                                           std::string(120, 'A') + "_");
  std::mt19937 random(20261207);  // NOLINT(cert-msc32-c,cert-msc51-cpp): repeatable on failure
  const std::vector<std::string> parts = {"A", "B", "_", "V", "VERSION", "STRING_", "\n", "AB_"};
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    for (std::size_t count = random() % 20; count > 0; --count) {
      text += parts[random() % parts.size()];
    }
    expect_component_keys_as_by_plain_search(text, round % 2 == 0 ? "AB_" : "A_AB_");
  }
}

}  // namespace
