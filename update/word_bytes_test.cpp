#include "update/word_bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(EqualBytes, MarksExactlyTheBytesThatEqualThePatternWhateverTheirNeighbours) {
  // Every byte value, next to neighbours that differ from the pattern by one bit or not at all,
  // where a carry or a borrow between bytes would show.
  for (int pattern = 0; pattern < 256; ++pattern) {
    for (int value = 0; value < 256; ++value) {
      const auto byte = static_cast<char>(value);
      const auto near = static_cast<char>(pattern ^ 1);
      const std::string words[] = {
          std::string(8, byte), std::string{near, byte, near, byte, near, byte, near, byte},
          std::string{static_cast<char>(pattern), byte, byte, byte, byte, byte, byte, byte}};
      for (const std::string& word : words) {
        const ByteWord marks =
            equal_bytes(load_word(word.data()), repeated(static_cast<char>(pattern)));
        // Each byte's mark, read back in memory order.
        unsigned char marked[kWordBytes];
        std::memcpy(marked, &marks, sizeof marked);
        for (std::size_t place = 0; place < kWordBytes; ++place) {
          const bool equal = static_cast<unsigned char>(word[place]) == pattern;
          ASSERT_EQ(marked[place], equal ? 0x80 : 0x00)
              << "pattern " << pattern << ", byte " << value << ", place " << place;
        }
      }
    }
  }
}

TEST(MarkedBytes, FirstAndLastAreCountedInMemoryOrder) {
  // The places that memchr and a backward search would find, on either byte order.
  for (std::size_t first = 0; first < kWordBytes; ++first) {
    for (std::size_t last = first; last < kWordBytes; ++last) {
      std::string word(kWordBytes, 'x');
      word[first] = '\n';
      word[last] = '\n';
      const ByteWord marks = equal_bytes(load_word(word.data()), repeated('\n'));
      EXPECT_EQ(first_marked(marks), static_cast<int>(word.find('\n'))) << word;
      EXPECT_EQ(last_marked(marks), static_cast<int>(word.rfind('\n'))) << word;
    }
  }
  EXPECT_EQ(first_marked(0), 8);
  EXPECT_EQ(last_marked(0), -1);
}

}  // namespace
