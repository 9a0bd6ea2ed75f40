// Preloaded into the command by the tests (LD_PRELOAD), this library makes every file behave as on
// a network file system; the environment variable BUMPBUILD_TEST_FS names the rule:
//   nfs           flock as the Linux NFS client emulates it with byte-range locks: an exclusive
//                 lock needs a descriptor open for writing, a shared one a descriptor open for
//                 reading; otherwise EBADF.
//   cifs          flock as a mandatory byte-range lock on a CIFS mount: while one open file
//                 description holds it, reading or writing the file through any other descriptor
//                 fails with EACCES. The lock is an open-file-description lock (fcntl F_OFD_*) on
//                 the descriptor, so an exclusive one needs a descriptor open for writing.
//   rename-fails  rename does its work, then reports EIO.
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
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

enum class Rule { kNone, kNfs, kCifs, kRenameFails };

Rule rule() {
  static const Rule chosen = [] {
    const char* name = std::getenv("BUMPBUILD_TEST_FS");
    const std::string value = name == nullptr ? "" : name;
    return value == "nfs"            ? Rule::kNfs
           : value == "cifs"         ? Rule::kCifs
           : value == "rename-fails" ? Rule::kRenameFails
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
  range.l_type = (operation & LOCK_UN) != 0   ? F_UNLCK
                 : (operation & LOCK_EX) != 0 ? F_WRLCK
                                              : F_RDLCK;
  const int command = (operation & LOCK_NB) != 0 ? F_OFD_SETLK : F_OFD_SETLKW;
  int result = -1;
  do {
    result = ::fcntl(fd, command, &range);
  } while (result != 0 && errno == EINTR);
  if (result != 0 && errno == EAGAIN) {
    errno = EWOULDBLOCK;
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

// Stops the process the first time it is about to write to the file BUMPBUILD_TEST_FS_STOP names.
void stop_before_first_write(int fd) {
  static bool stopped = false;
  const char* name = std::getenv("BUMPBUILD_TEST_FS_STOP");
  if (stopped || name == nullptr) {
    return;
  }
  char path[4096];
  const ssize_t size =
      ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
  if (size > 0 &&
      std::string_view(path, static_cast<std::size_t>(size)).ends_with(std::string("/") + name)) {
    stopped = true;
    (void)::raise(SIGSTOP);
  }
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
  return renamed(from, next<int(const char*, const char*)>("rename")(from, to));
}

}  // extern "C"
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
