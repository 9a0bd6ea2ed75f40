// The files a run keeps beside the version file: its lock, its saved copy, the snapshot.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "update/replacement.h"
#include "update/snapshot.h"
#include "update/version_lock.h"

namespace {

namespace fs = std::filesystem;

fs::path fresh_directory(const char* name) {
  const fs::path directory =
      fs::temp_directory_path() / (std::string(name) + std::to_string(std::random_device{}()));
  fs::remove_all(directory);
  fs::create_directories(directory);
  return directory;
}

std::string contents(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(Replacement, BytesReplaceOnlyAFile) {
  const fs::path directory = fresh_directory("bumpbuild-replacement-");
  const std::string version = (directory / "version.h").string();
  const std::string temp = (directory / "temp").string();
  EXPECT_EQ(replace_with_bytes(version.c_str(), temp.c_str(), "new\r\n"),
            ReplaceOutcome::kNothingThere);
  EXPECT_FALSE(fs::exists(version) || fs::exists(temp));
  std::ofstream(version, std::ios::binary) << "old\r\n";
  EXPECT_EQ(replace_with_bytes(version.c_str(), temp.c_str(), "new\r\n"),
            ReplaceOutcome::kReplaced);
  EXPECT_EQ(contents(version), "new\r\n");
  EXPECT_FALSE(fs::exists(temp));
  fs::remove_all(directory);
}

TEST(StartSnapshot, RefusesEveryFileTheRunWorksOnAndADirectory) {
  const fs::path directory = fresh_directory("bumpbuild-start-snapshot-");
  const std::string header = (directory / "version.h").string();
  const std::string turn = (directory / "turn").string();
  std::ofstream(header, std::ios::binary) << "v\n";
  for (const std::string& path : {header, lock_companion_path(header), copy_beside_path(header),
                                  saved_copy_path(header), turn, directory.string()}) {
    SCOPED_TRACE(path);
    const Snapshot snapshot = start_snapshot(path.c_str(), header, turn);
    EXPECT_TRUE(snapshot.refused);
    discard_snapshot(snapshot);  // touches nothing
  }
  EXPECT_EQ(contents(header), "v\n");
  EXPECT_FALSE(fs::exists(copy_beside_path(header)) || fs::exists(saved_copy_path(header)));

  const std::string path = (directory / "snap.h").string();
  Snapshot snapshot = start_snapshot(path.c_str(), header, turn);
  ASSERT_FALSE(snapshot.refused);
  EXPECT_TRUE(publish_snapshot(snapshot));
  EXPECT_TRUE(fs::exists(path));
  EXPECT_FALSE(fs::exists(copy_beside_path(path)));
  snapshot = start_snapshot(path.c_str(), header, turn);
  discard_snapshot(snapshot);  // and the one an earlier run left
  EXPECT_FALSE(fs::exists(path) || fs::exists(copy_beside_path(path)));
  EXPECT_TRUE(publish_snapshot(start_snapshot(nullptr, header, turn)));
  fs::remove_all(directory);
}

TEST(VersionLock, ExcludesASecondHolderAndWaitsNoLongerThanAsked) {
  const fs::path directory = fresh_directory("bumpbuild-version-lock-");
  const std::string version = (directory / "version.h").string();
  std::string resolved;
  // Nothing to lock, and nothing created beside it.
  EXPECT_EQ(lock_file_exclusively(version.c_str(), resolved, 1), kNoLock);
  EXPECT_FALSE(fs::exists(lock_companion_path(version)));
  EXPECT_EQ(lock_file_exclusively(directory.string().c_str(), resolved, 1), kNoLock);

  std::ofstream(version) << "v\n";
  const FileLock held = lock_file_exclusively(version.c_str(), resolved, 1);
  ASSERT_NE(held, kNoLock);
  ASSERT_NE(held, kLockTimedOut);
  EXPECT_TRUE(fs::exists(lock_companion_path(resolved)));
  std::string other;
  EXPECT_EQ(lock_file_exclusively(version.c_str(), other, 1), kLockTimedOut);
  bool busy = false;
  EXPECT_EQ(try_lock_file(lock_companion_path(resolved).c_str(), busy), kNoLock);
  EXPECT_TRUE(busy);

  // A version file missing beside its companion is still locked for, and the lock comes once free.
  fs::remove(version);
  EXPECT_EQ(lock_file_exclusively(version.c_str(), other, 1), kLockTimedOut);
  unlock_file(held);
  const FileLock next = lock_file_exclusively(version.c_str(), other, 1);
  EXPECT_NE(next, kNoLock);
  EXPECT_NE(next, kLockTimedOut);
  unlock_file(next);

  // A turn file is made when missing; one that cannot be made is not busy.
  const std::string turn = (directory / "turn").string();
  const FileLock taken = try_lock_file(turn.c_str(), busy);
  EXPECT_NE(taken, kNoLock);
  EXPECT_FALSE(busy);
  unlock_file(taken);
  EXPECT_EQ(try_lock_file((directory / "none" / "turn").string().c_str(), busy), kNoLock);
  EXPECT_FALSE(busy);
  fs::remove_all(directory);
}

}  // namespace
