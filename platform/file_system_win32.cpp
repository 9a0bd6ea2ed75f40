// Win32 implementation of the platform layer. Paths are in the ANSI code page; every file is
// opened in binary mode (Win32 handles never translate line ends).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// windows.h first: sddl.h relies on it.
#include <sddl.h>

#include <cstdint>
#include <string>

#include "platform/file_system.h"

namespace {

constexpr DWORD kNoAttributes = INVALID_FILE_ATTRIBUTES;

// Handles travel through the interface as integers; this is the one way back.
HANDLE win32_handle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

FileHandle file_handle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(handle);
}

bool is_plain_file(DWORD attributes) {
  return attributes != kNoAttributes &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// Errors that another program holding the file open briefly causes (a virus scanner, an indexer,
// an editor reading it); they usually clear within milliseconds.
bool is_transient(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION;
}

// Renames `source` to `target`, replacing it, in one step on one volume; never copies. Transient
// refusals are retried a few times after short pauses. On failure GetLastError() tells why.
bool move_retrying(const char* source, const char* target) {
  static constexpr DWORD kPausesMs[] = {1, 10, 20, 40, 80};
  for (const DWORD pause : kPausesMs) {
    if (::MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    if (!is_transient(::GetLastError())) {
      return false;
    }
    ::Sleep(pause);
  }
  return ::MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Moves `source` over `target`, whose attributes were `target_attributes`. Windows refuses to
// replace a read-only file, so a read-only target is made writable for the move, and `source`
// is made read-only before it: the new file takes the name with the attribute already set. When
// the move fails both attributes are put back. On failure GetLastError() tells why.
bool move_keeping_read_only(const char* source, const char* target, DWORD target_attributes) {
  if (target_attributes == kNoAttributes || (target_attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return move_retrying(source, target);
  }
  const DWORD source_attributes = ::GetFileAttributesA(source);
  if (source_attributes == kNoAttributes ||
      !::SetFileAttributesA(source, source_attributes | FILE_ATTRIBUTE_READONLY)) {
    return false;
  }
  if (::SetFileAttributesA(target, target_attributes & ~FILE_ATTRIBUTE_READONLY) &&
      move_retrying(source, target)) {
    return true;
  }
  const DWORD error = ::GetLastError();
  ::SetFileAttributesA(target, target_attributes);
  ::SetFileAttributesA(source, source_attributes);
  ::SetLastError(error);
  return false;
}

std::string directory_of(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) {
    return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : ".";  // "C:name" or "name"
  }
  if (separator == 0 || path[separator - 1] == ':') {
    return path.substr(0, separator + 1);  // a root, with its separator
  }
  return path.substr(0, separator);
}

// Asks the file system to write the directory entry of a rename out now. Some file systems
// refuse to flush a directory; the rename has happened by then, so the result only tells whether
// durability is known.
bool sync_directory(const std::string& directory) {
  HANDLE handle = ::CreateFileA(directory.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  const bool synced = ::FlushFileBuffers(handle) != 0;
  return ::CloseHandle(handle) != 0 && synced;
}

// Creates a new file with a name not in use, beside `target`, and stores its name in `path`.
HANDLE create_file_beside(const char* target, std::string& path) {
  static constexpr int kAttempts = 100;
  const std::string stem = std::string(target) + "." + std::to_string(::GetCurrentProcessId());
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    path = stem + "-" + std::to_string(attempt);
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) {
      return handle;
    }
  }
  return INVALID_HANDLE_VALUE;
}

bool copy_contents(FileHandle from, FileHandle to) {
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

// Copies `source` into a new file in the directory of `target`, where a rename onto `target` is
// a single step, makes the copy durable and moves it over `target`. On failure `target` is
// unchanged and the copy is deleted.
bool replace_through_copy_beside(const char* source, const char* target, DWORD target_attributes) {
  const FileHandle from = open_file_for_reading(source);
  if (from == kNoFile) {
    return false;
  }
  std::string copy_path;
  const FileHandle copy = file_handle(create_file_beside(target, copy_path));
  if (copy == kNoFile) {
    close_file(from);
    return false;
  }
  bool copied = copy_contents(from, copy) && sync_file(copy);
  copied = close_file(copy) && copied;
  close_file(from);
  if (!copied || !move_keeping_read_only(copy_path.c_str(), target, target_attributes)) {
    ::DeleteFileA(copy_path.c_str());
    return false;
  }
  return true;
}

// A name for the mutex that stands for the file at `path`: the same for every spelling of the
// path (relative, "/" or "\", any letter case), and valid as a kernel object name, which may
// not contain "\" and is limited in length, hence a hash of the folded full path. Returns an
// empty name when the full path cannot be had.
std::string lock_name(const char* path) {
  const DWORD size = ::GetFullPathNameA(path, 0, nullptr, nullptr);
  if (size == 0) {
    return {};
  }
  std::string full(size, '\0');
  const DWORD length = ::GetFullPathNameA(path, size, full.data(), nullptr);
  if (length == 0 || length >= size) {
    return {};
  }
  full.resize(length);
  ::CharUpperBuffA(full.data(), length);
  // 64-bit FNV-1a: a collision would only make two files share a lock.
  std::uint64_t hash = 14695981039346656037ULL;
  for (const char byte : full) {
    hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ULL;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name = "bumpbuild-version-file-";
  for (int shift = 60; shift >= 0; shift -= 4) {
    name += kDigits[(hash >> shift) & 0xF];
  }
  return name;
}

// Opens the mutex of that name, creating it when no process has it, in the namespace shared by
// all sessions of this machine; a process that may not create global objects falls back to its
// own session's namespace. Every account may wait for the mutex and release it, and nothing more:
// runs elevated and not, or under other accounts, then share one lock. Returns nullptr on failure.
HANDLE open_lock_mutex(const std::string& name) {
  static constexpr DWORD kAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // Allows kAccess (0x00100001) to everyone (WD, the World).
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(
          "D:(A;;0x00100001;;;WD)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE mutex = ::CreateMutexExA(&attributes, ("Global\\" + name).c_str(), 0, kAccess);
  if (mutex == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
    mutex = ::CreateMutexExA(&attributes, ("Local\\" + name).c_str(), 0, kAccess);
  }
  ::LocalFree(descriptor);
  return mutex;
}

}  // namespace

FileHandle open_file_for_reading(const char* path) {
  // Others may read, write, rename or delete the file meanwhile: a reader never blocks the
  // replacement of the version file by another program.
  return file_handle(::CreateFileA(path, GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle create_file_for_writing(const char* path) {
  // FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself instead of its
  // target, so neither attempt can create or truncate anything through one.
  static constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE handle =
      ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, kFlags, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    return file_handle(handle);
  }
  if (::GetLastError() != ERROR_FILE_EXISTS) {
    return kNoFile;
  }
  // Something has the name: it is opened as it stands, checked, and only then truncated. A file
  // with other names (hard links) is refused: truncating it would empty them too.
  handle =
      ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, kFlags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return kNoFile;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(handle, &information) ||
      !is_plain_file(information.dwFileAttributes) || information.nNumberOfLinks != 1 ||
      !::SetEndOfFile(handle)) {
    ::CloseHandle(handle);
    return kNoFile;
  }
  return file_handle(handle);
}

std::ptrdiff_t read_file(FileHandle file, char* buffer, std::size_t size) {
  static constexpr std::size_t kMaxRead = 1U << 30;
  DWORD count = 0;
  if (!::ReadFile(win32_handle(file), buffer, static_cast<DWORD>(size < kMaxRead ? size : kMaxRead),
                  &count, nullptr)) {
    return -1;
  }
  return static_cast<std::ptrdiff_t>(count);
}

bool write_file(FileHandle file, const char* data, std::size_t size) {
  static constexpr std::size_t kMaxWrite = 1U << 30;
  while (size > 0) {
    DWORD count = 0;
    if (!::WriteFile(win32_handle(file), data,
                     static_cast<DWORD>(size < kMaxWrite ? size : kMaxWrite), &count, nullptr) ||
        count == 0) {
      return false;
    }
    data += count;
    size -= count;
  }
  return true;
}

bool sync_file(FileHandle file) {
  return ::FlushFileBuffers(win32_handle(file)) != 0;
}

bool close_file(FileHandle file) {
  return file == kNoFile || ::CloseHandle(win32_handle(file)) != 0;
}

bool remove_file(const char* path) {
  return ::DeleteFileA(path) != 0;
}

bool replace_file(const char* source, const char* target) {
  // Like the POSIX side, only a plain file may take the target's name, never a link planted at
  // the source's name.
  if (!is_plain_file(::GetFileAttributesA(source))) {
    return false;
  }
  const DWORD target_attributes = ::GetFileAttributesA(target);
  bool replaced = move_keeping_read_only(source, target, target_attributes);
  if (!replaced && ::GetLastError() == ERROR_NOT_SAME_DEVICE) {
    replaced = replace_through_copy_beside(source, target, target_attributes);
    if (replaced) {
      ::DeleteFileA(source);
    }
  }
  if (replaced) {
    sync_directory(directory_of(target));
  }
  return replaced;
}

// The lock is a named mutex that stands for the version file's full path; no handle is held on
// the file itself, which would stop its replacement. It serializes the processes on this machine
// that name the file by any spelling of its path, from any current directory and any session.
// It does not serialize runs on two machines that share the drive holding the file, nor a path
// that reaches the same file through another name (a second drive letter mapped onto the same
// folder, a link, a share name), nor a process refused the machine-wide namespace, which then
// shares the lock with its own session only. Ownership of a mutex belongs to a thread: the thread
// that took the lock must release it. Windows releases it when the owning process ends, however it
// ends; the next waiter then acquires it.
FileLock lock_file_exclusively(const char* path) {
  if (::GetFileAttributesA(path) == kNoAttributes) {
    return kNoLock;
  }
  const std::string name = lock_name(path);
  if (name.empty()) {
    return kNoLock;
  }
  HANDLE mutex = open_lock_mutex(name);
  if (mutex == nullptr) {
    return kNoLock;
  }
  // An abandoned mutex means its holder ended mid-run; the version file is still whole, since it is
  // only ever replaced in one step, so the lock is simply taken over.
  const DWORD waited = ::WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ::CloseHandle(mutex);
    return kNoLock;
  }
  return reinterpret_cast<FileLock>(mutex);
}

void unlock_file(FileLock lock) {
  if (lock != kNoLock) {
    ::ReleaseMutex(win32_handle(lock));
    ::CloseHandle(win32_handle(lock));
  }
}
