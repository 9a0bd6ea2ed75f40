// Whatever happens to a run (a temporary file on another file system, a link planted where the
// temporary file goes, dozens of runs at once, a kill at any moment), the version file keeps
// either its old content or the complete new one, keeps its permission bits, and every run that
// succeeds advances its component's build number exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/child_process.h"
#include "tests/scratch_files.h"

namespace fs = std::filesystem;

namespace {

// A small version file: the component ABC at `build` beside another one that no run changes.
std::string small_version_file(int build) {
  const std::string number = std::to_string(build);
  std::string text = "// Component versions\r\n";
  text += "#define ABC_VERSION 1,2,0," + number + "\r\n";
  text += "#define ABC_STRING_VERSION \"1.2.0." + number + "\"\r\n";
  return text + "#define XYZ_VERSION 4,0,0,17\r\n#define XYZ_STRING_VERSION \"4.0.0.17\"\r\n";
}

// A version file of about 4 MB: 5000 blocks, each of eight note lines followed by an ABC number
// line and an ABC string line at `build`, with `line_end` after every line.
std::string large_version_file(int build, std::string_view line_end = "\r\n") {
  static constexpr int kBlocks = 5000;
  static constexpr int kNotesPerBlock = 8;
  const std::string number = std::to_string(build);
  std::string text;
  text.reserve(std::size_t{4} << 20);
  for (int block = 0; block < kBlocks; ++block) {
    for (int note = 0; note < kNotesPerBlock; ++note) {
      text += "// note " + std::to_string(block) + "." + std::to_string(note) +
              ": the build number below belongs to component ABC, release 1.0.0, 2,3,4";
      text += line_end;
    }
    text += "#define ABC_VERSION 1,0,0," + number;
    text += line_end;
    text += "#define ABC_STRING_VERSION \"1.0.0." + number + "\"";
    text += line_end;
  }
  return text;
}

// The companion file whose lock serializes the runs; it stays once created.
constexpr char kCompanionName[] = "version.h.lock";

// The names in the directory of `file` other than the file itself, its lock companion, which every
// run leaves there by design, and the claims that runs on a file server leave for a while.
std::vector<std::string> names_beside_version_file(const fs::path& file = scratch_version_file()) {
  const fs::path directory = file.parent_path();
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator entry(directory, error); !error && entry != fs::directory_iterator();
       entry.increment(error)) {
    const fs::path name = entry->path().filename();
    if (name != file.filename() && name != file.filename().string() + ".lock" &&
        !name.string().starts_with(file.filename().string() + ".bumpbuild-claim-")) {
      names.push_back(entry->path().filename().string());
    }
  }
  if (error) {
    ADD_FAILURE() << "cannot list " << directory << ": " << error.message();
  }
  return names;
}

fs::perms permission_bits(const fs::path& path) {
  std::error_code error;
  return fs::status(path, error).permissions() & fs::perms::mask;
}

class Robustness : public testing::Test {
 protected:
  // Every case starts from an empty version directory, so whatever it holds afterwards besides
  // the version file was left there by the runs.
  void SetUp() override { empty_version_directory(); }

  // Some systems refuse to delete a read-only file; the next case must be able to.
  void TearDown() override {
    std::error_code error;
    fs::permissions(scratch_version_file(), fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::add, error);
  }
};

TEST_F(Robustness, ReplacementFromAnotherFileSystemLeavesOnlyTheVersionFile) {
  const fs::path directory = fresh_working_directory();
  ChildOptions options = scratch_options(directory, {"ABC"});
  options.tmpfs_working_directory = true;
  if (const std::optional<std::string> reason = unsupported_reason(options)) {
    GTEST_SKIP() << *reason;
  }
  write_version_file(small_version_file(41));
  // Bits other than the defaults show that the copy made beside the version file received them.
  std::error_code error;
  fs::permissions(scratch_version_file(), fs::perms(0640), error);
  ASSERT_FALSE(error) << error.message();
  // The second run locks and replaces the file that the first run's copy became.
  for (int build = 42; build <= 43; ++build) {
    SCOPED_TRACE("run to build " + std::to_string(build));
    const ChildResult result = run_child(options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(read_version_file(), small_version_file(build));
    EXPECT_EQ(permission_bits(scratch_version_file()), fs::perms(0640));
    // The temporary file lay on the child's own tmpfs, which vanished with the child, so whether
    // the run deleted it cannot be seen from here. What can be seen: the copy beside the version
    // file took its name and nothing else was left there.
    EXPECT_EQ(names_beside_version_file(), std::vector<std::string>{});
  }
}

// A mode for the version file, named in octal in test names and messages.
struct Mode {
  unsigned bits;
  [[nodiscard]] fs::perms perms() const { return static_cast<fs::perms>(bits); }
  [[nodiscard]] std::string name() const {
    char name[8];
    (void)std::snprintf(name, sizeof name, "%04o", bits);
    return name;
  }
};

void PrintTo(const Mode& mode, std::ostream* stream) {
  *stream << mode.name();
}

class PermissionBits : public Robustness, public testing::WithParamInterface<Mode> {};

TEST_P(PermissionBits, SurviveTheReplacement) {
  const fs::perms mode = GetParam().perms();
  write_version_file(small_version_file(7));
  std::error_code error;
  fs::permissions(scratch_version_file(), mode, error);
  ASSERT_FALSE(error) << error.message();
  // Windows keeps only a read-only attribute: other modes read back as something else.
  if (permission_bits(scratch_version_file()) != mode) {
    GTEST_SKIP() << "this file system cannot hold mode " << GetParam().name();
  }
  const fs::path directory = fresh_working_directory();
  const ChildResult result = run_scratch(directory, {"ABC"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(read_version_file(), small_version_file(8));
  EXPECT_EQ(permission_bits(scratch_version_file()), mode);
  EXPECT_FALSE(temp_file_exists(directory));
  EXPECT_EQ(names_beside_version_file(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Modes, PermissionBits, testing::Values(Mode{0640}, Mode{0444}, Mode{0600}),
                         [](const testing::TestParamInfo<Mode>& info) {
                           return "Mode" + info.param.name();
                         });

// A link planted at the temporary file's name is removed, never followed: the run writes a file of
// its own and succeeds, and nothing the link led to changes.
TEST_F(Robustness, LinkAtTemporaryFileIsNeverWrittenThrough) {
  write_version_file(small_version_file(5));
  const fs::path directory = fresh_working_directory();
  const fs::path other_file = directory / "other.txt";
  const std::string other_content = "a file that only a link points at\n";
  write_file_bytes(other_file, other_content);
  const fs::path nowhere = directory / "nothing-here";
  struct Case {
    const char* what;
    fs::path target;
  };
  const Case cases[] = {{"link to a file with content", other_file},
                        {"link to the version file", scratch_version_file()},
                        {"dangling link", nowhere}};
  const fs::path link = directory / kTempFileName;
  int build = 5;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::error_code error;
    fs::remove(link, error);
    fs::create_symlink(c.target, link, error);
    if (error) {
      GTEST_SKIP() << "cannot create a symbolic link here: " << error.message();
    }
    const ChildResult result = run_scratch(directory, {"ABC"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_FALSE(temp_file_exists(directory));
    EXPECT_EQ(read_version_file(), small_version_file(++build));
    EXPECT_EQ(read_file_bytes(other_file), other_content);
    EXPECT_FALSE(fs::exists(fs::symlink_status(nowhere))) << "a file was created through the link";
  }
}

TEST_F(Robustness, HardLinkAtTemporaryFileIsNeverTruncated) {
  write_version_file(small_version_file(5));
  const fs::path directory = fresh_working_directory();
  std::error_code error;
  fs::create_hard_link(scratch_version_file(), directory / kTempFileName, error);
  if (error) {
    GTEST_SKIP() << "cannot create a hard link here: " << error.message();
  }
  const ChildResult result = run_scratch(directory, {"ABC"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.output, "Can't write temporary file");
  EXPECT_EQ(read_version_file(), small_version_file(5));
  EXPECT_EQ(read_file_bytes(directory / kTempFileName), small_version_file(5));
}

// Components of the parallel runs; each has a number line and a string line.
constexpr std::array<const char*, 3> kParallelPrefixes = {"AAA", "BBB", "CCC"};
using Builds = std::array<int, kParallelPrefixes.size()>;

std::string parallel_version_file(const Builds& builds) {
  std::string text = "// Shared version header\r\n#ifndef VERSION_H\r\n#define VERSION_H\r\n";
  for (std::size_t i = 0; i < kParallelPrefixes.size(); ++i) {
    const std::string prefix = kParallelPrefixes[i];
    const std::string minor = std::to_string(i);
    const std::string build = std::to_string(builds[i]);
    text.append("#define ").append(prefix).append("_NAME \"component ").append(prefix);
    text.append("\"\r\n#define ").append(prefix).append("_VERSION 3,").append(minor);
    text.append(",0,").append(build).append("\r\n#define ").append(prefix);
    text.append("_STRING_VERSION \"3.").append(minor).append(".0.").append(build).append("\"\r\n");
  }
  return text + "#endif\r\n";
}

// The build number on the first line of `text` that starts with `line_start`: the digits after
// the last `separator` of that line. Returns -1 when there is no such line or no digit.
int build_on_line(const std::string& text, const std::string& line_start, char separator) {
  const std::size_t start = text.find(line_start);
  if (start == std::string::npos) {
    return -1;
  }
  const std::string line = text.substr(start, text.find('\n', start) - start);
  const std::size_t digits = line.rfind(separator) + 1;
  if (digits == 0 || digits >= line.size() || line[digits] < '0' || line[digits] > '9') {
    return -1;
  }
  return std::stoi(line.substr(digits));
}

// How a round of parallel runs is spread: over the first `prefixes` components and over
// `directories` working directories, run i taking component i % prefixes in directory
// i % directories.
struct ParallelRound {
  const char* what;
  std::size_t prefixes;
  std::size_t directories;
};

struct ParallelOutcome {
  int runs = 0;
  int failed_runs = 0;
  int increments_lost = 0;  // over both lines of every component
};

// Starts `runs` runs at once from a version file with every build at 0, waits for them all and
// checks the version file and the directories they leave.
ParallelOutcome run_in_parallel(const ParallelRound& round, int runs,
                                const std::vector<std::string>& environment = {}) {
  std::vector<fs::path> directories;
  for (std::size_t i = 0; i < round.directories; ++i) {
    directories.push_back(fresh_working_directory("dir" + std::to_string(i)));
  }
  write_version_file(parallel_version_file({}));
  ParallelOutcome outcome;
  Builds expected{};
  std::vector<RunningChild> children;
  for (int i = 0; i < runs; ++i) {
    const std::size_t component = static_cast<std::size_t>(i) % round.prefixes;
    const fs::path& directory = directories[static_cast<std::size_t>(i) % round.directories];
    ChildOptions options = scratch_options(directory, {kParallelPrefixes[component]});
    options.environment = environment;
    RunningChild child = start_child(options);
    if (child.process == -1) {
      ADD_FAILURE() << "cannot start run " << i;
      continue;
    }
    children.push_back(child);
    ++expected[component];
  }
  ChildResult first_failure;
  for (RunningChild& child : children) {
    const ChildResult result = wait_child(child);
    ++outcome.runs;
    if (result.exit_status != 0 || !result.output.empty()) {
      if (outcome.failed_runs == 0) {
        first_failure = result;
      }
      ++outcome.failed_runs;
    }
  }
  EXPECT_EQ(outcome.failed_runs, 0)
      << "runs failed, the first with status " << first_failure.exit_status << " and output \""
      << first_failure.output << "\"";
  const std::string text = read_version_file().value_or("");
  for (std::size_t i = 0; i < kParallelPrefixes.size(); ++i) {
    const std::string prefix = std::string("#define ") + kParallelPrefixes[i];
    outcome.increments_lost += expected[i] - build_on_line(text, prefix + "_VERSION ", ',');
    outcome.increments_lost += expected[i] - build_on_line(text, prefix + "_STRING_VERSION ", '.');
  }
  EXPECT_EQ(outcome.increments_lost, 0)
      << outcome.increments_lost << " increments lost of " << 2 * outcome.runs;
  EXPECT_EQ(text, parallel_version_file(expected));
  for (const fs::path& directory : directories) {
    EXPECT_FALSE(temp_file_exists(directory)) << directory;
  }
  EXPECT_EQ(names_beside_version_file(), std::vector<std::string>{});
  return outcome;
}

TEST_F(Robustness, ParallelRunsEachAdvanceTheirBuildExactlyOnce) {
  static constexpr int kRunsPerRound = 50;
  static constexpr int kRepeats = 2;
  const ParallelRound rounds[] = {{"one component, one directory", 1, 1},
                                  {"three components, one directory", 3, 1},
                                  {"one component, five directories", 1, 5},
                                  {"three components, five directories", 3, 5}};
  ParallelOutcome total;
  for (int repeat = 0; repeat < kRepeats; ++repeat) {
    for (const ParallelRound& round : rounds) {
      SCOPED_TRACE(round.what);
      const ParallelOutcome outcome = run_in_parallel(round, kRunsPerRound);
      total.runs += outcome.runs;
      total.failed_runs += outcome.failed_runs;
      total.increments_lost += outcome.increments_lost;
    }
  }
  std::printf("parallel runs: %d in rounds of %d, failed: %d, increments lost: %d\n", total.runs,
              kRunsPerRound, total.failed_runs, total.increments_lost);
}

TEST_F(Robustness, RunsForAnotherVersionFileInTheSameDirectoryLeaveEachFileItsOwn) {
  // Both builds put "$$TEMP.TMP" in one directory, but each locks only its own version file.
  static constexpr int kRunsEach = 15;
  static constexpr int kRounds = 2;
  const fs::path other_file = fs::path(BUMPBUILD_SCRATCH_ROOT) / "other" / "version.h";
  std::error_code error;
  fs::remove_all(other_file.parent_path(), error);
  fs::create_directories(other_file.parent_path(), error);
  ASSERT_FALSE(error) << error.message();
  write_file_bytes(other_file, header_at("XYZ", 0));
  write_version_file(header_at("ABC", 0));
  const fs::path directory = fresh_working_directory();
  for (int round = 1; round <= kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<RunningChild> children;
    for (int run = 0; run < kRunsEach; ++run) {
      children.push_back(start_child(scratch_options(directory, {"ABC"})));
      ChildOptions other = scratch_options(directory, {"XYZ"});
      other.program = BUMPBUILD_OTHER_SCRATCH_PROGRAM;
      children.push_back(start_child(other));
    }
    int failed = 0;
    for (RunningChild& child : children) {
      const ChildResult result = wait_child(child);
      failed += result.exit_status == 0 && result.output.empty() ? 0 : 1;
      EXPECT_EQ(result.exit_status, 0);
      EXPECT_EQ(result.output, "");
    }
    EXPECT_EQ(failed, 0) << "of " << children.size() << " runs";
    EXPECT_EQ(read_version_file(), header_at("ABC", round * kRunsEach));
    EXPECT_EQ(read_file_bytes(other_file), header_at("XYZ", round * kRunsEach));
    EXPECT_FALSE(temp_file_exists(directory));
  }
}

TEST_F(Robustness, ParallelRunsUnderNetworkLockRulesEachAdvanceTheirBuildExactlyOnce) {
  if (const std::optional<std::string> reason = network_shim_missing()) {
    GTEST_SKIP() << *reason;
  }
  static constexpr int kRuns = 40;
  for (const char* rule : {"nfs", "cifs"}) {
    SCOPED_TRACE(rule);
    const fs::path log = fresh_working_directory(std::string(rule) + "-log") / "shim.log";
    const ParallelOutcome outcome = run_in_parallel({"three components, five directories", 3, 5},
                                                    kRuns, network_rule(rule, log));
    EXPECT_GE(logged(log, "flock"), kRuns) << "the shim saw fewer locks than runs";
    std::printf("%s: %d runs, failed: %d, increments lost: %d\n", rule, outcome.runs,
                outcome.failed_runs, outcome.increments_lost);
  }
}

TEST_F(Robustness, RenameThatReportsFailureButTookPlaceCountsAsDone) {
  if (const std::optional<std::string> reason = network_shim_missing()) {
    GTEST_SKIP() << *reason;
  }
  // The copy is renamed from the current directory, or from beside the version file when the
  // current directory lies on another file system.
  for (const bool other_file_system : {false, true}) {
    SCOPED_TRACE(other_file_system ? "current directory on another file system"
                                   : "one file system");
    ChildOptions options = scratch_options(fresh_working_directory(), {"ABC"});
    const fs::path log = fresh_working_directory("log") / "shim.log";
    options.environment = network_rule("rename-fails", log);
    options.tmpfs_working_directory = other_file_system;
    if (const std::optional<std::string> reason = unsupported_reason(options)) {
      GTEST_SKIP() << *reason;
    }
    write_version_file(small_version_file(41));
    const ChildResult result = run_child(options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(read_version_file(), small_version_file(42));
    EXPECT_FALSE(temp_file_exists(options.working_directory));
    EXPECT_EQ(names_beside_version_file(), std::vector<std::string>{});
    EXPECT_GE(logged(log, "rename reported as failed"), 1) << "the shim did not see the rename";
  }
}

TEST_F(Robustness, RenameThatTakesTheVersionFileAwayNeverLeavesItMissing) {
  if (const std::optional<std::string> reason = network_shim_missing()) {
    GTEST_SKIP() << *reason;
  }
  // The rename is tried once more; where that fails too, the next run puts the kept copy in place.
  for (const bool server_stays_away : {false, true}) {
    SCOPED_TRACE(server_stays_away ? "every rename onto the version file fails" : "one fails");
    empty_version_directory();
    write_version_file(small_version_file(41));
    ChildOptions options = scratch_options(fresh_working_directory(), {"ABC"});
    const fs::path log = fresh_working_directory("log") / "shim.log";
    options.environment =
        network_rule(server_stays_away ? "rename-loses-target" : "rename-deletes-target", log);
    const ChildResult result = run_child(options);
    EXPECT_GE(logged(log, "rename reported as failed"), 1) << "the shim did not see the rename";
    if (server_stays_away) {
      EXPECT_EQ(result.exit_status, 1);
      EXPECT_EQ(result.output, "Can't replace version file");
      EXPECT_EQ(read_file_bytes(scratch_version_file().string() + ".bumpbuild-saved"),
                small_version_file(42));
      const ChildResult next = run_scratch(fresh_working_directory("next"), {"ABC"});
      EXPECT_EQ(next.exit_status, 0);
    } else {
      EXPECT_EQ(result.exit_status, 0);
      EXPECT_EQ(result.output, "");
    }
    EXPECT_EQ(read_version_file(), small_version_file(server_stays_away ? 43 : 42));
    EXPECT_EQ(names_beside_version_file(), std::vector<std::string>{});
  }
}

TEST_F(Robustness, LinkAtTheVersionPathIsFollowed) {
  // The link's target lies in another directory: it is bumped, locked and replaced there.
  const fs::path target = scratch_version_file().parent_path() / "real" / "version.h";
  std::error_code error;
  fs::create_directories(target.parent_path(), error);
  ASSERT_FALSE(error) << error.message();
  write_file_bytes(target, small_version_file(41));
  fs::create_symlink("real/version.h", scratch_version_file(), error);
  if (error) {
    GTEST_SKIP() << "cannot create a symbolic link here: " << error.message();
  }
  const fs::path directory = fresh_working_directory();
  // The second run bumps the target again: the link is still there to follow.
  for (int build = 42; build <= 43; ++build) {
    SCOPED_TRACE("run to build " + std::to_string(build));
    const ChildResult result = run_scratch(directory, {"ABC"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(read_file_bytes(target), small_version_file(build));
    EXPECT_EQ(fs::read_symlink(scratch_version_file(), error), "real/version.h");
    EXPECT_TRUE(fs::is_regular_file(target.parent_path() / kCompanionName));
    EXPECT_EQ(names_beside_version_file(target), std::vector<std::string>{});
    EXPECT_EQ(names_beside_version_file(), std::vector<std::string>{"real"});
    EXPECT_FALSE(fs::exists(scratch_version_file().parent_path() / kCompanionName));
    EXPECT_FALSE(temp_file_exists(directory));
  }
}

struct KillTally {
  int kills = 0;
  int killed_while_running = 0;  // the others had ended by themselves before the kill
  int ended_old = 0;
  int ended_new = 0;
  int damaged = 0;
  int most_copies = 0;  // the most files seen at once beside the version file after a kill
};

// Starts a run with `options` and kills it after a random delay, `kills` times, checking after
// each that the version file holds either the large file at the current build or at the next.
// The delays spread over the whole length of a run: up to 1.2 times the longest of a few runs
// that are left to finish. `build` is the large file's current build, in its LF form.
KillTally kill_runs_repeatedly(const ChildOptions& options, int kills, int build) {
  static constexpr int kMeasuredRuns = 3;
  KillTally tally;
  std::chrono::microseconds run_length{0};
  for (int run = 0; run < kMeasuredRuns; ++run) {
    const auto started = std::chrono::steady_clock::now();
    const ChildResult result = run_child(options);
    run_length = std::max(run_length, std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - started));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, "");
    ++build;
  }
  std::string old_text = large_version_file(build);
  std::string new_text = large_version_file(build + 1);
  if (read_version_file() != old_text) {
    ADD_FAILURE() << "the runs left to finish did not rewrite the file";
    return tally;
  }
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<std::int64_t> delays(0, run_length.count() * 6 / 5);
  for (; tally.kills < kills; ++tally.kills) {
    RunningChild child = start_child(options);
    if (child.process == -1) {
      ADD_FAILURE() << "cannot start a run";
      break;
    }
    const std::int64_t delay = delays(random);
    std::this_thread::sleep_for(std::chrono::microseconds(delay));
    kill_child(child);
    const ChildResult result = wait_child(child);
    const std::optional<std::string> text = read_version_file();
    if (text == old_text && result.exit_status == -1) {
      ++tally.ended_old;
    } else if (text == new_text) {
      ++tally.ended_new;
      ++build;
      old_text.swap(new_text);
      new_text = large_version_file(build + 1);
    } else {
      ++tally.damaged;
      ADD_FAILURE() << "kill " << tally.kills << " after " << delay << " us: the run ended with "
                    << result.exit_status << " \"" << result.output << "\" and left the version "
                    << "file "
                    << (text ? "with " + std::to_string(text->size()) + " bytes" : "missing")
                    << ", neither build " << build << " nor " << build + 1;
      break;
    }
    tally.killed_while_running += result.exit_status == -1 ? 1 : 0;
    if (result.exit_status != -1) {
      EXPECT_EQ(result.exit_status, 0);
      EXPECT_EQ(result.output, "");
    }
    // A killed run may leave its copy beside the version file, which the next run removes or
    // reuses: never more than that one file.
    const std::vector<std::string> beside = names_beside_version_file();
    tally.most_copies = std::max(tally.most_copies, static_cast<int>(beside.size()));
    for (const std::string& name : beside) {
      EXPECT_EQ(result.exit_status, -1) << name << " left by a run that was not killed";
      EXPECT_EQ(name, "version.h.bumpbuild-new") << name << " left beside the version file";
    }
  }
  const ChildResult last = run_child(options);
  EXPECT_EQ(last.exit_status, 0);
  EXPECT_EQ(read_version_file(), new_text) << "a run after the kills";
  EXPECT_EQ(names_beside_version_file(), std::vector<std::string>{}) << "after a run to its end";
  std::printf(
      "run length up to %lld us; kills tried: %d (%d while running), files damaged: %d, old: %d, "
      "new: %d, most files beside the version file at once: %d\n",
      static_cast<long long>(run_length.count()), tally.kills, tally.killed_while_running,
      tally.damaged, tally.ended_old, tally.ended_new, tally.most_copies);
  return tally;
}

TEST_F(Robustness, KilledRunLeavesOldOrNewVersionFile) {
  write_version_file(large_version_file(100, "\n"));
  const KillTally tally =
      kill_runs_repeatedly(scratch_options(fresh_working_directory(), {"ABC"}), 150, 100);
  EXPECT_EQ(tally.damaged, 0);
  EXPECT_EQ(tally.most_copies, 0) << "a copy beside the version file without another file system";
}

TEST_F(Robustness, KilledRunOnAnotherFileSystemLeavesOldOrNewVersionFile) {
  ChildOptions options = scratch_options(fresh_working_directory(), {"ABC"});
  options.tmpfs_working_directory = true;
  if (const std::optional<std::string> reason = unsupported_reason(options)) {
    GTEST_SKIP() << *reason;
  }
  write_version_file(large_version_file(100, "\n"));
  const KillTally tally = kill_runs_repeatedly(options, 60, 100);
  EXPECT_EQ(tally.damaged, 0);
  EXPECT_LE(tally.most_copies, 1);
}

TEST_F(Robustness, CopyThatAKilledRunLeftBesideTheVersionFileIsGoneAfterARunThatRenames) {
  write_version_file(small_version_file(41));
  const fs::path leftover = scratch_version_file().string() + ".bumpbuild-new";
  write_file_bytes(leftover, large_version_file(7));
  // Read-only, as a run killed after giving it the version file's attributes leaves it (Windows).
  fs::permissions(leftover,
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const ChildResult result = run_scratch(fresh_working_directory(), {"ABC"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_version_file(), small_version_file(42));
  EXPECT_EQ(names_beside_version_file(), std::vector<std::string>{});
}

}  // namespace
