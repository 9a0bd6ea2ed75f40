// POSIX children: fork and exec, with the mount namespace and resource limit set up in the child
// between the two.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "tests/child_process.h"

namespace {

bool needs_mount_namespace(const ChildOptions& options) {
  return options.tmpfs_working_directory || !options.read_only_directory.empty();
}

// Runs in the forked child: any failure ends it with status 127 and a line on standard error.
[[noreturn]] void fail_in_child(const char* what) {
  std::perror(what);
  _exit(127);
}

void set_up_mounts(const ChildOptions& options) {
  if (::unshare(CLONE_NEWNS) != 0) {
    fail_in_child("unshare");
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    fail_in_child("mount private");
  }
  if (options.tmpfs_working_directory &&
      ::mount("tmpfs", options.working_directory.c_str(), "tmpfs", 0, "size=64m") != 0) {
    fail_in_child("mount tmpfs");
  }
  if (!options.read_only_directory.empty()) {
    const char* directory = options.read_only_directory.c_str();
    if (::mount(directory, directory, nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, directory, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      fail_in_child("mount read-only");
    }
  }
}

// The argument vector for execv, built before the fork: a child forked from a threaded process
// must not allocate.
std::vector<char*> argument_vector(const ChildOptions& options) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(options.program.c_str()));
  for (const std::string& argument : options.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

[[noreturn]] void exec_child(const ChildOptions& options, char* const* argv, int output) {
  if (needs_mount_namespace(options)) {
    set_up_mounts(options);
  }
  if (::chdir(options.working_directory.c_str()) != 0) {
    fail_in_child("chdir");
  }
  if (options.file_size_limit != 0) {
    (void)std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      fail_in_child("setrlimit");
    }
  }
  if (::dup2(output, STDOUT_FILENO) < 0) {
    fail_in_child("dup2");
  }
  ::execv(options.program.c_str(), argv);
  fail_in_child("execv");
}

int wait_for(pid_t pid) {
  int status = 0;
  pid_t waited = -1;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::optional<std::string> unsupported_reason(const ChildOptions& options) {
  if (!needs_mount_namespace(options)) {
    return std::nullopt;
  }
  if (::geteuid() != 0) {
    return "needs root for a private mount namespace";
  }
  const pid_t probe = ::fork();
  if (probe == 0) {
    _exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
  }
  if (probe < 0 || wait_for(probe) != 0) {
    return "this machine does not allow a private mount namespace";
  }
  return std::nullopt;
}

RunningChild start_child(const ChildOptions& options) {
  const std::vector<char*> argv = argument_vector(options);
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    exec_child(options, argv.data(), pipe_ends[1]);
  }
  ::close(pipe_ends[1]);
  if (pid < 0) {
    ::close(pipe_ends[0]);
    return {};
  }
  return {pid, pipe_ends[0]};
}

void kill_child(const RunningChild& child) {
  if (child.process > 0) {
    ::kill(static_cast<pid_t>(child.process), SIGKILL);
  }
}

ChildResult wait_child(RunningChild& child) {
  ChildResult result;
  if (child.process <= 0) {
    return result;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(static_cast<int>(child.output), buffer, sizeof buffer);
    if (count > 0) {
      result.output.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(static_cast<int>(child.output));
  result.exit_status = wait_for(static_cast<pid_t>(child.process));
  child = {};
  return result;
}

ChildResult run_child(const ChildOptions& options) {
  RunningChild child = start_child(options);
  return wait_child(child);
}
