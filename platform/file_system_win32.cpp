// Win32 implementation of the platform layer. Paths are in the ANSI code page; every file is
// opened in binary mode (Win32 handles never translate line ends).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// Errors that another program holding the file open briefly causes (a virus scanner, an indexer,
// a backup agent, another build's compiler reading the header); they usually clear within
// milliseconds, sometimes after a second or more.
bool is_transient(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION;
}

// How long a run waits in all for a file that another program holds in its way, each time it
// meets one, before it gives up; and the longest pause between two tries.
constexpr ULONGLONG kHeldFileWaitMs = 5000;
constexpr unsigned kLongestPauseMs = 250;

// The longest pause between two requests for a lock that another holds.
constexpr unsigned kLongestLockPauseMs = 50;

// One wait for a file that another program holds, from its first refusal on.
struct HeldFileWait {
  ULONGLONG start_ms = ::GetTickCount64();
  GrowingPause pause{1, kLongestPauseMs};
};

// Pauses before the next try and returns true; the pauses double from 1 ms up to
// kLongestPauseMs, the last one shortened to end at kHeldFileWaitMs after the wait began.
// Returns false at once when that time has passed: the caller gives up. GetLastError() is kept.
bool pause_for_holder(HeldFileWait& wait) {
  const DWORD error = ::GetLastError();
  const ULONGLONG waited_ms = ::GetTickCount64() - wait.start_ms;
  if (waited_ms >= kHeldFileWaitMs) {
    return false;
  }
  wait.pause.wait(static_cast<unsigned>(kHeldFileWaitMs - waited_ms));
  ::SetLastError(error);
  return true;
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

// A file system that synthesizes no index reports 0: then nothing is known.
FileIdentity identity_of(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(handle, &information)) {
    return {};
  }
  return {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow,
          (information.nFileIndexHigh | information.nFileIndexLow) != 0};
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
// leads to; a read-only leftover too. The file is opened for renaming and deleting through its
// handle, and nobody else may write, rename or delete it while it is open. It is opened with the
// rights to take another file's security descriptor where they are granted; a share that
// withholds them (the share permission "Change") still lets the file be created without them.
HANDLE create_after_removing(const char* path) {
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes != kNoAttributes && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ::SetLastError(ERROR_DIRECTORY);  // never deleted, and no run will take it away
    return INVALID_HANDLE_VALUE;
  }
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
  static constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (const DWORD access : {kAccess | WRITE_DAC | WRITE_OWNER, kAccess}) {
    file = ::CreateFileA(path, access, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_ACCESS_DENIED) {
      break;
    }
  }
  return file;
}

// Whether create_after_removing failed because another program holds what stands at the name,
// or a file it deleted is still going (the name then exists until the last handle closes).
bool refused_for_a_moment(DWORD error) {
  return error == ERROR_FILE_EXISTS || is_transient(error);
}

// The byte of a temporary file whose lock tells other runs that a run holds the file: far beyond
// the end of any version file, since a Windows lock stops whoever reads or writes what it covers.
OVERLAPPED turn_byte() {
  OVERLAPPED at{};
  at.Offset = MAXDWORD;
  at.OffsetHigh = 0x7FFFFFFF;
  return at;
}

// Waits for an exclusive lock on `size_low` bytes of `file` from `at`, as long as another holder
// has it. A blocking LockFileEx waits by itself for holders on this machine; a conflicting lock
// that reaches Windows from elsewhere (a file server, or under Wine another Wine server) may be
// reported at once instead, so that refusal is retried after growing pauses. Returns false when
// the file system offers no locks.
bool wait_for_lock(HANDLE file, OVERLAPPED at, DWORD size_low, DWORD size_high) {
  GrowingPause pause{1, kLongestLockPauseMs};
  for (;;) {
    OVERLAPPED range = at;
    if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, size_low, size_high, &range)) {
      return true;
    }
    if (::GetLastError() != ERROR_LOCK_VIOLATION) {
      return false;
    }
    pause.wait();
  }
}

// True when another run holds the temporary file at `path`: its turn byte is locked. The file is
// opened sharing everything and closed at once, so that run is never hindered.
bool held_by_another_run(const char* path) {
  HANDLE file =
      ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  OVERLAPPED at = turn_byte();
  const bool locked =
      ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
  const bool held = !locked && ::GetLastError() == ERROR_LOCK_VIOLATION;
  if (locked) {
    at = turn_byte();
    ::UnlockFileEx(file, 0, 1, 0, &at);
  }
  ::CloseHandle(file);
  return held;
}

bool set_attributes(HANDLE file, DWORD attributes) {
  FILE_BASIC_INFO basic{};  // times of 0 stay as they are
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The full path of `path` in UTF-16, as a rename through a handle takes it; empty on failure.
std::wstring full_wide_path(const char* path) {
  const int length = ::MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (length <= 0) {
    return {};
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), length);
  const DWORD size = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD written =
      size == 0 ? 0 : ::GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  full.resize(written < size ? written : 0);
  return full;
}

// Renames the open `file` onto `target`, replacing it, in one step on one volume; never copies.
// A `target` that another program holds open without delete sharing is waited for
// (pause_for_holder), and so is any other transient refusal. A rename that reports failure
// yet took place counts as done: `target` then is `file`, which nobody else can delete while it
// is held, so its identity cannot have passed to another file. On failure GetLastError() tells
// why.
bool rename_through_handle(HANDLE file, const char* target) {
  const std::wstring full = full_wide_path(target);
  if (full.empty()) {
    return false;
  }
  std::vector<char> buffer(offsetof(FILE_RENAME_INFO, FileName) +
                           (full.size() + 1) * sizeof(WCHAR));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(full.size() * sizeof(WCHAR));
  std::copy_n(full.c_str(), full.size() + 1, rename->FileName);
  // Taken before: after a rename that reported failure Wine no longer knows the volume of `file`.
  const FileIdentity own = identity_of(file);
  HeldFileWait wait;
  for (;;) {
    if (::SetFileInformationByHandle(file, FileRenameInfo, rename,
                                     static_cast<DWORD>(buffer.size()))) {
      return true;
    }
    const DWORD error = ::GetLastError();
    if (identity_at(target, 0) == own) {
      return true;
    }
    ::SetLastError(error);
    if (!is_transient(error) || !pause_for_holder(wait)) {
      return false;
    }
  }
}

// The attributes of a version file that its replacement takes over.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                  FILE_ATTRIBUTE_READONLY;

// Renames the open `file` onto `target`, whose attributes were `target_attributes`, and gives it
// their kept ones first. Windows refuses to replace a read-only file, so a read-only target is
// made writable for the rename, which renames a file that is read-only already. When the rename
// fails both files get their attributes back. On failure GetLastError() tells why.
bool rename_keeping_attributes(HANDLE file, const char* target, DWORD target_attributes) {
  const DWORD kept = target_attributes == kNoAttributes ? 0 : target_attributes & kKeptAttributes;
  BY_HANDLE_FILE_INFORMATION own{};
  if (!::GetFileInformationByHandle(file, &own) || !set_attributes(file, kept)) {
    return false;
  }
  const bool read_only = (kept & FILE_ATTRIBUTE_READONLY) != 0;
  if ((!read_only ||
       ::SetFileAttributesA(target, target_attributes & ~FILE_ATTRIBUTE_READONLY) != 0) &&
      rename_through_handle(file, target)) {
    return true;
  }
  const DWORD error = ::GetLastError();
  if (read_only) {
    ::SetFileAttributesA(target, target_attributes);
  }
  set_attributes(file, own.dwFileAttributes);
  ::SetLastError(error);
  return false;
}

// Marks `file` for deletion through its handle, so only this very file can go, whatever happened
// to its name; it goes when the handle closes. A read-only file (under Wine, one whose permissions
// deny writing) is made writable first.
bool mark_for_deletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
    return true;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  return ::GetFileInformationByHandle(file, &information) &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
         set_attributes(file, information.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY) &&
         ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Whether the volume of `file` keeps security descriptors (FAT does not). Unknown counts as yes.
bool keeps_security(HANDLE file) {
  DWORD flags = 0;
  return !::GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
         (flags & FILE_PERSISTENT_ACLS) != 0;
}

}  // namespace

// Windows has no signals to ignore, and its files are handles that never take the place of a
// closed standard stream: a message to a closed or broken stream simply fails.
void prepare_process() {}

// A file that another program holds without read sharing is waited for as pause_for_holder
// allows.
FileHandle open_file_for_reading(const char* path) {
  // Others may read, write, rename or delete the file meanwhile: a reader never blocks the
  // replacement of the version file by another program.
  HeldFileWait wait;
  for (;;) {
    HANDLE file =
        ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_SHARING_VIOLATION ||
        !pause_for_holder(wait)) {
      return file_handle(file);
    }
  }
}

bool is_regular_file(FileHandle file) {
  BY_HANDLE_FILE_INFORMATION information{};
  return ::GetFileType(win32_handle(file)) == FILE_TYPE_DISK &&
         ::GetFileInformationByHandle(win32_handle(file), &information) &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A name that another run holds is waited for as long as that run holds it; one held by another
// program, or refused for a moment (a file being deleted, a scanner), is waited for as
// pause_for_holder allows before the run gives up.
FileHandle create_file_for_writing(const char* path, const char* protected_file) {
  HeldFileWait held;
  GrowingPause pause{1, kLongestLockPauseMs};
  for (;;) {
    if (protected_file != nullptr &&
        identity_at(path, FILE_FLAG_OPEN_REPARSE_POINT) == identity_at(protected_file, 0)) {
      return kNoFile;
    }
    HANDLE file = create_after_removing(path);
    if (file != INVALID_HANDLE_VALUE) {
      // At once, unless another run is just looking at the new file.
      wait_for_lock(file, turn_byte(), 1, 0);
      return file_handle(file);
    }
    const DWORD error = ::GetLastError();
    if (held_by_another_run(path)) {
      held = {};  // the name passes between runs: each handover may refuse it a moment
      pause.wait();
      continue;
    }
    if (!refused_for_a_moment(error) || !pause_for_holder(held)) {
      return kNoFile;
    }
  }
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

// The security descriptor is written as it was read, with SetKernelObjectSecurity: SetSecurityInfo
// would drop the entries that the version file inherited from its directory and take those of the
// current directory instead, and a moved file keeps what it has. Owner and group go one at a time,
// as far as this account may set them.
bool copy_file_attributes(FileHandle from, FileHandle to) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!keeps_security(win32_handle(to)) ||
      ::GetSecurityInfo(
          win32_handle(from), SE_FILE_OBJECT,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;  // nothing to keep
  }
  const bool dacl_set =
      ::SetKernelObjectSecurity(win32_handle(to), DACL_SECURITY_INFORMATION, descriptor) != 0;
  ::SetKernelObjectSecurity(win32_handle(to), OWNER_SECURITY_INFORMATION, descriptor);
  ::SetKernelObjectSecurity(win32_handle(to), GROUP_SECURITY_INFORMATION, descriptor);
  ::LocalFree(descriptor);
  return dacl_set;
}

bool close_file(FileHandle file) {
  return file == kNoFile || ::CloseHandle(win32_handle(file)) != 0;
}

bool remove_file(FileHandle file, const char* /*path*/) {
  const bool marked = mark_for_deletion(win32_handle(file));
  return close_file(file) && marked;
}

bool renames_in_one_step(FileHandle /*file*/, const char* /*from*/, const char* /*to*/) {
  return true;
}

RenameOutcome rename_open_file(FileHandle file, const char* /*from*/, const char* to) {
  if (rename_keeping_attributes(win32_handle(file), to, ::GetFileAttributesA(to))) {
    return RenameOutcome::kRenamed;
  }
  return ::GetLastError() == ERROR_NOT_SAME_DEVICE ? RenameOutcome::kOtherFileSystem
                                                   : RenameOutcome::kFailed;
}

bool sync_directory_of(const char* path) {
  return sync_directory(directory_of(path));
}

FileStamp stamp_of(FileHandle file) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(win32_handle(file), &information)) {
    return {};
  }
  FileStamp stamp;
  stamp.device = information.dwVolumeSerialNumber;
  stamp.index = (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
  stamp.size = (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
  // FILETIME counts 100-nanosecond intervals.
  const std::uint64_t written = (std::uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32) |
                                information.ftLastWriteTime.dwLowDateTime;
  stamp.modified_seconds = static_cast<std::int64_t>(written / 10000000);
  stamp.modified_nanoseconds = static_cast<std::int64_t>(written % 10000000 * 100);
  stamp.known = true;
  return stamp;
}

FileStamp stamp_at(const char* path) {
  // Opened for nothing but its attributes, sharing everything, as identity_at does.
  HANDLE file = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return {};
  }
  const FileStamp stamp = stamp_of(file_handle(file));
  ::CloseHandle(file);
  return stamp;
}

// Win32 has no early writing (start_writeback): the sync writes everything.
bool copy_file_contents(FileHandle from, FileHandle to, bool /*write_back*/) {
  const LARGE_INTEGER start{};
  return ::SetFilePointerEx(win32_handle(from), start, nullptr, FILE_BEGIN) &&
         copy_contents(from, to);
}

bool names_same_file(const char* name, const char* file) {
  const FileIdentity standing = identity_at(file, 0);
  if (identity_at(name, FILE_FLAG_OPEN_REPARSE_POINT) == standing ||
      identity_at(name, 0) == standing) {
    return true;
  }
  const std::wstring full_name = full_wide_path(name);
  return !full_name.empty() &&
         ::CompareStringOrdinal(full_name.c_str(), -1, full_wide_path(file).c_str(), -1, TRUE) ==
             CSTR_EQUAL;
}

FileHandle create_scratch_file() {
  wchar_t directory[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, directory);
  if (length == 0 || length > MAX_PATH || ::GetTempFileNameW(directory, L"gbb", 0, name) == 0) {
    return kNoFile;
  }
  HANDLE file = ::CreateFileW(
      name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  return file_handle(file);
}

bool rewind_file(FileHandle file) {
  return ::SetFilePointerEx(win32_handle(file), LARGE_INTEGER{}, nullptr, FILE_BEGIN) != 0;
}

void pause_milliseconds(unsigned milliseconds) {
  ::Sleep(milliseconds);
}

PathKind kind_at(const char* path) {
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == kNoAttributes) {
    return PathKind::kNothing;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory
                                                      : PathKind::kRegularFile;
}

bool nothing_at(const char* path) {
  return ::GetFileAttributesA(path) == kNoAttributes && ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::string resolved_path(const char* path) {
  return path;
}

bool names_open_file(const char* path, FileHandle file) {
  // A file system that gives files no index cannot tell; its files count as the ones named.
  const FileIdentity held = identity_of(win32_handle(file));
  return !held.known || identity_at(path, FILE_FLAG_OPEN_REPARSE_POINT) == held;
}

FileHandle create_new_file(const char* path) {
  return file_handle(create_after_removing(path));
}

bool rename_and_close(FileHandle file, const char* /*from*/, const char* to) {
  HANDLE handle = win32_handle(file);
  const bool renamed = rename_through_handle(handle, to);
  if (!renamed) {
    mark_for_deletion(handle);
  }
  // A close that reports a failed write counts as a failure.
  return close_file(file) && renamed;
}

bool move_to_free_name(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING a file that appeared at `to` is never replaced.
  return ::MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) != 0;
}

bool delete_file(const char* path) {
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes != kNoAttributes && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    (void)::SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  return ::DeleteFileA(path) != 0;
}

FileHandle create_new_name(const char* path, bool& taken) {
  HANDLE file =
      ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const DWORD error = ::GetLastError();
  taken =
      file == INVALID_HANDLE_VALUE && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
  return file == INVALID_HANDLE_VALUE ? kNoFile : file_handle(file);
}

std::vector<TimedPath> paths_beginning_with(const std::string& path_prefix) {
  const std::size_t separator = path_prefix.find_last_of("\\/:");
  const std::string directory =
      separator == std::string::npos ? "" : path_prefix.substr(0, separator + 1);
  std::vector<TimedPath> found;
  WIN32_FIND_DATAA entry{};
  HANDLE listing = ::FindFirstFileExA((path_prefix + "*").c_str(), FindExInfoBasic, &entry,
                                      FindExSearchNameMatch, nullptr, 0);
  if (listing == INVALID_HANDLE_VALUE) {
    return found;
  }
  const std::string name_prefix = path_prefix.substr(directory.size());
  do {
    // The pattern matches short names too; only the long name counts.
    if (std::string_view(entry.cFileName).substr(0, name_prefix.size()) != name_prefix) {
      continue;
    }
    // FILETIME counts 100-nanosecond intervals.
    const std::uint64_t written = (std::uint64_t{entry.ftLastWriteTime.dwHighDateTime} << 32) |
                                  entry.ftLastWriteTime.dwLowDateTime;
    found.push_back({directory + entry.cFileName, static_cast<std::int64_t>(written / 10000000)});
  } while (::FindNextFileA(listing, &entry));
  ::FindClose(listing);
  return found;
}

FileHandle open_lock_file(const char* path, bool create) {
  HANDLE lock = INVALID_HANDLE_VALUE;
  HeldFileWait wait;
  do {
    lock = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (lock == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
      // A file this account may not write can still be locked.
      lock = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
  } while (lock == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_SHARING_VIOLATION &&
           pause_for_holder(wait));
  return lock == INVALID_HANDLE_VALUE ? kNoFile : file_handle(lock);
}

// A blocking LockFileEx could not be given up without overlapped handles, and under Wine a lock
// from elsewhere is reported at once anyway: the request is repeated after pauses that grow to
// 50 ms.
LockRequest lock_within(FileHandle file, long milliseconds) {
  const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(std::max(milliseconds, 0L));
  GrowingPause pause{1, kLongestLockPauseMs};
  for (;;) {
    OVERLAPPED whole_file{};
    if (::LockFileEx(win32_handle(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                     MAXDWORD, MAXDWORD, &whole_file)) {
      return LockRequest::kLocked;
    }
    if (::GetLastError() != ERROR_LOCK_VIOLATION) {
      return LockRequest::kNoLocks;
    }
    const ULONGLONG now = ::GetTickCount64();
    if (now >= end) {
      return LockRequest::kBusy;
    }
    pause.wait(static_cast<unsigned>(std::min<ULONGLONG>(end - now, kLongestLockPauseMs)));
  }
}

bool lock_still_held(FileHandle /*file*/) {
  return true;  // file servers keep a handle's locks for as long as the handle stands
}

bool locks_kept_by_this_machine(FileHandle file) {
  // The volume's root is found by the handle's own path, as the system gives it.
  char path[MAX_PATH + 1];
  const DWORD size = ::GetFinalPathNameByHandleA(win32_handle(file), path, sizeof path,
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (size == 0 || size > MAX_PATH) {
    return false;
  }
  char root[MAX_PATH + 1];
  if (!::GetVolumePathNameA(path, root, sizeof root)) {
    return false;
  }
  const UINT type = ::GetDriveTypeA(root);
  return type == DRIVE_FIXED || type == DRIVE_REMOVABLE || type == DRIVE_RAMDISK;
}

void unlock_file(FileHandle file) {
  if (file != kNoFile) {
    // Unlocked before the close: Windows releases the locks of a closed handle only eventually.
    OVERLAPPED whole_file{};
    ::UnlockFileEx(win32_handle(file), 0, MAXDWORD, MAXDWORD, &whole_file);
    ::CloseHandle(win32_handle(file));
  }
}
