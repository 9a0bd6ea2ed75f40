// The replacement's calling sequence, where the operating system gives the failures, and the files
// a run keeps beside the version file: its lock, its saved copy, its claims, the snapshot.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>

#include "platform/file_system.h"
#include "update/replacement.h"
#include "update/snapshot.h"
#include "update/version_lock.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

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

std::ptrdiff_t files_in(const fs::path& directory) {
  return std::distance(fs::directory_iterator(directory), fs::directory_iterator());
}

TEST(Replacement, RenamesASyncedCopyAndCopiesOneNotSyncedBeside) {
  // A copy the caller did not sync must still reach the target through a synced copy: a rename
  // would leave unsynced data under the version file.
  const fs::path directory = fresh_directory("bumpbuild-replacement-");
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
  const fs::path directory = fresh_directory("bumpbuild-replacement-");
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
  const fs::path directory = fresh_directory("bumpbuild-replacement-");
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
  const fs::path directory = fresh_directory("bumpbuild-replacement-");
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

TEST(Claim, OneRunPerContentAndStateAnUnusedClaimGivenUpOrTakenOverInTime) {
  const fs::path directory = fresh_directory("bumpbuild-claim-");
  const std::string version = (directory / "version.h").string();
  FileStamp read;
  read.modified_seconds = 1000;
  const std::uint64_t key = content_key(7, read);
  ClaimWatch first_watch;
  Claim first = claim_content(version, key, Clock::now(), first_watch);
  ASSERT_EQ(first.outcome, ClaimOutcome::kClaimed);
  EXPECT_EQ(first.path, claim_path(version, key, 0));
  // The same text in the same state is taken; in another state, or another text, it is free.
  ClaimWatch watch;
  EXPECT_EQ(claim_content(version, key, Clock::now(), watch).outcome, ClaimOutcome::kTaken);
  EXPECT_EQ(watch.path, first.path);
  read.modified_seconds = 1001;
  EXPECT_NE(content_key(7, read), key);
  EXPECT_NE(content_key(8, FileStamp{}), content_key(7, FileStamp{}));

  // A run that read the file too long ago claims nothing.
  ClaimWatch late_watch;
  const Claim late =
      claim_content(version, content_key(9, read),
                    Clock::now() - std::chrono::seconds(kClaimActSeconds), late_watch);
  EXPECT_EQ(late.outcome, ClaimOutcome::kTaken);
  EXPECT_FALSE(fs::exists(claim_path(version, content_key(9, read), 0)));

  // A claim seen unused for long enough is taken over in the next generation, never reused.
  watch.since = Clock::now() - std::chrono::seconds(kClaimTakeoverSeconds);
  Claim second = claim_content(version, key, Clock::now(), watch);
  ASSERT_EQ(second.outcome, ClaimOutcome::kClaimed);
  EXPECT_EQ(second.path, claim_path(version, key, 1));
  EXPECT_EQ(claim_content(version, key, Clock::now(), first_watch).outcome, ClaimOutcome::kTaken);

  // A claim given up unused frees its name at once.
  drop_claim(second);
  drop_claim(first);
  EXPECT_FALSE(fs::exists(claim_path(version, key, 0)) || fs::exists(claim_path(version, key, 1)));
  Claim again = claim_content(version, key, Clock::now(), watch);
  EXPECT_EQ(again.outcome, ClaimOutcome::kClaimed);
  drop_claim(again);

  // Where no claim can be made, nothing is claimed.
  std::ofstream(directory / "plain", std::ios::binary) << "x";
  ClaimWatch blocked_watch;
  EXPECT_EQ(
      claim_content((directory / "plain" / "version.h").string(), key, Clock::now(), blocked_watch)
          .outcome,
      ClaimOutcome::kFailed);
  fs::remove_all(directory);
}

TEST(Claim, SettlingDeletesTheClaimsNoRunCanNeedAndNothingElse) {
  const fs::path directory = fresh_directory("bumpbuild-claim-");
  const std::string version = (directory / "version.h").string();
  std::ofstream(version, std::ios::binary) << "v\r\n";
  const auto old_time =
      fs::file_time_type::clock::now() - std::chrono::seconds(kClaimKeepSeconds + 5);
  // Content 1: both generations old. Content 2: one generation old, the newer one young.
  for (const auto& [key, generation, old] :
       {std::tuple{1U, 0, true}, {1U, 1, true}, {2U, 0, true}, {2U, 1, false}}) {
    const std::string path = claim_path(version, key, generation);
    std::ofstream(path, std::ios::binary).flush();
    if (old) {
      fs::last_write_time(path, old_time);
    }
  }
  ClaimWatch watch;
  Claim claim = claim_content(version, 3, Clock::now(), watch);
  ASSERT_EQ(claim.outcome, ClaimOutcome::kClaimed);
  EXPECT_TRUE(settle_claim(version, claim));
  EXPECT_EQ(claim.file, kNoFile);
  EXPECT_FALSE(fs::exists(claim_path(version, 1, 0)) || fs::exists(claim_path(version, 1, 1)));
  EXPECT_TRUE(fs::exists(claim_path(version, 2, 0)) && fs::exists(claim_path(version, 2, 1)));
  EXPECT_TRUE(fs::exists(claim_path(version, 3, 0)));  // kept for the runs that read its content
  EXPECT_TRUE(fs::exists(version));
  fs::remove_all(directory);
}

}  // namespace
