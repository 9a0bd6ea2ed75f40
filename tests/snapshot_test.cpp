// The snapshot a run leaves for its build (BUMPBUILD_SNAPSHOT): the version file exactly as that
// run left it, there only after a run that bumped, and never a path that would take a file the
// run works on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "tests/scratch_files.h"

namespace fs = std::filesystem;

namespace {

ChildOptions with_snapshot(const fs::path& directory, const std::vector<std::string>& arguments,
                           const fs::path& snapshot) {
  ChildOptions options = scratch_options(directory, arguments);
  options.environment = {"BUMPBUILD_SNAPSHOT=" + snapshot.string()};
  return options;
}

TEST(Snapshot, ParallelRunsEachGetTheVersionFileAsTheyLeftIt) {
  static constexpr int kRuns = 24;
  empty_version_directory();
  write_version_file(header_at("ABC", 0));
  const fs::path directory = fresh_working_directory();
  std::vector<RunningChild> children;
  for (int run = 0; run < kRuns; ++run) {
    children.push_back(
        start_child(with_snapshot(directory, {"ABC"}, directory / std::to_string(run))));
  }
  for (RunningChild& child : children) {
    const ChildResult result = wait_child(child);
    EXPECT_EQ(result.exit_status, 0) << result.output;
  }
  std::set<int> builds;
  for (int run = 0; run < kRuns; ++run) {
    const std::string snapshot = read_file_bytes(directory / std::to_string(run)).value_or("");
    const int build =
        static_cast<int>(std::strtol(snapshot.c_str() + snapshot.rfind('.') + 1, nullptr, 10));
    EXPECT_EQ(snapshot, header_at("ABC", build)) << "run " << run;
    builds.insert(build);
  }
  EXPECT_EQ(builds.size(), std::size_t{kRuns});  // all different, from 1 to kRuns
  EXPECT_EQ(*builds.begin(), 1);
  EXPECT_EQ(*builds.rbegin(), kRuns);
  EXPECT_EQ(read_version_file(), header_at("ABC", kRuns));
}

TEST(Snapshot, OnlyARunThatBumpsLeavesOne) {
  empty_version_directory();
  const fs::path directory = fresh_working_directory();
  const fs::path snapshot = directory / "out" / "version.h";
  fs::create_directories(snapshot.parent_path());
  struct Case {
    const char* what;
    std::vector<std::string> arguments;
    bool version_file;
    int status;
  };
  for (const Case& run :
       {Case{"wrong argument count", {}, true, 0}, Case{"unknown prefix", {"QQ"}, true, 1},
        Case{"version file missing", {"ABC"}, false, 1}}) {
    SCOPED_TRACE(run.what);
    write_version_file(header_at("ABC", 7));
    if (!run.version_file) {
      remove_version_file();
    }
    write_file_bytes(snapshot, "stale snapshot of an earlier run");
    EXPECT_EQ(run_child(with_snapshot(directory, run.arguments, snapshot)).exit_status, run.status);
    EXPECT_TRUE(fs::is_empty(snapshot.parent_path())) << "a snapshot or its partial copy stayed";
  }
  write_version_file(header_at("ABC", 7));
  EXPECT_EQ(run_child(with_snapshot(directory, {"ABC"}, snapshot)).exit_status, 0);
  EXPECT_EQ(read_file_bytes(snapshot), header_at("ABC", 8));
  EXPECT_EQ(read_version_file(), header_at("ABC", 8));
}

TEST(Snapshot, PathsThatCannotServeAreRefusedUntouched) {
  empty_version_directory();
  write_version_file(header_at("ABC", 7));
  const fs::path directory = fresh_working_directory();
  const fs::path version = scratch_version_file();
  fs::create_directories(directory / "a directory");
  write_file_bytes(version.string() + ".lock", "");
  std::error_code error;
  fs::create_hard_link(version, directory / "hard link", error);
  ASSERT_FALSE(error) << error.message();
  std::vector<fs::path> refused = {directory / "missing" / "version.h",
                                   directory / "a directory",
                                   version,
                                   version.parent_path() / ".." / "cc" / version.filename(),
                                   version.string() + ".lock",
                                   directory / "hard link",
                                   directory / kTempFileName,
                                   kTempFileName};
  // Symbolic links need a privilege on Windows; the hard link stands for them there.
  fs::create_symlink(version, directory / "symbolic link", error);
  if (!error) {
    refused.push_back(directory / "symbolic link");
  }
  for (const fs::path& path : refused) {
    SCOPED_TRACE(path.string());
    const ChildResult result = run_child(with_snapshot(directory, {"ABC"}, path));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, "Can't write snapshot");
    EXPECT_EQ(read_version_file(), header_at("ABC", 7));
    EXPECT_EQ(read_file_bytes(version.string() + ".lock"), "");
    EXPECT_FALSE(temp_file_exists(directory));
    EXPECT_TRUE(fs::is_directory(directory / "a directory"));
  }
}

}  // namespace
