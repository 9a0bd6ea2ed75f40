// POSIX implementation of the process seam: posix_spawn, and a wait that polls.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace {

// The variable name of a "NAME=VALUE" entry, with its "=".
std::string_view variable_of(std::string_view entry) {
  const std::size_t equals = entry.find('=');
  return entry.substr(0, equals == std::string_view::npos ? entry.size() : equals + 1);
}

// This process's environment with `overrides` in place of the variables they name.
std::vector<std::string> merged_environment(const std::vector<std::string>& overrides) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable = variable_of(*entry);
    if (std::none_of(overrides.begin(), overrides.end(), [&](const std::string& override) {
          return variable_of(override) == variable;
        })) {
      merged.emplace_back(*entry);
    }
  }
  merged.insert(merged.end(), overrides.begin(), overrides.end());
  return merged;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& string : strings) {
    pointers.push_back(string.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// The file that runs for `program`: itself when it names a path, else the first executable file of
// that name in this process's PATH; empty when there is none. Looked up here rather than by
// posix_spawnp, which under an emulator (qemu-user) may start a child that cannot exec instead of
// failing.
std::string program_path(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    return program;
  }
  const char* path = std::getenv("PATH");
  std::string_view directories = path != nullptr ? path : "/usr/bin:/bin";
  for (;;) {
    const std::size_t colon = directories.find(':');
    const std::string_view directory = directories.substr(0, colon);
    std::string candidate = std::string(directory.empty() ? "." : directory) + "/" + program;
    struct stat status {};
    if (::stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) {
      return {};
    }
    directories.remove_prefix(colon + 1);
  }
}

// Makes `file` the child's descriptor `standard`, or opens the null device there.
int give_stream(posix_spawn_file_actions_t* actions, FileHandle file, int standard) {
  if (file == kNoFile) {
    return ::posix_spawn_file_actions_addopen(actions, standard, "/dev/null",
                                              standard == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  return ::posix_spawn_file_actions_adddup2(actions, static_cast<int>(file), standard);
}

// The process groups of the children not yet waited for, for the signal handler to kill.
constexpr int kGroupSlots = 16;
std::atomic<pid_t> running_groups[kGroupSlots];

void note_group(pid_t group) {
  for (std::atomic<pid_t>& slot : running_groups) {
    pid_t none = 0;
    if (slot.compare_exchange_strong(none, group)) {
      return;
    }
  }
}

void forget_group(pid_t group) {
  for (std::atomic<pid_t>& slot : running_groups) {
    pid_t noted = group;
    if (slot.compare_exchange_strong(noted, 0)) {
      return;
    }
  }
}

extern "C" void end_children_and_this_process(int signal_number) {
  for (const std::atomic<pid_t>& slot : running_groups) {
    const pid_t group = slot.load();
    if (group > 0) {
      (void)::kill(-group, SIGKILL);
    }
  }
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);
}

// Blocks SIGTERM and SIGINT while it lives, so that no child is started and not yet noted when
// the handler runs.
class TerminationBlock {
 public:
  TerminationBlock() {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    (void)::sigprocmask(SIG_BLOCK, &blocked, &previous_);
  }
  TerminationBlock(const TerminationBlock&) = delete;
  TerminationBlock& operator=(const TerminationBlock&) = delete;
  ~TerminationBlock() { (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_{};
};

}  // namespace

void end_children_with_this_process() {
  struct sigaction action {};
  action.sa_handler = end_children_and_this_process;
  sigemptyset(&action.sa_mask);
  (void)::sigaction(SIGTERM, &action, nullptr);
  (void)::sigaction(SIGINT, &action, nullptr);
}

bool ChildProcess::start(const ProcessOptions& options) {
  std::vector<std::string> argument_copies = options.arguments;
  std::vector<std::string> environment_entries = merged_environment(options.environment);
  const std::vector<char*> argument_pointers = pointers_to(argument_copies);
  const std::vector<char*> environment_pointers = pointers_to(environment_entries);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attributes);
  // The child leads a group of its own, so that a kill reaches whatever it starts too; it gets
  // the signals this process ignores (prepare_process) back at their defaults.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigset_t none;
  sigemptyset(&none);
  int failed = ::posix_spawnattr_setflags(
      &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  failed |= ::posix_spawnattr_setpgroup(&attributes, 0);
  failed |= ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  failed |= ::posix_spawnattr_setsigmask(&attributes, &none);
  failed |= give_stream(&actions, options.input, 0);
  failed |= give_stream(&actions, options.output, 1);
  failed |= give_stream(&actions, options.errors, 2);
  const TerminationBlock block;
  pid_t pid = -1;
  const std::string program = options.arguments.empty() ? "" : program_path(options.arguments[0]);
  if (failed != 0 || program.empty() ||
      ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argument_pointers.data(),
                    environment_pointers.data()) != 0) {
    pid = -1;
  }
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  if (pid > 0) {
    note_group(pid);
  }
  process_ = pid;
  group_ = pid;
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeout_ms);
  watched_[0] = options.output;
  watched_[1] = options.errors;
  silence_ = std::chrono::milliseconds(options.silence_ms);
  last_heard_ = std::chrono::steady_clock::now();
  return pid > 0;
}

bool ChildProcess::silent_too_long() {
  if (silence_.count() <= 0) {
    return false;
  }
  const auto now = std::chrono::steady_clock::now();
  for (int stream = 0; stream < 2; ++stream) {
    struct stat status {};
    if (watched_[stream] != kNoFile && ::fstat(static_cast<int>(watched_[stream]), &status) == 0 &&
        status.st_size != watched_sizes_[stream]) {
      watched_sizes_[stream] = status.st_size;
      last_heard_ = now;
    }
  }
  return now - last_heard_ >= silence_;
}

// Polls: a pause that grows from a tenth of a millisecond keeps quick children quick without
// spinning on slow ones, and needs no signal handler.
int ChildProcess::wait() {
  if (process_ < 0) {
    return kProcessKilled;
  }
  const auto pid = static_cast<pid_t>(process_);
  long pause_ns = 100'000;
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) {
      forget_group(pid);
      process_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : kProcessKilled;
    }
    if (ended < 0 && errno != EINTR) {
      forget_group(pid);
      process_ = -1;
      return kProcessKilled;
    }
    if (std::chrono::steady_clock::now() >= deadline_) {
      kill_and_release();
      return kProcessTimedOut;
    }
    if (silent_too_long()) {
      kill_and_release();
      return kProcessSilent;
    }
    const timespec pause{0, pause_ns};
    (void)::nanosleep(&pause, nullptr);
    pause_ns = std::min(pause_ns * 2, 1'000'000L);
  }
}

void ChildProcess::kill_and_release() {
  (void)::kill(-static_cast<pid_t>(group_), SIGKILL);
  int status = 0;
  while (::waitpid(static_cast<pid_t>(process_), &status, 0) < 0 && errno == EINTR) {
  }
  forget_group(static_cast<pid_t>(group_));
  process_ = -1;
}

ChildProcess::~ChildProcess() {
  if (process_ >= 0) {
    kill_and_release();
  }
}
