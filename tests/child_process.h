// Runs the built command as a child process, the way a build script does, and collects what a
// caller can observe: the exit status and the bytes written to standard output. One source file
// implements it per platform.
#ifndef BUMPBUILD_TESTS_CHILD_PROCESS_H_
#define BUMPBUILD_TESTS_CHILD_PROCESS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Where the child's standard output goes.
enum class ChildOutput {
  kCollected,   // a pipe that the caller reads to the end (ChildResult::output)
  kClosed,      // descriptor 1 closed, as `>&-` leaves it
  kUnreadPipe,  // a pipe whose read end is closed: a write fails with EPIPE and raises SIGPIPE
};

struct ChildOptions {
  std::string program;  // path of the executable
  // POSIX: the command that runs `program` when it is built for another processor (qemu-user and
  // its arguments), `program` and the arguments following it. Empty: `program` runs directly.
  std::vector<std::string> launcher;
  std::vector<std::string> arguments;  // the arguments after the program name
  std::string working_directory;
  // "NAME=value" entries added to the environment the child inherits.
  std::vector<std::string> environment;
  // POSIX, root: the child runs as this user and group (no supplementary groups). -1: unchanged.
  long user_id = -1;
  long group_id = -1;
  ChildOutput output = ChildOutput::kCollected;
  // POSIX: files may grow to this many bytes (RLIMIT_FSIZE). SIGXFSZ keeps its default
  // disposition, as in a shell after `ulimit -f`: a write beyond kills a child that does not
  // handle it. 0 means no limit.
  std::uint64_t file_size_limit = 0;
  // POSIX: wait_child kills the child (SIGKILL) when it has not ended this many seconds after it
  // was started. 0 means no limit.
  int time_limit_seconds = 0;
  // POSIX, root: the child runs in a private mount namespace with a fresh tmpfs mounted over
  // working_directory, so its current directory lies on another file system.
  bool tmpfs_working_directory = false;
  // POSIX, root: the child runs in a private mount namespace in which this directory is a
  // read-only bind mount of itself. Empty means none.
  std::string read_only_directory;
};

struct ChildResult {
  int exit_status = -1;  // the exit code, or -1 when the child did not exit by itself
  int term_signal = 0;   // POSIX: the signal that ended the child, or 0
  std::string output;    // everything the child wrote to a collected standard output
};

// Returns why `options` cannot be honoured on this machine (for a test to skip with), or nothing
// when they can.
std::optional<std::string> unsupported_reason(const ChildOptions& options);

// A started child; `output` is the read end of its collected standard output, or -1.
struct RunningChild {
  std::intptr_t process = -1;
  std::intptr_t output = -1;
  std::int64_t deadline = 0;  // POSIX: CLOCK_MONOTONIC milliseconds for time_limit_seconds, or 0
};

// Starts the child. Returns a RunningChild whose `process` is -1 when it could not be started.
RunningChild start_child(const ChildOptions& options);

// Kills the child at once (SIGKILL, TerminateProcess); it gets no chance to clean up.
void kill_child(const RunningChild& child);

// POSIX: waits until the child has stopped (SIGSTOP). Returns false when it ended instead, left
// unreaped for wait_child.
bool wait_until_stopped(const RunningChild& child);

// Waits for the child to end, collects its output and releases it.
ChildResult wait_child(RunningChild& child);

// Starts the child and waits for it.
ChildResult run_child(const ChildOptions& options);

#endif  // BUMPBUILD_TESTS_CHILD_PROCESS_H_
