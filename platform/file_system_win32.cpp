// Win32 implementation of the platform layer. Paths are in the ANSI code page; every file is
// opened in binary mode (Win32 handles never translate line ends).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

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

// The identity of a file: its volume and its index there. Two names with one identity are links
// to one file.
struct FileIdentity {
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
  bool known = false;
};

bool operator==(const FileIdentity& one, const FileIdentity& other) {
  return one.known && other.known && one.volume == other.volume &&
         one.index_high == other.index_high && one.index_low == other.index_low;
}

FileIdentity identity_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(handle, &information)) {
    return {};
  }
  return {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow,
          true};
}

// The identity of what `path` names: the link itself when `flags` holds
// FILE_FLAG_OPEN_REPARSE_POINT, else what a link leads to. The file is opened for nothing but
// its attributes, sharing everything, so no other program is hindered.
FileIdentity identity_at(const char* path, DWORD flags) {
  HANDLE handle =
      ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return {};
  }
  const FileIdentity identity = identity_of(handle);
  ::CloseHandle(handle);
  return identity;
}

// Creates a new file at `path` after deleting whatever stood there: a link itself, never what it
// leads to; a read-only leftover too. Nobody else may write or delete the file while it is open.
HANDLE create_after_removing(const char* path) {
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes != kNoAttributes) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      ::SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (!::DeleteFileA(path) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
      return INVALID_HANDLE_VALUE;
    }
  }
  // FILE_FLAG_OPEN_REPARSE_POINT: a link planted between the deletion and the creation makes
  // CREATE_NEW fail instead of creating its target.
  return ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Copies `source` into a new file beside `target`, "<target>.bumpbuild-new", where a rename onto
// `target` is a single step, makes the copy durable and moves it over `target`. The fixed name
// leaves at most one copy behind a killed run, which the next run deletes. On failure `target`
// is unchanged and the copy is deleted.
bool replace_through_copy_beside(const char* source, const char* target, DWORD target_attributes) {
  const FileHandle from = open_file_for_reading(source);
  if (from == kNoFile) {
    return false;
  }
  const std::string copy_path = std::string(target) + ".bumpbuild-new";
  const FileHandle copy = file_handle(create_after_removing(copy_path.c_str()));
  if (copy == kNoFile) {
    close_file(from);
    return false;
  }
  bool copied = copy_contents(from, copy) && sync_file(copy);
  const FileIdentity written = identity_of(win32_handle(copy));
  copied = close_file(copy) && copied;
  close_file(from);
  if (copied && (move_keeping_read_only(copy_path.c_str(), target, target_attributes) ||
                 identity_at(target, 0) == written)) {
    return true;
  }
  ::DeleteFileA(copy_path.c_str());
  return false;
}

// Waits for the lock on `file` as long as another holder has it. A blocking LockFileEx waits by
// itself for holders on this machine; a conflicting lock that reaches Windows from elsewhere (a
// file server, or under Wine another Wine server) may be reported at once instead, so that
// refusal is retried after growing pauses. Returns false when the file system offers no locks.
bool wait_for_lock(HANDLE file) {
  DWORD pause_ms = 1;
  for (;;) {
    OVERLAPPED whole_file{};
    if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole_file)) {
      return true;
    }
    if (::GetLastError() != ERROR_LOCK_VIOLATION) {
      return false;
    }
    ::Sleep(pause_ms);
    pause_ms = pause_ms < 50 ? pause_ms * 2 : 50;
  }
}

}  // namespace

// Windows has no signals to ignore, and its files are handles that never take the place of a
// closed standard stream: a message to a closed or broken stream simply fails.
void prepare_process() {}

FileHandle open_file_for_reading(const char* path) {
  // Others may read, write, rename or delete the file meanwhile: a reader never blocks the
  // replacement of the version file by another program.
  return file_handle(::CreateFileA(path, GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool is_regular_file(FileHandle file) {
  BY_HANDLE_FILE_INFORMATION information{};
  return ::GetFileType(win32_handle(file)) == FILE_TYPE_DISK &&
         ::GetFileInformationByHandle(win32_handle(file), &information) &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

FileHandle create_file_for_writing(const char* path, const char* protected_file) {
  if (protected_file != nullptr &&
      identity_at(path, FILE_FLAG_OPEN_REPARSE_POINT) == identity_at(protected_file, 0)) {
    return kNoFile;
  }
  return file_handle(create_after_removing(path));
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

void start_writeback(FileHandle /*file*/, std::uint64_t /*offset*/, std::uint64_t /*size*/) {
  // Win32 has no request that starts writing without waiting for it: the sync does it all.
}

bool copy_file_attributes(FileHandle /*from*/, FileHandle /*to*/) {
  return true;
}

bool close_file(FileHandle file) {
  return file == kNoFile || ::CloseHandle(win32_handle(file)) != 0;
}

bool remove_file(FileHandle file, const char* /*path*/) {
  // Marked for deletion through the handle itself, so only this very file can go, whatever
  // happened to its name; it goes when the handle closes.
  FILE_DISPOSITION_INFO disposition{TRUE};
  const bool marked = ::SetFileInformationByHandle(win32_handle(file), FileDispositionInfo,
                                                   &disposition, sizeof disposition) != 0;
  return close_file(file) && marked;
}

// The move is always tried first; across volumes it fails, and the copy beside the target is
// synced once more.
bool replacement_copies_beside(FileHandle /*source*/, const char* /*source_path*/,
                               const char* /*target*/) {
  return false;
}

// The handle is closed before the move: Windows refuses to rename a file that is open without
// delete sharing, and the temporary file is opened without it so that no other program can
// rename, replace or delete it while it is written. Between that close and the move the name is
// checked against the file written; another user who may write the directory could still swap it
// in that moment, which the Win32 layer cannot rule out the way the POSIX one does.
// replacement_copies_beside never asks for a copy here, so the caller has always synced `source`.
bool replace_file(FileHandle source, const char* source_path, const char* target,
                  bool /*source_synced*/) {
  const FileIdentity written = identity_of(win32_handle(source));
  close_file(source);
  if (!is_plain_file(::GetFileAttributesA(source_path)) ||
      !(identity_at(source_path, FILE_FLAG_OPEN_REPARSE_POINT) == written)) {
    return false;
  }
  const DWORD target_attributes = ::GetFileAttributesA(target);
  bool replaced = move_keeping_read_only(source_path, target, target_attributes);
  const DWORD error = ::GetLastError();
  // A move that reports failure may still have taken place.
  replaced = replaced || identity_at(target, 0) == written;
  if (!replaced && error == ERROR_NOT_SAME_DEVICE) {
    replaced = replace_through_copy_beside(source_path, target, target_attributes);
    if (replaced) {
      ::DeleteFileA(source_path);
    }
  }
  if (replaced) {
    sync_directory(directory_of(target));
  }
  return replaced;
}

// The lock is LockFileEx on the companion "<path>.lock", which a file server arbitrates between
// machines; the version file itself is never held open. The companion is opened without delete
// sharing, so nobody can delete or rename it while a run holds it or waits for it: the file a
// waiting run locks is the one that has the name.
FileLock lock_file_exclusively(const char* path, std::string& resolved) {
  resolved = path;
  // Looked at without opening it: an open handle, however briefly, could stand in the way of the
  // holder's move.
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == kNoAttributes || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return kNoLock;
  }
  const std::string companion = resolved + ".lock";
  HANDLE lock = ::CreateFileA(companion.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (lock == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
    // A companion this account may not write can still be locked.
    lock = ::CreateFileA(companion.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (lock == INVALID_HANDLE_VALUE) {
    return kNoLock;
  }
  if (!wait_for_lock(lock)) {
    ::CloseHandle(lock);
    return kNoLock;
  }
  return reinterpret_cast<FileLock>(lock);
}

void unlock_file(FileLock lock) {
  if (lock != kNoLock) {
    // Unlocked before the close: Windows releases the locks of a closed handle only eventually.
    OVERLAPPED whole_file{};
    ::UnlockFileEx(win32_handle(lock), 0, MAXDWORD, MAXDWORD, &whole_file);
    ::CloseHandle(win32_handle(lock));
  }
}

void remove_leftover_copy(const char* target) {
  (void)::DeleteFileA((std::string(target) + ".bumpbuild-new").c_str());
}
