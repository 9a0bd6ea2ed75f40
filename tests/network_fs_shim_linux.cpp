// Preloaded into the command by the tests (LD_PRELOAD), this library makes every file behave as on
// a network file system; the environment variable BUMPBUILD_TEST_FS names the rule:
//   nfs           flock as the Linux NFS client emulates it with byte-range locks: an exclusive
//                 lock needs a descriptor open for writing, a shared one a descriptor open for
//                 reading; otherwise EBADF.
//   cifs          flock as a mandatory byte-range lock on a CIFS mount: while one open file
//                 description holds it, reading or writing the file through any other descriptor
//                 fails with EACCES, and so does a request that may not wait (not EWOULDBLOCK, as
//                 the Linux client says). The lock is an open-file-description lock (fcntl
//                 F_OFD_*) on the descriptor, so an exclusive one needs a descriptor open for
//                 writing. fstatfs reports an SMB mount.
//   rename-fails  rename does its work, then reports EIO.
//   rename-deletes-target   a rename onto a file that exists deletes that file, then reports EIO
//                 without renaming, as a CIFS client does whose server refuses to replace and
//                 goes away between the two steps; a rename onto a free name works.
//   rename-loses-target     the same, and a rename onto a name ending in "/version.h" always
//                 fails so: the server stays away from the version file.
// Two rules act on the flock of a lock companion (a file whose name ends in ".lock"):
//   lock-lost     the first exclusive flock succeeds without locking anything: a lock lost.
//   lock-undelivered  the first exclusive flock is granted on the file, but never reported: it
//                 waits until a signal interrupts it (EINTR), or fails with EWOULDBLOCK when it is
//                 not to wait, and so does every later request through that descriptor, until it
//                 is closed, which frees the lock.
// With BUMPBUILD_TEST_FS_TYPE=smb, fstatfs reports an SMB mount under any rule.
// When BUMPBUILD_TEST_FS_LOG names a file, a line is appended to it for every flock call
// ("flock"), every rename ("rename FROM") and every rename reported as failed, so that a test can
// see what the command did and the rule at work. When BUMPBUILD_TEST_FS_STOP names a file (its
// last path component), the command stops (SIGSTOP) just before it first writes to a file of that
// name, whatever the rule, so that a test can act at that very moment and then let it go on
// (SIGCONT).
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

enum class Rule {
  kNone,
  kNfs,
  kCifs,
  kRenameFails,
  kRenameDeletesTarget,
  kRenameLosesTarget,
  kLockLost,
  kLockUndelivered
};

Rule rule() {
  static const Rule chosen = [] {
    const char* name = std::getenv("BUMPBUILD_TEST_FS");
    const std::string value = name == nullptr ? "" : name;
    return value == "nfs"                     ? Rule::kNfs
           : value == "cifs"                  ? Rule::kCifs
           : value == "rename-fails"          ? Rule::kRenameFails
           : value == "rename-deletes-target" ? Rule::kRenameDeletesTarget
           : value == "rename-loses-target"   ? Rule::kRenameLosesTarget
           : value == "lock-lost"             ? Rule::kLockLost
           : value == "lock-undelivered"      ? Rule::kLockUndelivered
                                              : Rule::kNone;
  }();
  return chosen;
}

// The next definition of `name` after this library: the C library's.
template <typename Function>
Function* next(const char* name) {
  return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

void log_event(const std::string& event) {
  const char* path = std::getenv("BUMPBUILD_TEST_FS_LOG");
  if (path == nullptr) {
    return;
  }
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) {
    const std::string line = event + "\n";
    (void)!next<ssize_t(int, const void*, size_t)>("write")(fd, line.data(), line.size());
    next<int(int)>("close")(fd);
  }
}

int cifs_flock(int fd, int operation) {
  struct flock range {};
  range.l_whence = SEEK_SET;
  range.l_type = static_cast<decltype(range.l_type)>((operation & LOCK_UN) != 0   ? F_UNLCK
                                                     : (operation & LOCK_EX) != 0 ? F_WRLCK
                                                                                  : F_RDLCK);
  const int command = (operation & LOCK_NB) != 0 ? F_OFD_SETLK : F_OFD_SETLKW;
  int result = -1;
  do {
    result = ::fcntl(fd, command, &range);
  } while (result != 0 && errno == EINTR);
  if (result != 0 && errno == EAGAIN) {
    errno = EACCES;
  }
  return result;
}

// cifs: whether reading (F_RDLCK) or writing (F_WRLCK) the file through `fd` conflicts with a lock
// that another open file description holds; sets EACCES then.
bool io_refused(int fd, short access) {
  struct stat status {};
  if (rule() != Rule::kCifs || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
  struct flock range {};
  range.l_type = access;
  range.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_GETLK, &range) != 0 || range.l_type == F_UNLCK) {
    return false;
  }
  errno = EACCES;
  return true;
}

// The path of the file open at `fd`, or "" when it cannot be told.
std::string path_of(int fd) {
  char path[4096];
  const ssize_t size =
      ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
  return size > 0 ? std::string(path, static_cast<std::size_t>(size)) : "";
}

// Stops the process the first time it is about to write to the file BUMPBUILD_TEST_FS_STOP names.
void stop_before_first_write(int fd) {
  static bool stopped = false;
  const char* name = std::getenv("BUMPBUILD_TEST_FS_STOP");
  if (stopped || name == nullptr) {
    return;
  }
  if (std::string_view(path_of(fd)).ends_with(std::string("/") + name)) {
    stopped = true;
    (void)::raise(SIGSTOP);
  }
}

// The descriptor whose lock was granted but never reported (lock-undelivered), until it closes.
int undelivered = -1;

// A lock request that is never answered: waits for a signal, or refuses one that may not wait.
int never_answered(int operation) {
  if ((operation & LOCK_NB) == 0) {
    (void)::pause();
  }
  errno = (operation & LOCK_NB) != 0 ? EWOULDBLOCK : EINTR;
  return -1;
}

// The lock-* rules on an exclusive flock of a lock companion; -2 when no rule takes the call.
int companion_flock(int fd, int operation) {
  static bool first_seen = false;
  if (fd == undelivered) {
    return never_answered(operation);
  }
  if ((rule() != Rule::kLockLost && rule() != Rule::kLockUndelivered) || first_seen ||
      (operation & LOCK_EX) == 0 || !path_of(fd).ends_with(".lock")) {
    return -2;
  }
  first_seen = true;
  if (rule() == Rule::kLockLost) {
    return 0;
  }
  undelivered = fd;
  (void)next<int(int, int)>("flock")(fd, LOCK_EX);
  return never_answered(operation);
}

// rename-deletes-target and rename-loses-target, before the rename; true when it is to fail.
bool rename_refused(const char* to) {
  struct stat status {};
  const bool exists = ::stat(to, &status) == 0;
  if (exists) {
    (void)::unlink(to);
  }
  if (exists ||
      (rule() == Rule::kRenameLosesTarget && std::string_view(to).ends_with("/version.h"))) {
    log_event("rename reported as failed");
    errno = EIO;
    return true;
  }
  return false;
}

int renamed(const char* from, int result) {
  log_event(std::string("rename ") + from);
  if (rule() != Rule::kRenameFails || result != 0) {
    return result;
  }
  log_event("rename reported as failed");
  errno = EIO;
  return -1;
}

}  // namespace

// The C library's headers name the parameters with reserved identifiers. Each definition carries
// the exception specification of the C library's own declaration: glibc's headers declare flock
// and rename noexcept for C++, musl's do not.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" {

int flock(int fd, int operation) noexcept(noexcept(::flock(0, 0))) {
  log_event("flock");
  if (const int ruled = companion_flock(fd, operation); ruled != -2) {
    return ruled;
  }
  if (rule() == Rule::kCifs) {
    return cifs_flock(fd, operation);
  }
  const int mode = ::fcntl(fd, F_GETFL);
  if (rule() == Rule::kNfs && mode >= 0 &&
      (((operation & LOCK_EX) != 0 && (mode & O_ACCMODE) == O_RDONLY) ||
       ((operation & LOCK_SH) != 0 && (mode & O_ACCMODE) == O_WRONLY))) {
    errno = EBADF;
    return -1;
  }
  return next<int(int, int)>("flock")(fd, operation);
}

ssize_t read(int fd, void* buffer, size_t size) {
  return io_refused(fd, F_RDLCK) ? -1 : next<ssize_t(int, void*, size_t)>("read")(fd, buffer, size);
}

ssize_t write(int fd, const void* data, size_t size) {
  stop_before_first_write(fd);
  return io_refused(fd, F_WRLCK) ? -1
                                 : next<ssize_t(int, const void*, size_t)>("write")(fd, data, size);
}

ssize_t copy_file_range(int in, off_t* in_offset, int out, off_t* out_offset, size_t size,
                        unsigned int flags) {
  if (io_refused(in, F_RDLCK) || io_refused(out, F_WRLCK)) {
    return -1;
  }
  return next<ssize_t(int, off_t*, int, off_t*, size_t, unsigned int)>("copy_file_range")(
      in, in_offset, out, out_offset, size, flags);
}

int rename(const char* from, const char* to) noexcept(noexcept(::rename("", ""))) {
  if ((rule() == Rule::kRenameDeletesTarget || rule() == Rule::kRenameLosesTarget) &&
      rename_refused(to)) {
    log_event(std::string("rename ") + from);
    return -1;
  }
  return renamed(from, next<int(const char*, const char*)>("rename")(from, to));
}

int fstatfs(int fd,
            struct statfs* info) noexcept(noexcept(::fstatfs(0,
                                                             static_cast<struct statfs*>(info)))) {
  const int result = next<int(int, struct statfs*)>("fstatfs")(fd, info);
  const char* type = std::getenv("BUMPBUILD_TEST_FS_TYPE");
  if (result == 0 &&
      (rule() == Rule::kCifs || (type != nullptr && std::strcmp(type, "smb") == 0))) {
    info->f_type = 0xFF534D42;  // CIFS_SUPER_MAGIC
  }
  return result;
}

int close(int fd) {
  if (fd == undelivered) {
    undelivered = -1;
  }
  return next<int(int)>("close")(fd);
}

}  // extern "C"
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
