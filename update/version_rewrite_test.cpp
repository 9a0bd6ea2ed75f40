#include "update/version_rewrite.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
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
  // Lines in the CR LF form are rewritten where they stand, other lines piece by piece, and
  // wherever the blocks end they must come out the same: key lines in and out of the form, both
  // keys on one line, a string line without ".", a separator before the key, a wrapping number,
  // lines of 254 and 255 bytes (one piece, and a piece too long for its line end), a key in the
  // second piece of a long line, a stray CR and a last line without line end.
  const std::string x238(238, 'x');
  const std::string content =
      "#define ABC_VERSION 1,0,0,41\r\n#define ABC_STRING_VERSION \"1.0.0.41\"\r\n"
      "ABC_VERSION 3,4\nABC_VERSION ABC_STRING_VERSION 1.2,3\r\n"
      "ABC_STRING_VERSION ABC_VERSION 1,2\r\n7, ABC_VERSION\r\n"
      "ABC_VERSION -2147483648,2147483647\r\n" +
      x238 + "ABC_VERSION 1,41\r\nx" + x238 + "ABC_VERSION 1,41\r\n" + x238 +
      "xxxxxxxxxxxxxxxxxxxxxxxxABC_VERSION 5,6\r\na\rb\r\n#define ABC_VERSION 9,9";
  const std::string expected =
      "#define ABC_VERSION 1,0,0,42\r\n#define ABC_STRING_VERSION \"1.0.0.42\"\r\n"
      "ABC_VERSION 3,5\r\nABC_VERSION ABC_STRING_VERSION 1.3\"\r\n"
      "ABC_STRING_VERSION ABC_VERSION 1,2\r\n7,1\r\n"
      "ABC_VERSION -2147483648,-2147483648\r\n" +
      x238 + "ABC_VERSION 1,42\r\nx" + x238 + "ABC_VERSION 1,42\r\n\r\n" + x238 +
      "xxxxxxxxxxxxxxxxxxxxxxxxABC_VERSION 5,7\r\nab\r\n#define ABC_VERSION 9,10\r\n";
  // A name of this run's own: the tests of other build trees and other users share the temporary
  // directory, at the same time too.
  const fs::path directory = fs::temp_directory_path() / ("bumpbuild-copy-with-bumped-lines-" +
                                                          std::to_string(std::random_device{}()));
  fs::create_directories(directory);
  for (std::size_t block_size = 1; block_size <= content.size() + 1; ++block_size) {
    SCOPED_TRACE(block_size);
    ASSERT_EQ(copied(directory, content, block_size), expected);
  }
  fs::remove_all(directory);
}

TEST(VersionInHeader, ComesFromTheStringLineElseTheNumberLine) {
  const std::string both =
      "#define ABC_VERSION 1,0,0,42\r\n#define ABC_STRING_VERSION \"1.0.0.42-rc\"\r\n";
  EXPECT_EQ(version_in_header(both, "ABC"), "1.0.0.42-rc");
  EXPECT_EQ(version_in_header("#define ABC_VERSION 1, 0, 0, 42\r\n", "ABC"), "1.0.0.42");
  EXPECT_EQ(version_in_header("#define ABC_STRING_VERSION \"2.1.7\"\r\n", "ABC"), "2.1.7");
  EXPECT_EQ(version_in_header("#define XYZ_VERSION 1,0,0,1\r\n", "ABC"), "");
  // Only a whole key counts, and only the text between the first two quotes after it.
  const std::string gui_first =
      "#define GUI_VERSION 7,0,0,4\r\n#define GUI_STRING_VERSION \"7.0.0.4\"\r\n"
      "#define UI_VERSION 1,0,0,42\r\n#define UI_STRING_VERSION \"1.0.0.42\" /* see x.1\"\r\n";
  EXPECT_EQ(version_in_header(gui_first, "UI"), "1.0.0.42");
  EXPECT_EQ(version_in_header(
                "#define UI_STRING_VERSION 1.0.0.5\"\r\n#define UI_VERSION 1,0,0,5\r\n", "UI"),
            "1.0.0.5");
}

}  // namespace
