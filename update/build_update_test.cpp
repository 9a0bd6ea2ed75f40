#include "update/build_update.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;

// Copies `content` through copy_with_bumped_lines for ABC, reading it in blocks of `block_size`,
// and returns what was written.
std::string copied(const fs::path& directory, const std::string& content, std::size_t block_size) {
  const std::string input_path = (directory / "input").string();
  const std::string output_path = (directory / "output").string();
  std::ofstream(input_path, std::ios::binary) << content;
  std::optional<TextInputFile> input =
      TextInputFile::open_for_reading(input_path.c_str(), block_size);
  std::optional<TextOutputFile> output =
      TextOutputFile::open_for_writing(output_path.c_str(), nullptr);
  EXPECT_TRUE(input && output);
  if (!input || !output) {
    return {};
  }
  EXPECT_TRUE(copy_with_bumped_lines(*input, *output, "ABC"));
  EXPECT_TRUE(output->close());
  std::ifstream written(output_path, std::ios::binary);
  return {std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>()};
}

TEST(CopyWithBumpedLines, WritesTheSameBytesForEveryBlockSize) {
  // Key lines in the CR LF form and out of it, a key in the second piece of a long line, a stray
  // CR, a line with both keys and a last line without line end: wherever the blocks end, lines
  // are rewritten in place or piece by piece, and must come out the same.
  const std::string long_start(260, 'x');
  const std::string content =
      "#define ABC_VERSION 1,0,0,41\r\n#define ABC_STRING_VERSION \"1.0.0.41\"\r\n"
      "ABC_VERSION 3,4\n" +
      long_start + "ABC_VERSION 5,6\r\n" +
      "a\rb\r\nABC_VERSION ABC_STRING_VERSION 1.2,3\r\n#define ABC_VERSION 9,9";
  const std::string expected =
      "#define ABC_VERSION 1,0,0,42\r\n#define ABC_STRING_VERSION \"1.0.0.42\"\r\n"
      "ABC_VERSION 3,5\r\n" +
      long_start + "ABC_VERSION 5,7\r\n" +
      "ab\r\nABC_VERSION ABC_STRING_VERSION 1.3\"\r\n#define ABC_VERSION 9,10\r\n";
  const fs::path directory = fs::temp_directory_path() / "bumpbuild-copy-with-bumped-lines";
  fs::create_directories(directory);
  for (std::size_t block_size = 1; block_size <= content.size() + 1; ++block_size) {
    SCOPED_TRACE(block_size);
    ASSERT_EQ(copied(directory, content, block_size), expected);
  }
  fs::remove_all(directory);
}

}  // namespace
