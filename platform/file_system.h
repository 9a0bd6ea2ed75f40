// The only interface between bumpbuild and the operating system. One source file implements it
// per platform (file_system_posix.cpp, file_system_win32.cpp); nothing above this layer knows
// which one was built.
#ifndef BUMPBUILD_PLATFORM_FILE_SYSTEM_H_
#define BUMPBUILD_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>

// An open file: a POSIX descriptor or a Win32 handle, widened to one integer type.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Opens an existing file for reading, in binary mode. Returns kNoFile when the file does not
// exist or cannot be opened; nothing is created. Opening a directory may succeed on POSIX; its
// first read then fails.
FileHandle open_file_for_reading(const char* path);

// Creates the file at `path`, or truncates an existing regular file to length 0, and opens it for
// writing in binary mode. A symbolic link at `path` is never followed, and a file that has other
// names (hard links) is never truncated: nothing is created, truncated or written through them.
// Returns kNoFile on any failure (a link at `path`, a read-only file, a directory that does not
// allow the creation); the file system is then unchanged.
FileHandle create_file_for_writing(const char* path);

// Reads up to `size` bytes into `buffer`. Returns the count read (at least 1), 0 at end of file,
// or -1 on a read error. Interrupted reads are retried.
std::ptrdiff_t read_file(FileHandle file, char* buffer, std::size_t size);

// Writes all `size` bytes of `data`, retrying short and interrupted writes. Returns false on the
// first failing write (a full disk, a file-size limit); the bytes written before it stay.
bool write_file(FileHandle file, const char* data, std::size_t size);

// Makes everything written to `file` durable on stable storage. Returns false on failure.
bool sync_file(FileHandle file);

// Releases `file`. Returns false when the close reports an error (on some file systems the first
// report of a failed write). kNoFile is accepted and returns true.
bool close_file(FileHandle file);

// Deletes the file at `path` (a link itself, never its target). Returns false when nothing was
// deleted.
bool remove_file(const char* path);

// Replaces the file at `target` by the file at `source` so that `target` always names either
// its old content or the complete new one, even across a crash or a power cut, provided the
// caller made `source` durable first (sync_file): the rename is a single atomic step, any
// intermediate copy is synced before it, and the directory of `target` is synced after it. The
// replacement keeps the permission bits (POSIX) or the read-only attribute (Windows) of the old
// `target`. When `source` and `target` lie on different file systems, `source` is first copied into
// a new file beside `target`, which then takes its name; `source` is deleted afterwards. Returns
// true when `target` holds the new content and `source` is gone. Returns false when it does not:
// `target` is then unchanged and `source` is kept; any intermediate copy is deleted.
bool replace_file(const char* source, const char* target);

// An exclusive lock that serializes the runs that update the file at one path, from any process
// and any current directory on this machine.
using FileLock = std::intptr_t;
inline constexpr FileLock kNoLock = -1;

// Blocks until this process holds the exclusive lock for the file at `path`, and returns it.
// The lock stays with the file's path across its replacement by replace_file: a run that waited
// while another replaced the file holds the lock for the new file, not for the old one.
// Returns kNoLock, holding nothing, when the file does not exist or cannot be locked.
FileLock lock_file_exclusively(const char* path);

// Releases a lock from lock_file_exclusively. kNoLock is accepted and does nothing. A lock is
// also released when its process ends, however it ends.
void unlock_file(FileLock lock);

#endif  // BUMPBUILD_PLATFORM_FILE_SYSTEM_H_
