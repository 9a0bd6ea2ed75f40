// Runs the scratch build of the command on a prepared version file and checks everything a caller
// can see afterwards: the bytes on standard output, the exit status, the version file's bytes and
// what is left of the temporary file in the current directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "tests/scratch_files.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// A version header as the tools ship it: CR LF lines, two components.
const std::string kHeader =
    "// Product version\r\n"
    "#define XYZ_VERSION 2,3,0,7\r\n"
    "#define ABC_VERSION 1,0,0,41\r\n"
    "#define ABC_STRING_VERSION \"1.0.0.41\"\r\n"
    "#define XYZ_STRING_VERSION \"2.3.0.7\"\r\n";

const std::string kHeaderBumped =
    "// Product version\r\n"
    "#define XYZ_VERSION 2,3,0,7\r\n"
    "#define ABC_VERSION 1,0,0,42\r\n"
    "#define ABC_STRING_VERSION \"1.0.0.42\"\r\n"
    "#define XYZ_STRING_VERSION \"2.3.0.7\"\r\n";

constexpr std::size_t kKiB = 1024;

// CR LF lines of filler, at least `size` bytes of them.
std::string filler_lines(std::size_t size) {
  std::string lines;
  while (lines.size() < size) {
    lines += "// filler line that makes the header longer than one read block\r\n";
  }
  return lines;
}

void expect_outcome(const ChildResult& result, int status, const std::string& output) {
  EXPECT_EQ(result.exit_status, status);
  EXPECT_EQ(result.output, output);
}

// Runs `bumpbuild ABC` on `before` and expects a clean success leaving `after`.
void expect_bumped(const std::string& before, const std::string& after) {
  write_version_file(before);
  const fs::path directory = fresh_working_directory();
  expect_outcome(run_scratch(directory, {"ABC"}), 0, "");
  EXPECT_EQ(read_version_file(), after);
  EXPECT_FALSE(temp_file_exists(directory));
}

// Runs the command with `arguments` on `before` and expects "unknown parameter" with nothing
// changed and nothing left behind.
void expect_unknown_parameter(const std::string& before,
                              const std::vector<std::string>& arguments) {
  write_version_file(before);
  const fs::path directory = fresh_working_directory();
  expect_outcome(run_scratch(directory, arguments), 1, "unknown parameter");
  EXPECT_EQ(read_version_file(), before);
  EXPECT_FALSE(temp_file_exists(directory));
}

const std::vector<std::vector<std::string>> kWrongArgumentCounts = {
    {}, {"ABC", "XYZ"}, {"ABC", "XYZ", "QRS"}};

TEST(Bump, RewritesTheComponentsLinesAndLeavesOthers) {
  write_version_file(kHeader);
  const fs::path directory = fresh_working_directory();
  write_file_bytes(directory / kTempFileName, "stale copy of an earlier run\r\n");
  expect_outcome(run_scratch(directory, {"ABC"}), 0, "");
  EXPECT_EQ(read_version_file(), kHeaderBumped);
  EXPECT_FALSE(temp_file_exists(directory));

  // A second run counts on from the rewritten file.
  expect_outcome(run_scratch(directory, {"XYZ"}), 0, "");
  EXPECT_EQ(read_version_file(),
            "// Product version\r\n"
            "#define XYZ_VERSION 2,3,0,8\r\n"
            "#define ABC_VERSION 1,0,0,42\r\n"
            "#define ABC_STRING_VERSION \"1.0.0.42\"\r\n"
            "#define XYZ_STRING_VERSION \"2.3.0.8\"\r\n");
}

TEST(Bump, RewritesEveryKeyLineFromItsOwnNumber) {
  expect_bumped(
      "#define ABC_VERSION 1,0,0,41\r\n"
      "#define ABC_STRING_VERSION \"1.0.0.41\"\r\n"
      "#if OLD_ABC\r\n"
      "#define ABC_VERSION 1,0,0,9\r\n"
      "#define ABC_STRING_VERSION \"1.0.0.9\"\r\n"
      "#endif\r\n",
      "#define ABC_VERSION 1,0,0,42\r\n"
      "#define ABC_STRING_VERSION \"1.0.0.42\"\r\n"
      "#if OLD_ABC\r\n"
      "#define ABC_VERSION 1,0,0,10\r\n"
      "#define ABC_STRING_VERSION \"1.0.0.10\"\r\n"
      "#endif\r\n");
}

TEST(Bump, ReplacesTheWholeBuildField) {
  // Everything after the separator gives way to the number (and the quote on a string line).
  expect_bumped(
      "#define ABC_VERSION 1,0,0,41   // build\r\n"
      "#define ABC_STRING_VERSION \"1.0.0.41\" /* shown */\r\n",
      "#define ABC_VERSION 1,0,0,42\r\n"
      "#define ABC_STRING_VERSION \"1.0.0.42\"\r\n");
}

TEST(Bump, KeysMatchAnywhereInTheLine) {
  // "BC" is part of "ABC_VERSION", so the prefix selects the ABC lines.
  write_version_file(kHeader);
  const fs::path directory = fresh_working_directory();
  expect_outcome(run_scratch(directory, {"BC"}), 0, "");
  EXPECT_EQ(read_version_file(), kHeaderBumped);
}

TEST(Bump, WritesCrLfLineEndsThroughout) {
  // LF-only lines gain a CR; every CR already there is dropped first, a lone one too; a key line
  // without a line end at the end of the file gains one.
  expect_bumped(
      "// Product version\n"
      "#define XYZ_VERSION 2,3,0,7\r\n"
      "#define\rABC_VERSION 1,0,0,41\n"
      "#define ABC_STRING_VERSION \"1.0.0.41\"",
      "// Product version\r\n"
      "#define XYZ_VERSION 2,3,0,7\r\n"
      "#defineABC_VERSION 1,0,0,42\r\n"
      "#define ABC_STRING_VERSION \"1.0.0.42\"\r\n");
}

TEST(Bump, KeepsAFinalLineWithoutLineEndAsItIs) {
  expect_bumped(kHeader + "#endif", kHeaderBumped + "#endif");
}

TEST(Bump, DropsEverythingFromACtrlZOn) {
  expect_bumped(kHeader + "\x1A" + "#define ABC_VERSION 1,0,0,77\r\n\x1A garbage", kHeaderBumped);
  expect_bumped("#define ABC_VERSION 1,0,0,41\r\n#define ABC_STRING_VERSION \"1.0.0.41\x1A\"\r\n",
                "#define ABC_VERSION 1,0,0,42\r\n#define ABC_STRING_VERSION \"1.0.0.42\"\r\n");
  // The text also ends there when the file goes on for more than one read block.
  expect_bumped(kHeader + "\x1A" + filler_lines(200 * kKiB) + kHeader, kHeaderBumped);
}

TEST(Bump, HandlesFilesLargerThanOneReadBlock) {
  // Lines that straddle the 256 KB read blocks, LF-only lines among them, key lines at both ends,
  // and more than 8 MiB after the first ones, which the run hands to the disk as it goes on.
  const std::string filler = filler_lines(600 * kKiB);
  std::string lf_filler = filler;
  std::erase(lf_filler, '\r');
  const std::string long_filler = filler_lines(9 * 1024 * kKiB);
  expect_bumped(kHeader + long_filler + filler + lf_filler + kHeader,
                kHeaderBumped + long_filler + filler + filler + kHeaderBumped);
}

TEST(Bump, SplitsALongLineAfterTheRewrittenPiece) {
  // Lines are read in pieces of at most 255 bytes. The key stands in the second piece of this
  // line; its build field runs to the end of that piece, and the rewritten piece ends in a line
  // end of its own, so the third piece follows on a new line.
  const std::string first_piece(255, 'a');
  std::string second_piece = "#define ABC_VERSION 1,0,0,41";
  second_piece += std::string(255 - second_piece.size(), 'b');
  const std::string third_piece = "ccc";
  expect_bumped("// long\r\n" + first_piece + second_piece + third_piece + "\r\n#endif\r\n",
                "// long\r\n" + first_piece + "#define ABC_VERSION 1,0,0,42\r\n" + third_piece +
                    "\r\n#endif\r\n");
}

TEST(Bump, CopiesZeroBytesThrough) {
  expect_bumped(
      "#define XYZ\0 1\r\n"
      "/* \0 */ #define ABC_VERSION 1,0,0,41\r\n"
      "\0\0\r\n"
      "#define ABC_STRING_VERSION \"1.0.0.41\"\r\n"s,
      "#define XYZ\0 1\r\n"
      "/* \0 */ #define ABC_VERSION 1,0,0,42\r\n"
      "\0\0\r\n"
      "#define ABC_STRING_VERSION \"1.0.0.42\"\r\n"s);
}

TEST(Bump, FormsLongKeysInFull) {
  // A 240-byte prefix makes a 248-byte key; its line fits one piece and is rewritten.
  const std::string prefix_240(240, 'P');
  const std::string other_240 = std::string(239, 'P') + "Q";
  write_version_file(other_240 + "_VERSION 0,7\r\n" + prefix_240 + "_VERSION 0,41\r\n");
  const fs::path directory = fresh_working_directory();
  expect_outcome(run_scratch(directory, {prefix_240}), 0, "");
  EXPECT_EQ(read_version_file(), other_240 + "_VERSION 0,7\r\n" + prefix_240 + "_VERSION 0,42\r\n");
  EXPECT_FALSE(temp_file_exists(directory));

  // The key begins one byte into a line of its own first byte: the search starts over there.
  write_version_file("P" + prefix_240 + "_VERSION 0,41\r\n");
  expect_outcome(run_scratch(directory, {prefix_240}), 0, "");
  EXPECT_EQ(read_version_file(), "P" + prefix_240 + "_VERSION 0,42\r\n");
}

TEST(Bump, FindsLongPrefixesAmongLinesFullOfTheirFirstByte) {
  // Lines of one byte (one within a read block yet longer than the longest prefix a command line
  // takes, one longer than a piece) and prefixes of that byte: every position starts a near match.
  // The longest prefix never fits a piece; it stays within the longest command line Windows takes.
  const std::string lines =
      "//\r\n" + std::string(200 * kKiB, 'P') + "\r\n" + std::string(1000, 'P') + "\n";
  const std::string prefix_240(240, 'P');
  expect_unknown_parameter(lines, {std::string(30 * kKiB, 'P')});
  write_version_file(lines + prefix_240 + "_VERSION 0,41\r\n" + lines);
  const fs::path directory = fresh_working_directory();
  expect_outcome(run_scratch(directory, {prefix_240}), 0, "");
  const std::string rewritten_lines =
      "//\r\n" + std::string(200 * kKiB, 'P') + "\r\n" + std::string(1000, 'P') + "\r\n";
  EXPECT_EQ(read_version_file(),
            rewritten_lines + prefix_240 + "_VERSION 0,42\r\n" + rewritten_lines);
}

TEST(WrongArgumentCount, ChangesNothingAndReportsNothing) {
  for (const std::vector<std::string>& arguments : kWrongArgumentCounts) {
    SCOPED_TRACE(testing::Message() << arguments.size() << " arguments");
    // LF line ends show that the file is not even rewritten in place.
    const std::string before = "#define ABC_VERSION 1,0,0,41\n";
    write_version_file(before);
    const fs::path directory = fresh_working_directory();
    expect_outcome(run_scratch(directory, arguments), 0, "");
    EXPECT_EQ(read_version_file(), before);
    EXPECT_FALSE(temp_file_exists(directory));

    write_file_bytes(directory / kTempFileName, "left by an earlier run");
    expect_outcome(run_scratch(directory, arguments), 0, "");
    EXPECT_EQ(read_version_file(), before);
    EXPECT_FALSE(temp_file_exists(directory));
  }
}

TEST(MissingVersionFile, IsReportedWithAnEmptyTemporaryFileLeft) {
  empty_version_directory();  // without the lock companion of earlier runs
  const std::vector<std::vector<std::string>> argument_lists = {
      {}, {"ABC"}, {"ABC", "XYZ"}, {"ABC", "XYZ", "QRS"}};
  for (const std::vector<std::string>& arguments : argument_lists) {
    SCOPED_TRACE(testing::Message() << arguments.size() << " arguments");
    const fs::path directory = fresh_working_directory();
    expect_outcome(run_scratch(directory, arguments), 1, "Can't find version file");
    EXPECT_EQ(read_file_bytes(directory / kTempFileName), "");

    // A temporary file from an earlier run is truncated.
    write_file_bytes(directory / kTempFileName, "left by an earlier run");
    expect_outcome(run_scratch(directory, arguments), 1, "Can't find version file");
    EXPECT_EQ(read_file_bytes(directory / kTempFileName), "");
  }
  // Nothing is created beside the missing file, nor beside the missing file a link names.
  EXPECT_TRUE(fs::is_empty(scratch_version_file().parent_path()));
  std::error_code error;
  fs::create_symlink("gone/version.h", scratch_version_file(), error);
  if (!error) {  // Wine cannot make links
    expect_outcome(run_scratch(fresh_working_directory(), {"ABC"}), 1, "Can't find version file");
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch_version_file().parent_path()),
                            fs::directory_iterator()),
              1);
  }
}

TEST(UnknownParameter, NoLineCarriesTheKeyAndSeparator) {
  expect_unknown_parameter("", {"ABC"});
  expect_unknown_parameter(kHeader, {"QRS"});
  // Prefixes are matched byte for byte: no case folding.
  expect_unknown_parameter(kHeader, {"abc"});
  // LF line ends stay as they were: the version file is not rewritten.
  expect_unknown_parameter("#define ABC_VERSION 1.0.0.41\n", {"ABC"});
  // A string line without "." is not taken for a number line, even with a ",".
  expect_unknown_parameter("#define ABC_STRING_VERSION \"1,0,0,41\"\n", {"ABC"});
  // Key lines after a Ctrl-Z are not part of the text.
  expect_unknown_parameter("// empty\r\n\x1A#define ABC_VERSION 1,0,0,41\r\n", {"ABC"});
  // An empty prefix names no component, though "_VERSION" stands in every key line.
  expect_unknown_parameter(kHeader, {""});
}

TEST(UnknownParameter, KeysMustFitInOneLinePiece) {
  // A key split across two 255-byte pieces is not found.
  const std::string split_key = std::string(250, '/') + "ABC_VERSION 1,0,0,41\r\n";
  expect_unknown_parameter(split_key, {"ABC"});

  // A 300-byte prefix is longer than any piece.
  const std::string prefix_300(300, 'P');
  expect_unknown_parameter("#define " + prefix_300 + "_VERSION 1,0,0,41\r\n", {prefix_300});

  // A 250-byte prefix makes a 258-byte key, which never fits a piece, though the line holds it.
  const std::string prefix_250(250, 'P');
  expect_unknown_parameter(prefix_250 + "_VERSION 0,41\r\n", {prefix_250});
}

TEST(ReadError, DirectoryAtTheVersionFilesPath) {
  remove_version_file();
  fs::create_directories(scratch_version_file());
  const fs::path directory = fresh_working_directory();
  // POSIX opens a directory and fails on the first read. Windows cannot open one as a file: the
  // run finds no version file there and leaves its empty temporary file.
  const bool opens = std::ifstream(scratch_version_file()).is_open();
  expect_outcome(run_scratch(directory, {"ABC"}), 1,
                 opens ? "Can't read version file" : "Can't find version file");
  EXPECT_TRUE(fs::is_directory(scratch_version_file()));
  EXPECT_EQ(temp_file_exists(directory), !opens);
}

TEST(TemporaryFileNotCreated, DirectoryInItsPlace) {
  write_version_file(kHeader);
  const fs::path directory = fresh_working_directory();
  fs::create_directory(directory / kTempFileName);

  expect_outcome(run_scratch(directory, {"ABC"}), 1, "Can't write temporary file");
  EXPECT_EQ(read_version_file(), kHeader);
  EXPECT_TRUE(fs::is_directory(directory / kTempFileName));

  // The other outcomes do not depend on the temporary file.
  for (const std::vector<std::string>& arguments : kWrongArgumentCounts) {
    SCOPED_TRACE(testing::Message() << arguments.size() << " arguments");
    expect_outcome(run_scratch(directory, arguments), 0, "");
    EXPECT_EQ(read_version_file(), kHeader);
    EXPECT_TRUE(fs::is_directory(directory / kTempFileName));
  }
  remove_version_file();
  expect_outcome(run_scratch(directory, {"ABC"}), 1, "Can't find version file");
  EXPECT_TRUE(fs::is_directory(directory / kTempFileName));
}

TEST(WriteError, FileSizeLimitReached) {
  ChildOptions options = scratch_options(fresh_working_directory(), {"ABC"});
  options.file_size_limit = 4096;
  if (const auto reason = unsupported_reason(options)) {
    GTEST_SKIP() << *reason;
  }
  const std::string big = kHeader + filler_lines(100 * kKiB);
  write_version_file(big);
  expect_outcome(run_child(options), 1, "Can't write temporary file");
  EXPECT_EQ(read_version_file(), big);
  EXPECT_FALSE(temp_file_exists(options.working_directory));
}

TEST(ReplaceError, VersionFilesDirectoryReadOnly) {
  ChildOptions options = scratch_options(fresh_working_directory(), {"ABC"});
  const std::string before =
      "#define XYZ_VERSION 2,3,0,7\n"
      "#define ABC_VERSION 1,0,0,41\n"
      "#define ABC_STRING_VERSION \"1.0.0.41\"\n";
  write_version_file(before);  // makes the directory that the check below mounts
  options.read_only_directory = scratch_version_file().parent_path().string();
  if (const auto reason = unsupported_reason(options)) {
    GTEST_SKIP() << *reason;
  }
  expect_outcome(run_child(options), 1, "Can't replace version file");
  EXPECT_EQ(read_version_file(), before);
  EXPECT_EQ(read_file_bytes(fs::path(options.working_directory) / kTempFileName),
            "#define XYZ_VERSION 2,3,0,7\r\n"
            "#define ABC_VERSION 1,0,0,42\r\n"
            "#define ABC_STRING_VERSION \"1.0.0.42\"\r\n");
}

}  // namespace
