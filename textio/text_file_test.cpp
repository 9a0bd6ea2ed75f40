#include "textio/text_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

class TextFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // A name of this run's own: the tests of other build trees and other users share the
    // temporary directory, at the same time too.
    directory_ = fs::temp_directory_path() /
                 ("bumpbuild-text-" + std::to_string(std::random_device{}()) + "-" + info->name());
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  std::string path(const char* name) const { return (directory_ / name).string(); }

  [[nodiscard]] std::string write_file(const std::string& bytes) const {
    std::string file = path("input");
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

  [[nodiscard]] static std::string read_back(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // Every piece that next_line delivers for `bytes`, read with raw blocks of `block_size`.
  [[nodiscard]] std::vector<std::string> pieces(const std::string& bytes,
                                                std::size_t capacity = 256,
                                                std::size_t block_size = kTextBlockSize) const {
    auto input = TextInputFile::open_for_reading(write_file(bytes).c_str(), block_size);
    EXPECT_TRUE(input.has_value());
    std::vector<std::string> result;
    std::vector<char> buffer(capacity);
    while (input && !input->at_end()) {
      const std::size_t size = input->next_line(buffer.data(), capacity);
      if (size > 0) {
        EXPECT_EQ(buffer[size], '\0');
        result.emplace_back(buffer.data(), size);
      }
    }
    return result;
  }

  fs::path directory_;
};

using Pieces = std::vector<std::string>;

TEST_F(TextFileTest, DeliversLinesWithoutCarriageReturnsAndSetsEndOnlyAfterTheLastRead) {
  auto input = TextInputFile::open_for_reading(write_file("A\r\nB\r\n").c_str());
  ASSERT_TRUE(input.has_value());
  char buffer[256] = "untouched";
  ASSERT_EQ(input->next_line(buffer, sizeof buffer), 2U);
  EXPECT_STREQ(buffer, "A\n");
  ASSERT_EQ(input->next_line(buffer, sizeof buffer), 2U);
  EXPECT_STREQ(buffer, "B\n");
  EXPECT_FALSE(input->at_end());
  EXPECT_EQ(input->next_line(buffer, sizeof buffer), 0U);
  EXPECT_TRUE(input->at_end());
  EXPECT_FALSE(input->failed());
  EXPECT_STREQ(buffer, "B\n");  // a read that finds nothing leaves the buffer as it was
}

TEST_F(TextFileTest, LastLineWithoutLineEndSetsEndUnlessItFillsThePiece) {
  auto input = TextInputFile::open_for_reading(write_file("A\nlast").c_str());
  ASSERT_TRUE(input.has_value());
  char buffer[256];
  input->next_line(buffer, sizeof buffer);
  EXPECT_EQ(input->next_line(buffer, sizeof buffer), 4U);
  EXPECT_STREQ(buffer, "last");
  EXPECT_TRUE(input->at_end());

  auto full = TextInputFile::open_for_reading(write_file(std::string(255, 'x')).c_str());
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->next_line(buffer, sizeof buffer), 255U);
  EXPECT_FALSE(full->at_end());
  EXPECT_EQ(full->next_line(buffer, sizeof buffer), 0U);
  EXPECT_TRUE(full->at_end());
}

TEST_F(TextFileTest, SplitsLongLinesIntoPiecesOfCapacityLessOne) {
  EXPECT_EQ(pieces(std::string(300, 'x') + "\r\n"),
            (Pieces{std::string(255, 'x'), std::string(45, 'x') + "\n"}));
  EXPECT_EQ(pieces("abcdef\n", 4), (Pieces{"abc", "def", "\n"}));
}

TEST_F(TextFileTest, DropsEveryCarriageReturnAndStopsAtControlZ) {
  EXPECT_EQ(pieces("A\rB\n"), (Pieces{"AB\n"}));
  EXPECT_EQ(pieces("\r\r\rA\r"), (Pieces{"A"}));
  EXPECT_EQ(pieces("A\nB\x1A"
                   "C\nD\n"),
            (Pieces{"A\n", "B"}));
  EXPECT_EQ(pieces("\x1A"
                   "A\n"),
            Pieces{});
  EXPECT_EQ(pieces(""), Pieces{});
  EXPECT_EQ(pieces("\r\n\r\n"), (Pieces{"\n", "\n"}));
}

TEST_F(TextFileTest, PassesZeroBytesThrough) {
  EXPECT_EQ(pieces("A\0B\r\n\0\n"s), (Pieces{"A\0B\n"s, "\0\n"s}));
}

TEST_F(TextFileTest, DropsCarriageReturnsAcrossBlockBoundaries) {
  // Lines of CRs, a CR before LF, a Ctrl-Z after a CR: every block size gives the same pieces.
  const std::string bytes = "ab\r\r\ncd\r\n\re\rf\r\n" + std::string(20, '\r') +
                            "gh\r\x1A"
                            "ij\r\n";
  const Pieces expected{"ab\n", "cd\n", "ef\n", "gh"};
  for (std::size_t block_size = 1; block_size <= bytes.size() + 1; ++block_size) {
    EXPECT_EQ(pieces(bytes, 256, block_size), expected) << "block size " << block_size;
    EXPECT_EQ(pieces(bytes, 3, block_size), (Pieces{"ab", "\n", "cd", "\n", "ef", "\n", "gh"}))
        << "block size " << block_size;
  }
}

TEST_F(TextFileTest, DigestTellsTextsApartWhateverTheBlocksTheyWereReadIn) {
  // Every block size splits the bytes elsewhere, as short reads from a file server do.
  const auto digest_of = [this](const std::string& bytes, std::size_t block_size) {
    auto input = TextInputFile::open_for_reading(write_file(bytes).c_str(), block_size);
    if (input) {
      input->keep_digest();
    }
    std::vector<char> buffer(256);
    while (input && !input->at_end()) {
      (void)input->next_line(buffer.data(), buffer.size());
    }
    return input ? input->digest() : 0;
  };
  const std::string text =
      "#define ABC_VERSION 1,0,0,41\r\n#define ABC_STRING_VERSION \"1.0.0.41\"\r\n";
  const std::uint64_t whole = digest_of(text, kTextBlockSize);
  for (std::size_t block_size = 1; block_size <= text.size(); block_size += 3) {
    EXPECT_EQ(digest_of(text, block_size), whole) << "block size " << block_size;
  }
  EXPECT_NE(digest_of("#define ABC_VERSION 1,0,0,42\r\n#define ABC_STRING_VERSION \"1.0.0.41\"\r\n",
                      kTextBlockSize),
            whole);
  EXPECT_NE(digest_of(std::string(1, '\0') + text, kTextBlockSize), whole);
  EXPECT_NE(digest_of("", kTextBlockSize), digest_of(std::string(1, '\0'), kTextBlockSize));
  // Bytes after a Ctrl-Z are not text.
  EXPECT_EQ(digest_of(text + "\x1A" + "junk", 5), digest_of(text + "\x1A", kTextBlockSize));
}

TEST_F(TextFileTest, ReadErrorEndsTheTextAndIsReported) {
  auto input = TextInputFile::open_for_reading(directory_.string().c_str());
  if (!input) {
    GTEST_SKIP() << "this platform does not open a directory as a file";
  }
  char buffer[256];
  EXPECT_EQ(input->next_line(buffer, sizeof buffer), 0U);
  EXPECT_TRUE(input->failed());
  EXPECT_TRUE(input->at_end());
}

TEST_F(TextFileTest, OpeningAMissingFileYieldsNothing) {
  EXPECT_FALSE(TextInputFile::open_for_reading(path("absent").c_str()).has_value());
}

TEST_F(TextFileTest, WritesEachLineFeedAsCarriageReturnLineFeed) {
  const std::string file = path("output");
  auto output = TextOutputFile::open_for_writing(file.c_str(), nullptr);
  ASSERT_TRUE(output.has_value());
  output->put_text("A\nB\n", 4);
  output->put_text("", 0);
  output->put_text("C\r\n\0", 4);
  EXPECT_TRUE(output->close());
  EXPECT_EQ(read_back(file), "A\r\nB\r\nC\r\r\n\0"s);
}

TEST_F(TextFileTest, WritesTextLargerThanItsBlock) {
  std::string text;
  for (int line = 0; text.size() < 3 * kTextBlockSize; ++line) {
    text += "line " + std::to_string(line) + "\n";
  }
  std::string expected;
  for (const char byte : text) {
    expected += byte == '\n' ? "\r\n" : std::string(1, byte);
  }
  const std::string file = path("output");
  auto output = TextOutputFile::open_for_writing(file.c_str(), nullptr);
  ASSERT_TRUE(output.has_value());
  for (std::size_t at = 0; at < text.size(); at += 1000) {
    output->put_text(text.data() + at, std::min<std::size_t>(1000, text.size() - at));
  }
  EXPECT_TRUE(output->sync());
  EXPECT_TRUE(output->close());
  EXPECT_EQ(read_back(file), expected);
}

TEST_F(TextFileTest, WritesRawStretchesOfEverySizeInOrder) {
  // Stretches shorter and longer than the block, ending anywhere in it; the order holds.
  const std::string file = path("output");
  auto output = TextOutputFile::open_for_writing(file.c_str(), nullptr);
  ASSERT_TRUE(output.has_value());
  std::string expected;
  char fill = 'a';
  for (const std::size_t size : {std::size_t{10}, kTextBlockSize / 2, kTextBlockSize / 2 - 1,
                                 kTextBlockSize - 5, std::size_t{1}, 3 * kTextBlockSize}) {
    const std::string stretch(size, fill++);
    output->put_raw(stretch.data(), stretch.size());
    output->put_text("x\n", 2);
    expected += stretch + "x\r\n";
  }
  EXPECT_TRUE(output->close());
  EXPECT_EQ(read_back(file), expected);
}

TEST_F(TextFileTest, OpeningForWritingTruncatesAndRefusesADirectory) {
  const std::string file = write_file("old content");
  auto output = TextOutputFile::open_for_writing(file.c_str(), nullptr);
  ASSERT_TRUE(output.has_value());
  EXPECT_TRUE(output->close());
  EXPECT_EQ(read_back(file), "");
  EXPECT_FALSE(TextOutputFile::open_for_writing(directory_.string().c_str(), nullptr).has_value());
}

TEST_F(TextFileTest, CopyThroughBothStreamsNormalizesLineEnds) {
  const std::string file = write_file("one\r\ntwo\nthree\r\rfour\x1Agone\r\n");
  auto input = TextInputFile::open_for_reading(file.c_str());
  const std::string copy = path("copy");
  auto output = TextOutputFile::open_for_writing(copy.c_str(), nullptr);
  ASSERT_TRUE(input && output);
  char buffer[256];
  while (!input->at_end()) {
    output->put_text(buffer, input->next_line(buffer, sizeof buffer));
  }
  EXPECT_TRUE(output->close());
  EXPECT_EQ(read_back(copy), "one\r\ntwo\r\nthreefour");
}

TEST_F(TextFileTest, PlainLinesCopyExactlyWhatTheirPiecesWouldWrite) {
  // kNothing reads every piece; kReadAnyway looks for plain lines before each piece but still reads
  // it; the others pass plain lines over.
  enum class Skip { kNothing, kReadAnyway, kWholeView, kFirstLine };
  struct Copy {
    std::string file;  // what the output stream wrote
    Pieces pieces;     // what next_line delivered
  };
  // Copies `source` through both streams, taking plain lines as `skip` says and the rest in pieces.
  // Each copy goes to a new file: rewriting a truncated file makes some file systems flush it.
  int copies = 0;
  const auto copy = [this, &copies](const std::string& source, std::size_t block_size,
                                    std::size_t capacity, Skip skip) {
    auto input = TextInputFile::open_for_reading(source.c_str(), block_size);
    const std::string file = path(("copy" + std::to_string(++copies)).c_str());
    auto output = TextOutputFile::open_for_writing(file.c_str(), nullptr);
    Copy result;
    if (!input || !output) {
      ADD_FAILURE() << "cannot open the streams";
      return result;
    }
    std::vector<char> buffer(capacity);
    while (!input->at_end()) {
      const std::string_view lines = skip == Skip::kNothing ? "" : input->plain_lines();
      if (lines.empty() || skip == Skip::kReadAnyway) {
        const std::size_t size = input->next_line(buffer.data(), capacity);
        result.pieces.emplace_back(buffer.data(), size);
        output->put_text(buffer.data(), size);
        continue;
      }
      const std::size_t size = skip == Skip::kWholeView ? lines.size() : lines.find('\n') + 1;
      output->put_raw(lines.data(), size);
      input->skip_lines(size);
    }
    EXPECT_TRUE(output->close());
    result.file = read_back(file);
    return result;
  };
  const std::vector<std::string> inputs{
      "one\r\ntwo\r\n\r\nthree\r\n",
      "one\r\ntwo\nthree\r\nfour\r\r\nfive\rsix\r\nseven\r\n\nend\r\n",
      "\nbare\r\nlines\n\r\n",
      "line\r\n" + std::string(300, 'x') + "\r\n" + std::string(255, 'w') + "\r\nlast",
      "zero\0\r\nbytes\r\nand\r\x1A"
      "gone\r\n"s,
      std::string(200, 'y') + "\r\n" + std::string(70, 'z') + "\r\r\n\r"};
  for (const std::string& bytes : inputs) {
    const std::string source = write_file(bytes);
    // Small blocks put a block boundary at every place of the short lines; one block holds all.
    std::vector<std::size_t> block_sizes{bytes.size()};
    for (std::size_t block_size = 1; block_size <= 32; ++block_size) {
      block_sizes.push_back(block_size);
    }
    for (const std::size_t block_size : block_sizes) {
      for (const std::size_t capacity : {std::size_t{4}, std::size_t{256}}) {
        SCOPED_TRACE("block size " + std::to_string(block_size) + ", capacity " +
                     std::to_string(capacity) + ", input " + bytes);
        const Copy pieces = copy(source, block_size, capacity, Skip::kNothing);
        const Copy read_anyway = copy(source, block_size, capacity, Skip::kReadAnyway);
        EXPECT_EQ(read_anyway.pieces, pieces.pieces);
        EXPECT_EQ(read_anyway.file, pieces.file);
        EXPECT_EQ(copy(source, block_size, capacity, Skip::kWholeView).file, pieces.file);
        EXPECT_EQ(copy(source, block_size, capacity, Skip::kFirstLine).file, pieces.file);
      }
    }
  }
}

TEST_F(TextFileTest, PlainLinesStopBeforeALineOutOfFormAndInsideALine) {
  auto input = TextInputFile::open_for_reading(write_file("a\r\nb\r\nlone\rcr\r\nc\r\n").c_str());
  ASSERT_TRUE(input.has_value());
  EXPECT_EQ(input->plain_lines(), "");  // no block read yet
  char buffer[256];
  input->next_line(buffer, sizeof buffer);
  EXPECT_EQ(input->plain_lines(), "b\r\n");
  input->skip_lines(3);
  EXPECT_EQ(input->plain_lines(), "");  // a lone CR breaks the form
  EXPECT_EQ(input->next_line(buffer, sizeof buffer), 7U);
  EXPECT_STREQ(buffer, "lonecr\n");
  EXPECT_EQ(input->plain_lines(), "");  // the rest of the block goes piece by piece

  auto long_line = TextInputFile::open_for_reading(
      write_file("c\r\n" + std::string(300, 'x') + "\r\nd\r\n").c_str());
  ASSERT_TRUE(long_line.has_value());
  long_line->next_line(buffer, sizeof buffer);
  EXPECT_EQ(long_line->plain_lines().size(), 305U);  // a long line is one plain line
  EXPECT_EQ(long_line->next_line(buffer, sizeof buffer), 255U);
  EXPECT_EQ(long_line->plain_lines(), "");  // inside the long line
  EXPECT_EQ(long_line->next_line(buffer, sizeof buffer), 46U);
  EXPECT_EQ(long_line->plain_lines(), "d\r\n");
  long_line->skip_lines(3);
  EXPECT_EQ(long_line->plain_lines(), "");
  EXPECT_EQ(long_line->next_line(buffer, sizeof buffer), 0U);
  EXPECT_TRUE(long_line->at_end());
}

}  // namespace
