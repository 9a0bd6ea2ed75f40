// A run that waited for the lock while its companion file was deleted and made anew, or while the
// link at the version path came to name another file, must lock the companion that counts now
// before it reads the version file. The test plays the other runs itself: it holds the lock the
// way a run does (flock on "version.h.lock", open for writing), changes the files, and reads
// /proc/locks to see which file the waiting run is blocked on, so the order of events is fixed
// without any timing.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "tests/child_process.h"
#include "tests/scratch_files.h"

namespace fs = std::filesystem;

namespace {

std::string version_file_at(int build) {
  const std::string number = std::to_string(build);
  return "#define ABC_VERSION 2,0,0," + number + "\r\n#define ABC_STRING_VERSION \"2.0.0." +
         number + "\"\r\n";
}

fs::path companion_file() {
  return scratch_version_file().string() + ".lock";
}

// The exclusive lock a run takes on the version file's companion, held by the test until
// release().
class HeldLock {
 public:
  explicit HeldLock(const fs::path& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    int locked = -1;
    while (fd_ >= 0 && (locked = ::flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
      release();
    }
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() { release(); }

  [[nodiscard]] bool held() const { return fd_ >= 0; }

  void release() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = -1;
  }

  // The locked file as /proc/locks names it: major and minor device number in hex, then the inode.
  [[nodiscard]] std::string file_id() const {
    struct stat status {};
    if (fd_ < 0 || ::fstat(fd_, &status) != 0) {
      return "?";
    }
    char id[64];
    // major and minor are macros in some C libraries (musl): not qualified.
    (void)std::snprintf(id, sizeof id, "%02x:%02x:%llu", major(status.st_dev), minor(status.st_dev),
                        static_cast<unsigned long long>(status.st_ino));
    return id;
  }

 private:
  int fd_;
};

// Whether /proc/locks lists `child` as blocked on an flock of the file `file_id`: a line like
// "1: -> FLOCK  ADVISORY  WRITE <pid> <file_id> 0 EOF".
bool blocked_on(const RunningChild& child, const std::string& file_id) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number;
    std::string arrow;
    std::string kind;
    std::string advisory;
    std::string mode;
    std::string pid;
    std::string file;
    fields >> number >> arrow >> kind >> advisory >> mode >> pid >> file;
    if (arrow == "->" && kind == "FLOCK" && pid == std::to_string(child.process) &&
        file == file_id) {
      return true;
    }
  }
  return false;
}

// Whether `child` has ended; it stays unreaped for wait_child.
bool has_ended(const RunningChild& child) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(child.process), &info, WEXITED | WNOHANG | WNOWAIT) ==
             0 &&
         info.si_pid != 0;
}

// Waits until `child` blocks on the lock of the file `file_id` (true) or ends (false).
bool waits_for_lock(const RunningChild& child, const std::string& file_id) {
  while (!blocked_on(child, file_id)) {
    if (has_ended(child)) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Replaces the version file the way a run does: a new file renamed over it.
void replace_version_file(const std::string& bytes) {
  const fs::path replacement = scratch_version_file().parent_path() / "version.h.new";
  write_file_bytes(replacement, bytes);
  std::error_code error;
  fs::rename(replacement, scratch_version_file(), error);
  ASSERT_FALSE(error) << error.message();
}

// Starts a run while the test holds the lock at `first`, calls `move` while the run waits, takes
// the lock at `second` and only then lets go of the first: the run must wait for the second holder,
// not go ahead on the first lock. `while_second_held` changes the file the run is to read after
// that lock. Returns how the run ended.
ChildResult run_through_handover(const fs::path& first, const std::function<void()>& move,
                                 const fs::path& second,
                                 const std::function<void()>& while_second_held) {
  HeldLock first_holder(first);
  EXPECT_TRUE(first_holder.held());
  RunningChild child = start_child(scratch_options(fresh_working_directory(), {"ABC"}));
  if (child.process == -1) {
    ADD_FAILURE() << "cannot start a run";
    return {};
  }
  EXPECT_TRUE(waits_for_lock(child, first_holder.file_id())) << "the run did not wait";
  move();
  HeldLock second_holder(second);
  EXPECT_TRUE(second_holder.held());
  first_holder.release();
  EXPECT_TRUE(waits_for_lock(child, second_holder.file_id()))
      << "the run went ahead while another run held the lock that counts now";
  while_second_held();
  second_holder.release();
  return wait_child(child);
}

TEST(LockHandover, RunThatWaitedThroughAReplacementLocksTheNewFile) {
  // The holder replaces the file and a careless colleague deletes the companion; a third run
  // locks a new companion.
  write_version_file(version_file_at(10));
  std::error_code error;
  fs::remove(companion_file(), error);
  const ChildResult result = run_through_handover(
      companion_file(),
      [] {
        replace_version_file(version_file_at(20));
        std::error_code ignored;
        fs::remove(companion_file(), ignored);
      },
      companion_file(), [] { replace_version_file(version_file_at(30)); });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(read_version_file(), version_file_at(31));
}

// Points the link at the version path to `target` in one step, as a rename does.
void point_version_path_at(const fs::path& target) {
  const fs::path link = scratch_version_file().parent_path() / "version.h.new";
  std::error_code error;
  fs::create_symlink(target, link, error);
  fs::rename(link, scratch_version_file(), error);
  ASSERT_FALSE(error) << error.message();
}

TEST(LockHandover, RunThatWaitedWhileThePathMovedLocksTheFileItNowNames) {
  remove_version_file();
  const fs::path directory = scratch_version_file().parent_path();
  const fs::path first = directory / "first" / "version.h";
  const fs::path second = directory / "second" / "version.h";
  std::error_code error;
  fs::create_directories(first.parent_path(), error);
  fs::create_directories(second.parent_path(), error);
  write_file_bytes(first, version_file_at(10));
  write_file_bytes(second, version_file_at(20));
  point_version_path_at("first/version.h");
  const ChildResult result = run_through_handover(
      first.string() + ".lock", [] { point_version_path_at("second/version.h"); },
      second.string() + ".lock", [&] { write_file_bytes(second, version_file_at(30)); });
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(read_file_bytes(second), version_file_at(31));
  EXPECT_EQ(read_file_bytes(first), version_file_at(10));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(scratch_version_file())));
}

// Starts the scratch build for ABC in `directory` under the shim's `rule`, with `extra` in its
// environment, to be killed if it has not ended after 30 s (three slices of the lock wait).
RunningChild start_under_rule(const fs::path& directory, const std::string& rule,
                              const std::vector<std::string>& extra) {
  ChildOptions options = scratch_options(directory, {"ABC"});
  options.environment = network_rule(rule, fresh_working_directory("log") / "shim.log");
  options.environment.insert(options.environment.end(), extra.begin(), extra.end());
  options.time_limit_seconds = 30;
  return start_child(options);
}

TEST(LockHandover, RunWhoseLockWasLostStartsAgainOnTheFileAnotherRunReplaced) {
  if (const std::optional<std::string> reason = network_shim_missing()) {
    GTEST_SKIP() << *reason;
  }
  write_version_file(version_file_at(41));
  // The run believes it holds the lock and has read 41; another run takes the lock and bumps.
  RunningChild lost = start_under_rule(fresh_working_directory(), "lock-lost",
                                       {std::string("BUMPBUILD_TEST_FS_STOP=") + kTempFileName});
  ASSERT_TRUE(wait_until_stopped(lost)) << "the run ended before writing its temporary file";
  const ChildResult other = run_scratch(fresh_working_directory("other"), {"ABC"});
  EXPECT_EQ(other.exit_status, 0);
  ::kill(static_cast<pid_t>(lost.process), SIGCONT);
  const ChildResult result = wait_child(lost);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(read_version_file(), version_file_at(43)) << "an increment was lost or doubled";
}

TEST(LockHandover, LockThatIsNeverDeliveredOrNeverComesHangsNoBuild) {
  if (const std::optional<std::string> reason = network_shim_missing()) {
    GTEST_SKIP() << *reason;
  }
  // Granted to a first descriptor that never hears of it: a fresh one gets it a slice later.
  write_version_file(version_file_at(41));
  const fs::path directory = fresh_working_directory();
  RunningChild undelivered =
      start_under_rule(directory, "lock-undelivered", {"BUMPBUILD_LOCK_WAIT=0"});
  ChildResult result = wait_child(undelivered);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(read_version_file(), version_file_at(42));
  // Never granted: the run gives up once the wait it was given has passed, long before the time
  // limit, which would kill it while the default wait of ten minutes went on.
  // On a file server the request never blocks: it is repeated until the wait has passed.
  HeldLock holder(companion_file());
  ASSERT_TRUE(holder.held());
  for (const char* server : {"", "smb"}) {
    SCOPED_TRACE(server);
    RunningChild never = start_under_rule(
        directory, "", {"BUMPBUILD_LOCK_WAIT=2", std::string("BUMPBUILD_TEST_FS_TYPE=") + server});
    result = wait_child(never);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, "Can't lock version file");
    EXPECT_EQ(read_version_file(), version_file_at(42));
    EXPECT_FALSE(temp_file_exists(directory));
  }
}

}  // namespace
