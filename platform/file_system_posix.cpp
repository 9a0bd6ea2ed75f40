// POSIX implementation of the platform layer. Calls beyond plain POSIX are used where CMake found
// them (cmake/posix-extras.cmake), each in the one function that needs it, with plain POSIX in its
// place elsewhere: HAVE_COPY_FILE_RANGE (Linux, FreeBSD), HAVE_SYNC_FILE_RANGE (Linux),
// HAVE_FULLFSYNC (macOS), HAVE_RENAME_EXCHANGE (Linux), HAVE_LINUX_XATTR and HAVE_MACOS_XATTR
// (extended attributes), HAVE_STAT_MTIM and HAVE_STAT_MTIMESPEC (modification times to the
// nanosecond), HAVE_STATFS_F_TYPE (Linux) and HAVE_STATFS_FSTYPENAME (macOS, the BSDs): which
// file system holds a file, HAVE_STATX_FORCE_SYNC (Linux): a file's status from its server.
#include "posix_extras.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#if HAVE_LINUX_XATTR || HAVE_MACOS_XATTR
#include <sys/xattr.h>
#endif
#if HAVE_STATFS_F_TYPE
#include <sys/vfs.h>
#elif HAVE_STATFS_FSTYPENAME
#include <sys/mount.h>
#include <sys/param.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace {

int descriptor(FileHandle file) {
  return static_cast<int>(file);
}

// O_NONBLOCK keeps a FIFO planted at a path from stalling the run; it changes nothing for
// regular files.
int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// True when `fd` lies on a file system of one of `magic_numbers` (Linux's statfs f_type) or, where
// statfs names its type instead (macOS, the BSDs), of one of `type_names`.
bool on_file_system(int fd, std::initializer_list<std::uint32_t> magic_numbers,
                    std::initializer_list<const char*> type_names) {
#if HAVE_STATFS_F_TYPE
  (void)type_names;
  struct statfs info {};
  // f_type is signed on some systems and 32 bits wide on others; the magic numbers are 32 bits.
  const auto type = ::fstatfs(fd, &info) == 0 ? static_cast<std::uint32_t>(info.f_type) : 0U;
  return std::find(magic_numbers.begin(), magic_numbers.end(), type) != magic_numbers.end();
#elif HAVE_STATFS_FSTYPENAME
  (void)magic_numbers;
  struct statfs info {};
  return ::fstatfs(fd, &info) == 0 &&
         std::any_of(type_names.begin(), type_names.end(), [&info](const char* name) {
           return std::strcmp(info.f_fstypename, name) == 0;
         });
#else
  (void)fd;
  (void)magic_numbers;
  (void)type_names;
  return false;
#endif
}

// True when `fd` lies on an SMB share. Its Linux client waits for the server's answer to a
// blocked lock request whatever signal comes, and where the server refuses to rename onto a file
// that is open, it deletes that file and renames again: the file then vanishes when its last
// holder closes it.
bool on_smb_share(int fd) {
  // CIFS_SUPER_MAGIC, SMB2_SUPER_MAGIC, SMB_SUPER_MAGIC
  return on_file_system(fd, {0xFF534D42U, 0xFE534D42U, 0x517BU}, {"smbfs"});
}

// True when `fd` lies on an NFS mount.
bool on_nfs_mount(int fd) {
  return on_file_system(fd, {0x6969U}, {"nfs"});  // NFS_SUPER_MAGIC
}

// True when `directory` lies on an SMB share.
bool directory_on_smb_share(const std::string& directory) {
  const int fd = open_retrying(directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    return false;
  }
  const bool smb = on_smb_share(fd);
  ::close(fd);
  return smb;
}

long monotonic_milliseconds() {
  struct timespec now {};
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Makes the Linux SMB client close the handles of `fd`'s file when they are closed: otherwise
// it keeps a closed handle for a second and gives it to the next open of that name with the same
// flags, another process's. A lock query through fcntl marks the file so; the client answers it
// by taking a shared lock on the server and letting it go, so never on a file that runs lock.
void close_handles_at_once(int fd) {
  struct flock probe {};
  probe.l_type = F_RDLCK;
  probe.l_whence = SEEK_SET;
  (void)::fcntl(fd, F_GETLK, &probe);
}

// Set by the timer that ends a slice of a lock wait (lock_descriptor_within).
volatile std::sig_atomic_t slice_ended = 0;

extern "C" void end_slice(int /*signal*/) {
  slice_ended = 1;
}

enum class LockWait { kLocked, kSliceEnded, kNoLocks };

// Whether a lock request that must not wait failed with `error` because another holds the lock.
// The Linux SMB client says so with EACCES, where flock has EWOULDBLOCK: taken for a file system
// without locks, it would let a run go ahead unlocked beside the holder.
bool held_by_another(int error) {
  return error == EWOULDBLOCK || error == EACCES;
}

// Asks for the exclusive flock on `fd` without waiting. Returns kSliceEnded when another holds it.
LockWait try_lock(int fd) {
  int locked = 0;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked == 0) {
    return LockWait::kLocked;
  }
  return held_by_another(errno) ? LockWait::kSliceEnded : LockWait::kNoLocks;
}

// Asks for the exclusive flock on `fd` again and again, without ever waiting in the kernel, for
// at most `milliseconds`: the pause between two requests grows from 2 ms to 100 ms, so that a
// lock let go is taken soon and a long wait costs the server ten requests a second. A request
// that blocks on a file server may not be given up (the Linux SMB client waits for its answer
// whatever signal comes), and blocked requests piled up at the server can keep it from answering
// the holder's unlock.
LockWait poll_lock_within(int fd, long milliseconds) {
  static constexpr unsigned kLongestPauseMs = 100;
  const long deadline = monotonic_milliseconds() + milliseconds;
  GrowingPause pause{2, kLongestPauseMs};
  for (;;) {
    const LockWait wait = try_lock(fd);
    const long left = deadline - monotonic_milliseconds();
    if (wait != LockWait::kSliceEnded || left <= 0) {
      return wait;
    }
    pause.wait(static_cast<unsigned>(std::min<long>(left, kLongestPauseMs)));
  }
}

// Asks for an exclusive flock on `fd` for at most `milliseconds`. A free lock is taken at once.
// On an SMB share the request is repeated (poll_lock_within). Elsewhere the request
// blocks in the kernel, where waiters take their turns, until a timer signal (SIGALRM, its handler
// in place only meanwhile) interrupts it. The timer repeats, so a signal that comes just before
// the request starts to block is followed by another. Returns kNoLocks when the file system
// offers no lock (or refuses this one).
LockWait lock_descriptor_within(int fd, long milliseconds) {
  const LockWait free_now = try_lock(fd);
  if (free_now != LockWait::kSliceEnded || milliseconds <= 0) {
    return free_now;
  }
  if (on_smb_share(fd)) {
    return poll_lock_within(fd, milliseconds);
  }
  struct sigaction on_timer {};
  on_timer.sa_handler = end_slice;  // no SA_RESTART: the request ends with EINTR
  sigemptyset(&on_timer.sa_mask);
  struct sigaction previous {};
  (void)::sigaction(SIGALRM, &on_timer, &previous);
  slice_ended = 0;
  static constexpr long kRepeatMs = 50;
  struct itimerval timer {};
  timer.it_value.tv_sec = milliseconds / 1000;
  timer.it_value.tv_usec = static_cast<suseconds_t>(milliseconds % 1000 * 1000 + 1);
  timer.it_interval.tv_usec = kRepeatMs * 1000;
  (void)::setitimer(ITIMER_REAL, &timer, nullptr);
  int locked = 0;
  do {
    locked = ::flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR && slice_ended == 0);
  const int error = errno;
  const struct itimerval stopped {};
  (void)::setitimer(ITIMER_REAL, &stopped, nullptr);
  (void)::sigaction(SIGALRM, &previous, nullptr);
  if (locked == 0) {
    return LockWait::kLocked;
  }
  return error == EINTR ? LockWait::kSliceEnded : LockWait::kNoLocks;
}

// Waits until `fd` holds an exclusive flock, however long that takes. Returns false when the file
// system offers no lock (or refuses this one); the caller then goes on without it.
bool lock_exclusively(int fd) {
  if (on_smb_share(fd)) {
    static constexpr long kPollMs = 60'000;
    LockWait wait = LockWait::kSliceEnded;
    while (wait == LockWait::kSliceEnded) {
      wait = poll_lock_within(fd, kPollMs);
    }
    return wait == LockWait::kLocked;
  }
  int locked = 0;
  do {
    locked = ::flock(fd, LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  return locked == 0;
}

FileStamp stamp_from(const struct stat& status) {
  FileStamp stamp;
  stamp.device = static_cast<std::uint64_t>(status.st_dev);
  stamp.index = static_cast<std::uint64_t>(status.st_ino);
  stamp.size = static_cast<std::uint64_t>(status.st_size);
  stamp.modified_seconds = static_cast<std::int64_t>(status.st_mtime);
#if HAVE_STAT_MTIM
  stamp.modified_nanoseconds = status.st_mtim.tv_nsec;
#elif HAVE_STAT_MTIMESPEC
  stamp.modified_nanoseconds = status.st_mtimespec.tv_nsec;
#endif
  stamp.known = true;
  return stamp;
}

bool same_file(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// True when `path` itself (a link is not followed) is the file `status` describes.
bool names_file(const char* path, const struct stat& status) {
  struct stat named {};
  return ::lstat(path, &named) == 0 && same_file(named, status);
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// `path` with the links of its directory followed; empty when the directory cannot be resolved.
std::string with_directory_resolved(const std::string& path) {
  const std::unique_ptr<char, decltype(&std::free)> real(
      ::realpath(directory_of(path).c_str(), nullptr), &std::free);
  if (real == nullptr) {
    return "";
  }
  const std::string directory = real.get();
  return directory + (directory == "/" ? "" : "/") +
         path.substr(path.rfind('/') + 1);  // npos + 1 is 0
}

// True when no other user can rename, delete or replace a file this process owns in `directory`:
// it belongs to this user or root, and only its owner may write it, or it is sticky. (Access
// control lists on the directory are not looked at.)
bool only_this_user_changes_names_in(const std::string& directory) {
  struct stat status {};
  if (::stat(directory.c_str(), &status) != 0) {
    return false;
  }
  const bool owner_trusted = status.st_uid == ::geteuid() || status.st_uid == 0;
  const bool others_write = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return owner_trusted && (!others_write || (status.st_mode & S_ISVTX) != 0);
}

// Makes the directory entry of a rename durable. Some file systems refuse to sync a directory;
// the rename itself has happened by then, so the result only tells whether durability is known.
bool sync_directory(const std::string& directory) {
  const int fd = open_retrying(directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    return false;
  }
  const bool synced = sync_file(fd);
  return close_file(fd) && synced;
}

// The stretches in which a copy is handed to the disk as it is written (start_writeback).
constexpr std::size_t kWritebackStretch = std::size_t{8} * 1024 * 1024;

enum class KernelCopy { kDone, kFailed, kUnavailable };

// Copies the whole file at `from` into `to`, both at their start, inside the kernel
// (copy_file_range), in stretches handed to the disk as soon as they are copied when
// `write_back` says so. Returns kUnavailable, having copied nothing, where the system or the file
// systems (or some mounts between them) cannot copy so; the caller then copies itself.
KernelCopy copy_in_kernel(int from, int to, bool write_back) {
#if HAVE_COPY_FILE_RANGE
  off_t offset = 0;
  for (;;) {
    const ssize_t count = ::copy_file_range(from, &offset, to, nullptr, kWritebackStretch, 0);
    if (count == 0) {
      return KernelCopy::kDone;
    }
    if (count > 0) {
      if (write_back) {
        start_writeback(to, static_cast<std::uint64_t>(offset - count),
                        static_cast<std::uint64_t>(count));
      }
      continue;
    }
    if (errno == EINTR) {
      continue;
    }
    if (offset != 0 || (errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
                        errno != EOPNOTSUPP && errno != EBADF)) {
      return KernelCopy::kFailed;
    }
    return KernelCopy::kUnavailable;
  }
#else
  (void)from;
  (void)to;
  (void)write_back;
  return KernelCopy::kUnavailable;
#endif
}

// Copies the whole file at `from` into `to`, which is at its start. With `write_back`, each
// stretch of kWritebackStretch is handed to the disk as soon as it is copied (start_writeback), so
// that the sync that follows has little left to wait for. The kernel copies where it can;
// elsewhere plain reads and writes do.
bool copy_contents(int from, int to, bool write_back) {
  const KernelCopy kernel = copy_in_kernel(from, to, write_back);
  if (kernel != KernelCopy::kUnavailable) {
    return kernel == KernelCopy::kDone;
  }
  static constexpr std::size_t kCopyBlock = std::size_t{256} * 1024;
  const std::unique_ptr<char[]> block = std::make_unique_for_overwrite<char[]>(kCopyBlock);
  off_t offset = 0;
  off_t written_back = 0;
  for (;;) {
    ssize_t count = 0;
    do {
      count = ::pread(from, block.get(), kCopyBlock, offset);
    } while (count < 0 && errno == EINTR);
    if (count == 0) {
      return true;
    }
    if (count < 0 || !write_file(to, block.get(), static_cast<std::size_t>(count))) {
      return false;
    }
    offset += count;
    if (write_back && static_cast<std::size_t>(offset - written_back) >= kWritebackStretch) {
      start_writeback(to, static_cast<std::uint64_t>(written_back),
                      static_cast<std::uint64_t>(offset - written_back));
      written_back = offset;
    }
  }
}

#if HAVE_LINUX_XATTR || HAVE_MACOS_XATTR
// The names of the extended attributes of `fd`, each ended by a zero byte, into `names` (`size`
// bytes; 0 asks for the size needed). Returns their size, or -1.
ssize_t list_attribute_names(int fd, char* names, std::size_t size) {
#if HAVE_LINUX_XATTR
  return ::flistxattr(fd, names, size);
#else
  return ::flistxattr(fd, names, size, 0);
#endif
}

// The value of the extended attribute `name` of `fd` into `value` (`size` bytes; 0 asks for the
// size needed). Returns its size, or -1.
ssize_t get_attribute(int fd, const char* name, char* value, std::size_t size) {
#if HAVE_LINUX_XATTR
  return ::fgetxattr(fd, name, value, size);
#else
  return ::fgetxattr(fd, name, value, size, 0, 0);
#endif
}

// Gives `fd` the extended attribute `name` with the `size` bytes at `value`, creating or replacing
// it. Returns false when it cannot.
bool set_attribute(int fd, const char* name, const char* value, std::size_t size) {
#if HAVE_LINUX_XATTR
  return ::fsetxattr(fd, name, value, size, 0) == 0;
#else
  return ::fsetxattr(fd, name, value, size, 0, 0) == 0;
#endif
}
#endif

// Copies the extended attributes of `from` to `to`, as far as this process may set them. Where the
// system offers neither the Linux nor the macOS calls (FreeBSD's extattr calls are not used),
// attributes are left alone and `to` keeps none.
void copy_extended_attributes(int from, int to) {
#if HAVE_LINUX_XATTR || HAVE_MACOS_XATTR
  const ssize_t names_size = list_attribute_names(from, nullptr, 0);
  if (names_size <= 0) {
    return;
  }
  std::vector<char> names(static_cast<std::size_t>(names_size));
  const ssize_t listed = list_attribute_names(from, names.data(), names.size());
  if (listed <= 0) {
    return;
  }
  std::vector<char> value;
  for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
    const char* name = names.data() + at;
    at += std::char_traits<char>::length(name) + 1;
    const ssize_t size = get_attribute(from, name, nullptr, 0);
    if (size < 0) {
      continue;
    }
    value.resize(static_cast<std::size_t>(size));
    const ssize_t got = get_attribute(from, name, value.data(), value.size());
    if (got >= 0) {
      (void)set_attribute(to, name, value.data(), static_cast<std::size_t>(got));
    }
  }
#else
  (void)from;
  (void)to;
#endif
}

// True when `path` names a file that its file system has deleted but still shows, because a
// program holds it open (its link count is 0).
bool doomed(const char* path) {
  struct stat status {};
  return ::lstat(path, &status) == 0 && status.st_nlink == 0;
}

// Waits until no other run holds the file at `path` (a regular file that stood there), so that
// removing it pulls nothing from under a run that is writing it. Returns the descriptor that holds
// the wait's lock (closed by the caller once the name is gone), or -1 when the file could not be
// opened; the removal then goes ahead. Sets `moved` when the name no longer names the file waited
// for, so the caller looks again.
int wait_for_other_writer(const char* path, bool& moved) {
  moved = false;
  int fd = open_retrying(path, O_RDWR | O_NOFOLLOW);
  if (fd < 0 && (errno == EACCES || errno == EPERM)) {
    fd = open_retrying(path, O_RDONLY | O_NOFOLLOW);  // a read-only leftover still locks locally
  }
  if (fd < 0) {
    return -1;
  }
  lock_exclusively(fd);
  moved = !names_open_file(path, fd);
  return fd;
}

// Renames `from` onto `to` in one step, without asking for the file to be written out. A plain
// rename over an existing file makes ext4 start writing the new file at once (its auto_da_alloc,
// for files that are not synced before their rename), which a file that needs no sync can do
// without: where the system can, the two files exchange names instead, and the old one is deleted.
bool rename_unsynced(const char* from, const char* to) {
#if HAVE_RENAME_EXCHANGE
  // Fails with ENOENT when nothing stands at `to` yet, and with EINVAL on a file system that
  // cannot exchange names.
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_EXCHANGE) == 0) {
    return ::unlink(from) == 0;
  }
#endif
  return ::rename(from, to) == 0;
}

}  // namespace

void prepare_process() {
  for (int standard = 0; standard <= 2; ++standard) {
    if (::fcntl(standard, F_GETFD) < 0 && errno == EBADF) {
      // The lowest free descriptor is the closed one; failing, the run goes on as it can.
      (void)open_retrying("/dev/null", O_RDWR);
    }
  }
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::signal(SIGXFSZ, SIG_IGN);
}

// Has the next reads of `fd` go to the file's server: drops what this machine caches of it.
void read_past_cache(int fd) {
#ifdef POSIX_FADV_DONTNEED  // not on macOS, whose SMB client is another
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
#else
  (void)fd;
#endif
}

// Makes this machine's view of `path` current. The Linux SMB client keeps taking the name for
// the file it last knew there, as long as it holds a lease on that file, which the server does
// not break when another machine renames a new file onto the name: opening the name then fails
// (EINVAL) or reads the old file. A status asked of the server past the caches sets it right.
void refresh_view_of(const char* path) {
#if HAVE_STATX_FORCE_SYNC
  struct statx status {};
  (void)::statx(AT_FDCWD, path, AT_STATX_FORCE_SYNC, STATX_INO, &status);
#else
  (void)path;
#endif
}

FileHandle open_file_for_reading(const char* path) {
  refresh_view_of(path);
  int fd = open_retrying(path, O_RDONLY);
  // For a moment after another machine replaced a file, a file server's client may fail to open
  // it although it stands (NFS: a stale handle; SMB: EINVAL or ENOENT while its cached view
  // catches up): it is opened again after pauses that grow, for about a second in all.
  static constexpr int kTries = 6;
  GrowingPause pause{20, 640};
  for (int tried = 0; fd < 0 && tried < kTries; ++tried) {
    struct stat standing {};
    if ((errno != ENOENT && errno != EINVAL && errno != ESTALE) || ::stat(path, &standing) != 0) {
      break;
    }
    pause.wait();
    refresh_view_of(path);
    fd = open_retrying(path, O_RDONLY);
  }
  if (fd >= 0 && on_smb_share(fd)) {
    // A handle kept after its close would show the next run the old content, even after another
    // machine replaced the file.
    close_handles_at_once(fd);
    // The Linux SMB client also keeps a file's pages while it holds a lease on it, and takes a new
    // file that the server gave the old one's inode number for the old one: reads go to the server
    // instead.
    read_past_cache(fd);
  }
  return fd < 0 ? kNoFile : fd;
}

bool is_regular_file(FileHandle file) {
  struct stat status {};
  return ::fstat(descriptor(file), &status) == 0 && S_ISREG(status.st_mode);
}

FileHandle create_file_for_writing(const char* path, const char* protected_file) {
  struct stat kept {};
  const bool keeps_file = protected_file != nullptr && ::stat(protected_file, &kept) == 0;
  for (;;) {
    struct stat standing {};
    if (::lstat(path, &standing) == 0) {
      if (keeps_file && same_file(standing, kept)) {
        return kNoFile;
      }
      bool moved = false;
      const int waited = S_ISREG(standing.st_mode) ? wait_for_other_writer(path, moved) : -1;
      if (moved) {
        ::close(waited);
        continue;
      }
      const bool removed = ::unlink(path) == 0 || errno == ENOENT;
      if (waited >= 0) {
        ::close(waited);
      }
      if (!removed) {
        return kNoFile;
      }
    }
    // Others may read the file, so that a run of another user can open it to wait for its lock,
    // but nobody else may write it.
    const int fd = open_retrying(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (fd < 0) {
      if (errno == EEXIST) {
        continue;  // another run took the name between the removal and the creation
      }
      return kNoFile;
    }
    // Another run may have opened the new file before the lock and removed it after its own
    // wait: then the name belongs to that run now, and this one starts over.
    lock_exclusively(fd);
    if (names_open_file(path, fd)) {
      return fd;
    }
    ::close(fd);
  }
}

std::ptrdiff_t read_file(FileHandle file, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t count = ::read(descriptor(file), buffer, size);
    if (count >= 0 || errno != EINTR) {
      return count < 0 ? -1 : count;
    }
  }
}

bool write_file(FileHandle file, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t count = ::write(descriptor(file), data, size);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

bool sync_file(FileHandle file) {
  int result = 0;
#if HAVE_FULLFSYNC
  // There fsync leaves the data in the drive's volatile cache; F_FULLFSYNC has the drive write it
  // to stable storage. File systems that refuse it (some network and FAT file systems) get fsync.
  do {
    result = ::fcntl(descriptor(file), F_FULLFSYNC);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    return true;
  }
#endif
  do {
    result = ::fsync(descriptor(file));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

void start_writeback(FileHandle file, std::uint64_t offset, std::uint64_t size) {
#if HAVE_SYNC_FILE_RANGE
  // A file system without it (EINVAL, ESPIPE) simply writes the data at the sync.
  (void)::sync_file_range(descriptor(file), static_cast<off_t>(offset), static_cast<off_t>(size),
                          SYNC_FILE_RANGE_WRITE);
#else
  // Nothing starts the writing early: the sync writes everything.
  (void)file;
  (void)offset;
  (void)size;
#endif
}

bool copy_file_attributes(FileHandle from, FileHandle to) {
  struct stat status {};
  if (::fstat(descriptor(from), &status) != 0) {
    return false;
  }
  // Owner first: changing it may clear the set-user-ID and set-group-ID bits, which the mode
  // then restores. A plain user may only give a file its own owner and one of its groups.
  (void)::fchown(descriptor(to), status.st_uid, status.st_gid);
  copy_extended_attributes(descriptor(from), descriptor(to));
  return ::fchmod(descriptor(to), status.st_mode & 07777) == 0;
}

bool close_file(FileHandle file) {
  if (file == kNoFile) {
    return true;
  }
  // The descriptor is released even when close reports EINTR; retrying could close another.
  return ::close(descriptor(file)) == 0 || errno == EINTR;
}

bool remove_file(FileHandle file, const char* path) {
  // Deleted while still held, so no other run can take the name in between.
  const bool removed = names_open_file(path, descriptor(file)) && ::unlink(path) == 0;
  close_file(file);
  return removed;
}

bool renames_in_one_step(FileHandle file, const char* from, const char* to) {
  struct stat written {};
  struct stat destination {};
  return only_this_user_changes_names_in(directory_of(from)) &&
         ::fstat(descriptor(file), &written) == 0 &&
         ::stat(directory_of(to).c_str(), &destination) == 0 &&
         written.st_dev == destination.st_dev;
}

// On an SMB share the server refuses to replace a file that a program on this machine holds open
// (a compiler reading the header); the Linux client then deletes it and renames again, which fails
// while the deleted file is held (kHeldDeleted): it vanishes once its holder closes it.
RenameOutcome rename_open_file(FileHandle file, const char* from, const char* to) {
  struct stat written {};
  if (::fstat(descriptor(file), &written) != 0 || !names_file(from, written)) {
    return RenameOutcome::kFailed;
  }
  if (::rename(from, to) == 0) {
    return RenameOutcome::kRenamed;
  }
  const int error = errno;
  if (names_file(to, written)) {
    return RenameOutcome::kRenamed;
  }
  if (error == EXDEV) {
    return RenameOutcome::kOtherFileSystem;
  }
  return error == EACCES && doomed(to) && directory_on_smb_share(directory_of(to))
             ? RenameOutcome::kHeldDeleted
             : RenameOutcome::kFailed;
}

bool sync_directory_of(const char* path) {
  return sync_directory(directory_of(path));
}

FileStamp stamp_of(FileHandle file) {
  struct stat status {};
  return ::fstat(descriptor(file), &status) == 0 ? stamp_from(status) : FileStamp{};
}

FileStamp stamp_at(const char* path) {
  // The state the server gives, not one a client kept: a run that checks before replacing the
  // file must see another machine's replacement.
  refresh_view_of(path);
  struct stat status {};
  return ::stat(path, &status) == 0 ? stamp_from(status) : FileStamp{};
}

bool copy_file_contents(FileHandle from, FileHandle to, bool write_back) {
  return copy_contents(descriptor(from), descriptor(to), write_back);
}

bool names_same_file(const char* name, const char* file) {
  struct stat standing {};
  struct stat itself {};
  struct stat through_links {};
  if (::stat(file, &standing) == 0 &&
      ((::lstat(name, &itself) == 0 && same_file(itself, standing)) ||
       (::stat(name, &through_links) == 0 && same_file(through_links, standing)))) {
    return true;
  }
  const std::string resolved = with_directory_resolved(name);
  return !resolved.empty() && resolved == with_directory_resolved(file);
}

FileHandle create_scratch_file() {
  const char* directory = std::getenv("TMPDIR");
  std::string name = directory != nullptr && directory[0] != '\0' ? directory : "/tmp";
  name += "/git-bumpbuild-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    return kNoFile;
  }
  (void)::unlink(name.c_str());
  (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

bool rewind_file(FileHandle file) {
  return ::lseek(descriptor(file), 0, SEEK_SET) == 0;
}

void pause_milliseconds(unsigned milliseconds) {
  timespec pause{static_cast<time_t>(milliseconds / 1000),
                 static_cast<long>(milliseconds % 1000) * 1'000'000L};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

PathKind kind_at(const char* path) {
  struct stat status {};
  if (::stat(path, &status) != 0) {
    return PathKind::kNothing;
  }
  if (S_ISREG(status.st_mode)) {
    return PathKind::kRegularFile;
  }
  return S_ISDIR(status.st_mode) ? PathKind::kDirectory : PathKind::kOther;
}

bool nothing_at(const char* path) {
  struct stat status {};
  return ::lstat(path, &status) != 0 && errno == ENOENT;
}

std::string resolved_path(const char* path) {
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path, nullptr), &std::free);
  return real != nullptr ? real.get() : path;
}

bool names_open_file(const char* path, FileHandle file) {
  struct stat held {};
  return ::fstat(descriptor(file), &held) == 0 && names_file(path, held);
}

FileHandle create_new_file(const char* path) {
  if (::unlink(path) != 0 && errno != ENOENT) {
    return kNoFile;
  }
  const int fd = open_retrying(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
  return fd < 0 ? kNoFile : fd;
}

bool rename_and_close(FileHandle file, const char* from, const char* to) {
  // Closed first: a close that reports a failed write must not leave a damaged file at `to`.
  return close_file(file) && rename_unsynced(from, to);
}

bool move_to_free_name(const char* from, const char* to) {
  // A link never replaces what stands at its new name; the old name goes once the new one stands.
  if (::link(from, to) == 0) {
    (void)::unlink(from);
    return true;
  }
  // A file system without hard links gets a rename, when nothing stands at `to`.
  return errno != EEXIST && nothing_at(to) && ::rename(from, to) == 0;
}

bool delete_file(const char* path) {
  return ::unlink(path) == 0;
}

FileHandle create_new_name(const char* path, bool& taken) {
  const int fd = open_retrying(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  taken = fd < 0 && errno == EEXIST;
  return fd < 0 ? kNoFile : fd;
}

std::vector<TimedPath> paths_beginning_with(const std::string& path_prefix) {
  const std::size_t slash = path_prefix.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : path_prefix.substr(0, slash + 1);
  const std::string name_prefix = path_prefix.substr(directory.size());
  std::vector<TimedPath> found;
  DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
  if (listing == nullptr) {
    return found;
  }
  while (const struct dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(name_prefix)) {
      continue;
    }
    struct stat status {};
    TimedPath timed{directory + std::string(name)};
    if (::lstat(timed.path.c_str(), &status) == 0) {
      timed.modified_seconds = static_cast<std::int64_t>(status.st_mtime);
      found.push_back(std::move(timed));
    }
  }
  ::closedir(listing);
  return found;
}

FileHandle open_lock_file(const char* path, bool create) {
  // Write-only: the Linux SMB client gives a new open the server handle of another open of the
  // same name, with the same flags, that it may read through, even one another process holds.
  // Locks of two processes on one server handle stack and are let go out of turn (Samba), which
  // left a lock on the server that no run held, and every run waiting for it.
  int fd = open_retrying(path, O_WRONLY | (create ? O_CREAT : 0) | O_NOFOLLOW, 0666);
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    fd = open_retrying(path, O_RDONLY | O_NOFOLLOW);
  }
  if (fd >= 0 && !is_regular_file(fd)) {
    ::close(fd);
    return kNoFile;
  }
  return fd < 0 ? kNoFile : fd;
}

LockRequest lock_within(FileHandle file, long milliseconds) {
  switch (lock_descriptor_within(descriptor(file), milliseconds)) {
    case LockWait::kLocked:
      return LockRequest::kLocked;
    case LockWait::kSliceEnded:
      return LockRequest::kBusy;
    case LockWait::kNoLocks:
      break;
  }
  return LockRequest::kNoLocks;
}

bool locks_kept_by_this_machine(FileHandle file) {
  // ext2-4, XFS, Btrfs, tmpfs, ramfs, F2FS, ZFS, overlayfs, FAT, exFAT, NTFS (ntfs3), bcachefs, JFS
  // and ReiserFS; the disks of macOS and the BSDs.
  return on_file_system(
      descriptor(file),
      {0xEF53U, 0x58465342U, 0x9123683EU, 0x01021994U, 0x858458F6U, 0xF2F52010U, 0x2FC12FC1U,
       0x794C7630U, 0x4D44U, 0x2011BAB0U, 0x7366746EU, 0xCA451A4EU, 0x3153464AU, 0x52654973U},
      {"apfs", "hfs", "ufs", "zfs", "msdos", "exfat", "tmpfs"});
}

bool lock_still_held(FileHandle file) {
  if (file == kNoFile || !on_nfs_mount(descriptor(file))) {
    return true;
  }
  return try_lock(descriptor(file)) != LockWait::kSliceEnded;
}

void unlock_file(FileHandle file) {
  if (file != kNoFile) {
    ::close(descriptor(file));  // closing the only descriptor releases the flock
  }
}
