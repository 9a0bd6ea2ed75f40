// POSIX children: fork and exec, with the mount namespace, resource limit, user and standard
// output set up in the child between the two. The calls beyond plain POSIX are used where CMake
// found them (child_process_extras.h): HAVE_PIPE2 and HAVE_FEXECVE (Linux, FreeBSD), and
// HAVE_MOUNT_NAMESPACE (Linux); elsewhere pipe with FD_CLOEXEC and execve serve, and a child that
// needs a private mount namespace cannot be started.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "child_process_extras.h"
#include "tests/child_process.h"

#if HAVE_MOUNT_NAMESPACE
#include <sched.h>
#include <sys/mount.h>
#endif

extern char** environ;  // NOLINT(readability-redundant-declaration): unistd.h declares it only for
                        // _GNU_SOURCE

namespace {

bool needs_mount_namespace(const ChildOptions& options) {
  return options.tmpfs_working_directory || !options.read_only_directory.empty();
}

// Runs in the forked child: any failure ends it with status 127 and a line on standard error.
[[noreturn]] void fail_in_child(const char* what) {
  std::perror(what);
  _exit(127);
}

// Enters a private mount namespace and mounts what `options` ask for. Returns nullptr, or the
// name of the step that failed with errno set (ENOSYS where the system has no mount namespaces).
const char* set_up_mounts(const ChildOptions& options) {
#if !HAVE_MOUNT_NAMESPACE
  (void)options;
  errno = ENOSYS;
  return "unshare";
#else
  if (::unshare(CLONE_NEWNS) != 0) {
    return "unshare";
  }
  // Fails with EINVAL in a chroot whose root is not a mount point.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return "mount / private";
  }
  if (options.tmpfs_working_directory &&
      ::mount("tmpfs", options.working_directory.c_str(), "tmpfs", 0, "size=64m") != 0) {
    return "mount tmpfs";
  }
  if (!options.read_only_directory.empty()) {
    const char* directory = options.read_only_directory.c_str();
    if (::mount(directory, directory, nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, directory, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      return "mount read-only";
    }
  }
  return nullptr;
#endif
}

// Makes a pipe whose two ends are closed on exec. Returns false with errno set.
bool make_pipe(int (&ends)[2]) {
#if HAVE_PIPE2
  return ::pipe2(ends, O_CLOEXEC) == 0;
#else
  if (::pipe(ends) != 0) {
    return false;
  }
  if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(ends[1], F_SETFD, FD_CLOEXEC) == 0) {
    return true;
  }
  const int error = errno;
  ::close(ends[0]);
  ::close(ends[1]);
  errno = error;
  return false;
#endif
}

// Runs in the forked child. With fexecve, opens the program the child will start before the user
// changes: that user may run the program, yet not enter the directory that holds it (a build tree
// in root's home); a launcher opens the program itself. Returns the descriptor, and ends the child
// when the program cannot be opened. Without fexecve, returns -1: the program is started by its
// path, which that user must then reach.
int open_program(const char* path) {
#if HAVE_FEXECVE
  const int program = ::open(path, O_RDONLY | O_CLOEXEC);
  if (program < 0) {
    fail_in_child("open program");
  }
  return program;
#else
  (void)path;
  return -1;
#endif
}

// Starts the program: the one `program` holds open, or else the one at argv[0].
[[noreturn]] void execute(int program, char* const* argv, char* const* envp) {
#if HAVE_FEXECVE
  ::fexecve(program, argv, envp);
  fail_in_child("fexecve");
#else
  (void)program;
  ::execve(argv[0], argv, envp);
  fail_in_child("execve");
#endif
}

// The argument vector for the exec, built before the fork: a child forked from a threaded process
// must not allocate.
std::vector<char*> argument_vector(const ChildOptions& options) {
  std::vector<char*> argv;
  for (const std::string& word : options.launcher) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(const_cast<char*>(options.program.c_str()));
  for (const std::string& argument : options.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

// The inherited environment without the names that `options` set, then their entries.
std::vector<char*> environment_vector(const ChildOptions& options) {
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const std::string& added : options.environment) {
      const std::size_t name_end = added.find('=') + 1;
      replaced = replaced || std::strncmp(*entry, added.c_str(), name_end) == 0;
    }
    if (!replaced) {
      envp.push_back(*entry);
    }
  }
  for (const std::string& added : options.environment) {
    envp.push_back(const_cast<char*>(added.c_str()));
  }
  envp.push_back(nullptr);
  return envp;
}

[[noreturn]] void exec_child(const ChildOptions& options, char* const* argv, char* const* envp,
                             int output) {
  if (needs_mount_namespace(options)) {
    if (const char* step = set_up_mounts(options)) {
      fail_in_child(step);
    }
  }
  if (::chdir(options.working_directory.c_str()) != 0) {
    fail_in_child("chdir");
  }
  const int program = open_program(argv[0]);
  // The dispositions a shell gives a command it starts.
  (void)std::signal(SIGPIPE, SIG_DFL);
  (void)std::signal(SIGXFSZ, SIG_DFL);
  if (options.file_size_limit != 0) {
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      fail_in_child("setrlimit");
    }
  }
  if (options.group_id >= 0 &&
      (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(options.group_id)) != 0)) {
    fail_in_child("setgid");
  }
  if (options.user_id >= 0 && ::setuid(static_cast<uid_t>(options.user_id)) != 0) {
    fail_in_child("setuid");
  }
  if (output < 0 ? ::close(STDOUT_FILENO) != 0 : ::dup2(output, STDOUT_FILENO) < 0) {
    fail_in_child("standard output");
  }
  execute(program, argv, envp);
}

// Returns the status waitpid reports for `pid`, or -1.
int wait_for(pid_t pid) {
  int status = 0;
  pid_t waited = -1;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited == pid ? status : -1;
}

std::int64_t now_ms() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds left before `deadline` for poll: -1 (no limit) when it is 0.
int remaining_ms(std::int64_t deadline) {
  return deadline == 0 ? -1 : static_cast<int>(std::max<std::int64_t>(0, deadline - now_ms()));
}

// Waits until the child has ended, unreaped, or its deadline has passed; then kills it.
void end_by_deadline(const RunningChild& child) {
  if (child.deadline == 0) {
    return;
  }
  siginfo_t info{};
  while (remaining_ms(child.deadline) > 0) {
    info.si_pid = 0;
    if (::waitid(P_PID, static_cast<id_t>(child.process), &info, WEXITED | WNOHANG | WNOWAIT) ==
            0 &&
        info.si_pid != 0) {
      return;
    }
    ::usleep(10000);
  }
  kill_child(child);
}

// Why the private mount namespace could not be set up, in words that tell what to do: `step`
// is what set_up_mounts reported, `error` its errno.
std::string mount_failure_reason(const char* step, int error) {
  const std::string what = std::string(step) + ": " + std::strerror(error);
  if (std::strcmp(step, "unshare") == 0 && error == EPERM) {
    return "root may not make a private mount namespace here (" + what +
           "; a container without CAP_SYS_ADMIN): run the tests where root may, such as a "
           "container started with --cap-add SYS_ADMIN, to run this";
  }
  if (std::strcmp(step, "mount / private") == 0 && error == EINVAL) {
    return "the root directory is not a mount point (a chroot; " + what +
           "): run the chroot inside `unshare -m` with its root bind-mounted on itself "
           "(unshare -m sh -c 'mount --rbind DIR DIR && exec chroot DIR ...') to run this";
  }
  return "this machine does not allow the private mount namespace the test needs (" + what + ")";
}

}  // namespace

std::optional<std::string> unsupported_reason(const ChildOptions& options) {
  if ((options.user_id >= 0 || options.group_id >= 0) && ::geteuid() != 0) {
    return "needs root to run the command as another user: run the tests as root to run this";
  }
  if (!needs_mount_namespace(options)) {
    return std::nullopt;
  }
  if (HAVE_MOUNT_NAMESPACE == 0) {
    return "needs a private mount namespace, which only Linux offers";
  }
  if (::geteuid() != 0) {
    return "needs root for a private mount namespace: run the tests as root to run this";
  }
  // A throwaway child does what the child of the test will do; its failure says why.
  int pipe_ends[2];
  if (!make_pipe(pipe_ends)) {
    return "cannot make a pipe";
  }
  const pid_t probe = ::fork();
  if (probe == 0) {
    const char* step = set_up_mounts(options);
    if (step == nullptr) {
      _exit(0);
    }
    const int error = errno;
    (void)!::write(pipe_ends[1], &error, sizeof error);
    (void)!::write(pipe_ends[1], step, std::strlen(step));
    _exit(1);
  }
  ::close(pipe_ends[1]);
  char report[128] = {};
  std::size_t size = 0;
  for (ssize_t count = 1; count != 0 && size < sizeof report - 1;) {
    count = ::read(pipe_ends[0], report + size, sizeof report - 1 - size);
    if (count < 0 && errno != EINTR) {
      break;
    }
    size += count > 0 ? static_cast<std::size_t>(count) : 0;
  }
  ::close(pipe_ends[0]);
  const int status = probe < 0 ? -1 : wait_for(probe);
  if (status == 0) {
    return std::nullopt;
  }
  int error = 0;
  if (size <= sizeof error) {
    return "the mount namespace could not be set up";
  }
  std::memcpy(&error, report, sizeof error);
  return mount_failure_reason(report + sizeof error, error);
}

RunningChild start_child(const ChildOptions& options) {
  const std::vector<char*> argv = argument_vector(options);
  const std::vector<char*> envp = environment_vector(options);
  int pipe_ends[2] = {-1, -1};
  if (options.output != ChildOutput::kClosed && !make_pipe(pipe_ends)) {
    return {};
  }
  if (options.output == ChildOutput::kUnreadPipe) {
    ::close(pipe_ends[0]);  // no reader from the start
    pipe_ends[0] = -1;
  }
  const std::int64_t deadline = options.time_limit_seconds == 0
                                    ? 0
                                    : now_ms() + std::int64_t{options.time_limit_seconds} * 1000;
  const pid_t pid = ::fork();
  if (pid == 0) {
    exec_child(options, argv.data(), envp.data(), pipe_ends[1]);
  }
  if (pipe_ends[1] >= 0) {
    ::close(pipe_ends[1]);
  }
  if (pid < 0) {
    if (pipe_ends[0] >= 0) {
      ::close(pipe_ends[0]);
    }
    return {};
  }
  return {pid, pipe_ends[0], deadline};
}

void kill_child(const RunningChild& child) {
  if (child.process > 0) {
    ::kill(static_cast<pid_t>(child.process), SIGKILL);
  }
}

bool wait_until_stopped(const RunningChild& child) {
  siginfo_t info{};
  int result = 0;
  do {
    result = ::waitid(P_PID, static_cast<id_t>(child.process), &info, WSTOPPED | WEXITED | WNOWAIT);
  } while (result != 0 && errno == EINTR);
  return result == 0 && info.si_code == CLD_STOPPED;
}

ChildResult wait_child(RunningChild& child) {
  ChildResult result;
  if (child.process <= 0) {
    return result;
  }
  const int output = static_cast<int>(child.output);
  char buffer[4096];
  while (output >= 0) {
    pollfd readable{output, POLLIN, 0};
    const int ready = ::poll(&readable, 1, remaining_ms(child.deadline));
    if (ready == 0) {
      kill_child(child);  // then read on to the end of the output
      child.deadline = 0;
      continue;
    }
    const ssize_t count = ready < 0 ? -1 : ::read(output, buffer, sizeof buffer);
    if (count > 0) {
      result.output.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  if (output >= 0) {
    ::close(output);
  }
  end_by_deadline(child);
  const int status = wait_for(static_cast<pid_t>(child.process));
  if (status >= 0 && WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (status >= 0 && WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
  child = {};
  return result;
}

ChildResult run_child(const ChildOptions& options) {
  RunningChild child = start_child(options);
  return wait_child(child);
}
