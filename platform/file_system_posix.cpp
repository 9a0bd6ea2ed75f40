// POSIX implementation of the platform layer.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

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

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
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

bool copy_contents(int from, int to) {
  static constexpr std::size_t kCopyBlock = std::size_t{256} * 1024;
  std::string block(kCopyBlock, '\0');
  for (;;) {
    const std::ptrdiff_t count = read_file(from, block.data(), block.size());
    if (count == 0) {
      return true;
    }
    if (count < 0 || !write_file(to, block.data(), static_cast<std::size_t>(count))) {
      return false;
    }
  }
}

// Copies the open file `source` into a new file in the directory of `target`, where a rename
// onto `target` is atomic, and renames it there. On failure `target` is unchanged and the copy
// is deleted.
bool replace_through_copy_beside(int source, const char* target, const struct stat* target_status) {
  std::string copy_path = std::string(target) + ".XXXXXX";
  const int copy = ::mkstemp(copy_path.data());
  if (copy < 0) {
    return false;
  }
  bool copied = ::lseek(source, 0, SEEK_SET) == 0 && copy_contents(source, copy);
  if (copied && target_status != nullptr) {
    copied = ::fchmod(copy, target_status->st_mode & 07777) == 0;
  }
  copied = copied && sync_file(copy);
  copied = close_file(copy) && copied;
  if (!copied || ::rename(copy_path.c_str(), target) != 0) {
    ::unlink(copy_path.c_str());
    return false;
  }
  return true;
}

}  // namespace

FileHandle open_file_for_reading(const char* path) {
  const int fd = open_retrying(path, O_RDONLY);
  return fd < 0 ? kNoFile : fd;
}

FileHandle create_file_for_writing(const char* path) {
  // Truncation waits until the file is known to be a regular file with no other name: a hard link
  // planted at `path` could otherwise empty the very file the run is about to rewrite.
  const int fd = open_retrying(path, O_WRONLY | O_CREAT | O_NOFOLLOW, 0666);
  if (fd < 0) {
    return kNoFile;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
      ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return kNoFile;
  }
  return fd;
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
  do {
    result = ::fsync(descriptor(file));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool close_file(FileHandle file) {
  if (file == kNoFile) {
    return true;
  }
  // The descriptor is released even when close reports EINTR; retrying could close another.
  return ::close(descriptor(file)) == 0 || errno == EINTR;
}

bool remove_file(const char* path) {
  return ::unlink(path) == 0;
}

bool replace_file(const char* source, const char* target) {
  // The source is opened without following a link, so the permission bits go to the file that
  // will take the target's name and never to whatever a planted link points at.
  const int source_fd = open_retrying(source, O_RDONLY | O_NOFOLLOW);
  if (source_fd < 0) {
    return false;
  }
  struct stat source_status {};
  struct stat target_status {};
  const bool target_exists = ::stat(target, &target_status) == 0;
  bool ready = ::fstat(source_fd, &source_status) == 0 && S_ISREG(source_status.st_mode);
  if (ready && target_exists) {
    ready = ::fchmod(source_fd, target_status.st_mode & 07777) == 0;
  }
  if (!ready) {
    close_file(source_fd);
    return false;
  }
  bool replaced = ::rename(source, target) == 0;
  const int rename_error = errno;
  if (!replaced && rename_error == EXDEV) {
    replaced =
        replace_through_copy_beside(source_fd, target, target_exists ? &target_status : nullptr);
    if (replaced) {
      ::unlink(source);
    }
  }
  close_file(source_fd);
  if (replaced) {
    sync_directory(directory_of(target));
  }
  return replaced;
}

FileLock lock_file_exclusively(const char* path) {
  for (;;) {
    const int fd = open_retrying(path, O_RDONLY);
    if (fd < 0) {
      return kNoLock;
    }
    int locked = 0;
    do {
      locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    struct stat held {};
    struct stat named {};
    if (locked != 0 || ::fstat(fd, &held) != 0) {
      ::close(fd);
      return kNoLock;
    }
    // The holder before us may have replaced the file while we waited: then our lock is on a file
    // that no longer has the name, and the lock on the new one is what counts.
    if (::stat(path, &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      return fd;
    }
    ::close(fd);
  }
}

void unlock_file(FileLock lock) {
  if (lock != kNoLock) {
    ::close(static_cast<int>(lock));  // closing the last descriptor releases the flock
  }
}
