#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

// The inode at `path`, or 0 when nothing is there.
ino_t inode_at(const fs::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

TEST(ReplaceFile, RenamesASyncedSourceAndCopiesOneNotSyncedBeside) {
  // In a directory where a rename would do, a source the caller did not sync must still reach
  // the target through a synced copy: a rename would leave unsynced data under the version file.
  // A name of this run's own: the tests of other build trees and other users share the temporary
  // directory, at the same time too.
  const fs::path directory = fs::temp_directory_path() /
                             ("bumpbuild-replace-file-" + std::to_string(std::random_device{}()));
  fs::remove_all(directory);
  fs::create_directories(directory);
  const fs::path target = directory / "version.h";
  const fs::path source_path = directory / "$$TEMP.TMP";
  for (const bool synced : {true, false}) {
    SCOPED_TRACE(synced ? "synced" : "not synced");
    std::ofstream(target, std::ios::binary) << "old\r\n";
    const FileHandle source = create_file_for_writing(source_path.c_str(), target.c_str());
    ASSERT_NE(source, kNoFile);
    ASSERT_TRUE(write_file(source, "new\r\n", 5));
    ASSERT_TRUE(!synced || sync_file(source));
    const ino_t written = inode_at(source_path);
    const BesideTarget beside{target.string() + ".new", target.string() + ".saved"};
    ASSERT_TRUE(replace_file(source, source_path.c_str(), target.c_str(), synced, beside));
    std::ifstream result(target, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(result), {}), "new\r\n");
    EXPECT_EQ(inode_at(target) == written, synced);
    EXPECT_FALSE(fs::exists(source_path));
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1)
        << "something left beside the version file";
  }
  fs::remove_all(directory);
}

}  // namespace
