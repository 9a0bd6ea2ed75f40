#include "git/bump_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kFor = "0a1b2c3d4e5f60718293a4b5c6d7e8f901234567";

TEST(BumpRecord, ReadsACommitsEntryFromTheDirectoryOfItsFirstTwoDigits) {
  EXPECT_EQ(record_objects("refs/r", kFor), (std::vector<std::string>{"refs/r", "refs/r:0a"}));
  EXPECT_TRUE(prefix_fits_record("ABC"));
  for (const char* prefix : {"A/B", "A\nB", "A\rB"}) {
    EXPECT_FALSE(prefix_fits_record(prefix)) << prefix;
  }
}

TEST(BumpRecord, ReadsTheRecordsCommitWhereItHoldsNoBumpForTheCommit) {
  const GitRunner git(60, 60);
  Record record;
  record.found = true;  // read_record starts afresh
  // No record yet.
  ASSERT_TRUE(read_record(git, {BatchObject{}, BatchObject{}}, kFor, "ABC", record));
  EXPECT_TRUE(record.commit.empty());
  EXPECT_FALSE(record.found);
  // A record whose directory holds other commits' bumps: its commit, tree and place in its line.
  const std::string tree(40, 'e');
  const BatchObject commit{
      true, std::string(40, 'c'), "commit",
      "tree " + tree + "\ncommitter x <x> 1 +0000\n\nrecords\n\n" + "Bumpbuild-Record: 17\n"};
  std::string directory = "100644 2c3d ABC";
  directory.push_back('\0');
  directory.append(20, '\x01');
  const BatchObject other{true, std::string(40, 'd'), "tree", directory};
  ASSERT_TRUE(read_record(git, {commit, other}, kFor, "ABC", record));
  EXPECT_EQ(record.commit, std::string(40, 'c'));
  EXPECT_EQ(record.tree, tree);
  EXPECT_EQ(record.line, 17);
  EXPECT_FALSE(record.found);
  // A record's ref that names no commit is refused.
  const BatchObject blob{true, std::string(40, 'b'), "blob", "tree " + tree + "\n"};
  EXPECT_FALSE(read_record(git, {blob, BatchObject{}}, kFor, "ABC", record));
}

}  // namespace
