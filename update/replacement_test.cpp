// The replacement's calling sequence, where the operating system gives the failures.
#include "update/replacement.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/file_system.h"

namespace {

namespace fs = std::filesystem;

// A directory of this test's own: the tests of other build trees and other users share the
// temporary directory, at the same time too.
fs::path fresh_directory() {
  fs::path directory = fs::temp_directory_path() /
                       ("bumpbuild-replacement-" + std::to_string(std::random_device{}()));
  fs::remove_all(directory);
  fs::create_directories(directory);
  return directory;
}

std::string contents(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::ptrdiff_t files_in(const fs::path& directory) {
  return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
}

TEST(Replacement, RenamesASyncedCopyAndCopiesOneNotSyncedBeside) {
  // A copy the caller did not sync must still reach the target through a synced copy: a rename
  // would leave unsynced data under the version file.
  const fs::path directory = fresh_directory();
  const std::string target = (directory / "version.h").string();
  const std::string temp = (directory / "$$TEMP.TMP").string();
  for (const bool synced : {true, false}) {
    SCOPED_TRACE(synced ? "synced" : "not synced");
    std::ofstream(target, std::ios::binary) << "old\r\n";
    Replacement replacement = begin_replacement(target.c_str(), temp.c_str(), true);
    ASSERT_NE(replacement.file, kNoFile);
    ASSERT_TRUE(write_file(replacement.file, "new\r\n", 5));
    ASSERT_TRUE(!synced || sync_file(replacement.file));
    const FileStamp written = stamp_of(replacement.file);
    ASSERT_TRUE(commit_replacement(replacement, synced));
    EXPECT_EQ(contents(target), "new\r\n");
    EXPECT_EQ(stamp_at(target.c_str()).index == written.index,
              synced && !replacement.copies_beside);
    EXPECT_EQ(files_in(directory), 1) << "something left beside the version file";
  }
  fs::remove_all(directory);
}

TEST(Replacement, ATemporaryFileWhereOthersMayRenameItReachesTheTargetAsItsOwnCopy) {
  const fs::path directory = fresh_directory();
  const fs::path shared = directory / "shared";  // others may write it, and it is not sticky
  fs::create_directory(shared);
  fs::permissions(shared, fs::perms::all);
  const std::string target = (directory / "version.h").string();
  const std::string temp = (shared / "temp").string();
  std::ofstream(target, std::ios::binary) << "old\r\n";
  Replacement replacement = begin_replacement(target.c_str(), temp.c_str(), true);
  ASSERT_NE(replacement.file, kNoFile);
  ASSERT_TRUE(write_file(replacement.file, "new\r\n", 5));
  ASSERT_TRUE(replacement.copies_beside || sync_file(replacement.file));
  const FileStamp written = stamp_of(replacement.file);
  ASSERT_TRUE(commit_replacement(replacement, !replacement.copies_beside));
  EXPECT_EQ(contents(target), "new\r\n");
  EXPECT_NE(stamp_at(target.c_str()).index == written.index, replacement.copies_beside);
  EXPECT_EQ(files_in(shared), 0);
  EXPECT_EQ(files_in(directory), 2);
  fs::remove_all(directory);
}

TEST(Replacement, BeginRestoresASavedCopyOnlyWhereNothingStandsAndRollBackLeavesNothing) {
  const fs::path directory = fresh_directory();
  const std::string target = (directory / "version.h").string();
  const std::string temp = (directory / "temp").string();
  std::ofstream(saved_copy_path(target), std::ios::binary) << "kept\r\n";
  std::ofstream(copy_beside_path(target), std::ios::binary) << "left\r\n";
  std::ofstream(target, std::ios::binary) << "appeared\r\n";
  Replacement replacement = begin_replacement(target.c_str(), temp.c_str(), false);
  EXPECT_EQ(contents(target), "appeared\r\n");
  EXPECT_TRUE(fs::exists(copy_beside_path(target))) << "removed without the lock";
  roll_back_replacement(replacement);
  EXPECT_FALSE(fs::exists(temp));

  fs::remove(target);
  replacement = begin_replacement(target.c_str(), temp.c_str(), true);
  EXPECT_EQ(contents(target), "kept\r\n");
  roll_back_replacement(replacement);
  EXPECT_EQ(files_in(directory), 1) << "a saved, leftover or temporary copy stays";
  fs::remove_all(directory);
}

TEST(Replacement, ACommitThatCannotReachTheTargetKeepsTheNewCopy) {
  const fs::path directory = fresh_directory();
  const fs::path not_a_directory = directory / "file";
  std::ofstream(not_a_directory, std::ios::binary) << "file\r\n";
  const std::string target = (not_a_directory / "version.h").string();
  const std::string temp = (directory / "temp").string();
  for (const bool synced : {true, false}) {
    SCOPED_TRACE(synced ? "synced" : "not synced");
    Replacement replacement = begin_replacement(target.c_str(), temp.c_str(), true);
    ASSERT_NE(replacement.file, kNoFile);
    ASSERT_TRUE(write_file(replacement.file, "new\r\n", 5));
    EXPECT_FALSE(commit_replacement(replacement, synced));
    EXPECT_EQ(contents(temp), "new\r\n");
    EXPECT_EQ(contents(not_a_directory), "file\r\n");
    EXPECT_EQ(files_in(directory), 2);
  }
  fs::remove_all(directory);
}

}  // namespace
