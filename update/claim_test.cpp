// The claim that lets one run, and only one, replace a content of the version file.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/file_system.h"
#include "update/replacement.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path fresh_directory() {
  const fs::path directory =
      fs::temp_directory_path() / ("bumpbuild-claim-" + std::to_string(std::random_device{}()));
  fs::remove_all(directory);
  fs::create_directories(directory);
  return directory;
}

TEST(Claim, OneRunPerContentAndStateAnUnusedClaimGivenUpOrTakenOverInTime) {
  const fs::path directory = fresh_directory();
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
  const fs::path directory = fresh_directory();
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
