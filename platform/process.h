// One child process: started from a list of arguments, never through a shell, and owned until it
// has ended (the shape of ninja's subprocess.h and git's run-command.h). One source implements it
// per platform (process_posix.cpp, process_win32.cpp).
#ifndef BUMPBUILD_PLATFORM_PROCESS_H_
#define BUMPBUILD_PLATFORM_PROCESS_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"

// What a child is started with.
struct ProcessOptions {
  // The program, found on the PATH, then its arguments: the child gets them exactly as given.
  std::vector<std::string> arguments;
  // "NAME=VALUE" entries the child sees in place of this process's own (an empty VALUE sets the
  // variable empty); the rest of this process's environment is passed on as it stands.
  std::vector<std::string> environment;
  // Its standard streams; kNoFile stands for the null device.
  FileHandle input = kNoFile;
  FileHandle output = kNoFile;
  FileHandle errors = kNoFile;
  // How long it may run, from its start, before it is killed with everything it started.
  std::int64_t timeout_ms = 0;
  // How long it may go without ending and without anything new in `output` or `errors` (files,
  // whose sizes the wait watches) before it is killed with everything it started; 0: no bound.
  std::int64_t silence_ms = 0;
};

// What ChildProcess::wait reports besides an exit status (0 to 255).
inline constexpr int kProcessKilled = -1;    // ended by a signal (POSIX), or not to be waited for
inline constexpr int kProcessTimedOut = -2;  // still running at its timeout: killed
inline constexpr int kProcessSilent = -3;    // silent for its silence bound: killed

// A child and everything it starts (POSIX: the process group it leads, its signal dispositions at
// their defaults; Windows: a job object). Until wait() has returned, the child is this object's:
// one never waited for is killed with all it started, and reaped, when the object goes.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Starts the child that `options` describe; call it once. No other file of this process is
  // passed on (POSIX: of those opened close-on-exec, as this layer opens them). Returns false when
  // the child cannot be started (no such program): then nothing runs.
  bool start(const ProcessOptions& options);

  // Waits until the child has ended, at most until its timeout or its silence bound, and releases
  // it. Returns its exit status; kProcessKilled when a signal ended it or there is no child;
  // kProcessTimedOut or kProcessSilent when it was still running at its timeout or silent for
  // its silence bound: it and everything it started have been killed.
  int wait();

 private:
  // Kills the child with everything it started, waits until it has ended, and releases it.
  void kill_and_release();

  std::intptr_t process_ = -1;  // POSIX: the process id; Windows: the process handle
  std::intptr_t group_ = -1;    // POSIX: its process group; Windows: its job object, or 0
  std::chrono::steady_clock::time_point deadline_;
  // The silence bound: the files watched, their sizes when last looked at, and when they last grew.
  FileHandle watched_[2] = {kNoFile, kNoFile};
  std::int64_t watched_sizes_[2] = {0, 0};
  std::chrono::milliseconds silence_{0};
  std::chrono::steady_clock::time_point last_heard_;

  // True when the child has written nothing for its silence bound; notes what it wrote.
  bool silent_too_long();
};

// From now on, SIGTERM and SIGINT (as a CI job's cancel and Ctrl-C send them) kill the children
// not yet waited for, with all they started, before they end this process as they would have.
// On Windows nothing needs doing: each child's job object ends with this process's handles.
void end_children_with_this_process();

// The command line that CreateProcessW takes for `arguments`: each quoted so that
// CommandLineToArgvW and the C runtime give it back as it stands (quoted when it holds white space
// or a quote or is empty, a quote written as \", the backslashes before a quote, also the closing
// one, doubled). Defined on every platform, so that it is tested everywhere.
std::wstring windows_command_line(const std::vector<std::wstring>& arguments);

#endif  // BUMPBUILD_PLATFORM_PROCESS_H_
