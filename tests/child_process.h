// Runs the built command as a child process, the way a build script does, and collects what a
// caller can observe: the exit status and the bytes written to standard output. One source file
// implements it per platform.
#ifndef BUMPBUILD_TESTS_CHILD_PROCESS_H_
#define BUMPBUILD_TESTS_CHILD_PROCESS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ChildOptions {
  std::string program;                 // path of the executable
  std::vector<std::string> arguments;  // the arguments after the program name
  std::string working_directory;
  // POSIX: files may grow to this many bytes (RLIMIT_FSIZE, SIGXFSZ ignored, so a write beyond
  // fails with EFBIG instead of killing the child). 0 means no limit.
  std::uint64_t file_size_limit = 0;
  // POSIX, root: the child runs in a private mount namespace with a fresh tmpfs mounted over
  // working_directory, so its current directory lies on another file system.
  bool tmpfs_working_directory = false;
  // POSIX, root: the child runs in a private mount namespace in which this directory is a
  // read-only bind mount of itself. Empty means none.
  std::string read_only_directory;
};

struct ChildResult {
  int exit_status = -1;  // the exit code, or -1 when the child did not exit by itself
  std::string output;    // everything the child wrote to standard output
};

// Returns why `options` cannot be honoured on this machine (for a test to skip with), or nothing
// when they can.
std::optional<std::string> unsupported_reason(const ChildOptions& options);

// A started child whose standard output goes to a pipe.
struct RunningChild {
  std::intptr_t process = -1;
  std::intptr_t output = -1;
};

// Starts the child. Returns a RunningChild whose `process` is -1 when it could not be started.
RunningChild start_child(const ChildOptions& options);

// Kills the child at once (SIGKILL, TerminateProcess); it gets no chance to clean up.
void kill_child(const RunningChild& child);

// Waits for the child to end, collects its output and releases it.
ChildResult wait_child(RunningChild& child);

// Starts the child and waits for it.
ChildResult run_child(const ChildOptions& options);

#endif  // BUMPBUILD_TESTS_CHILD_PROCESS_H_
