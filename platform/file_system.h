// The only interface between bumpbuild and the operating system. One source file implements it
// per platform (file_system_posix.cpp, file_system_win32.cpp); nothing above this layer knows
// which one was built.
#ifndef BUMPBUILD_PLATFORM_FILE_SYSTEM_H_
#define BUMPBUILD_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// Makes the process safe to start from any shell, before it opens a file: standard descriptors
// that were closed are opened on the null device, so that no file takes their place and no
// message lands in one; a message to a reader that has gone and a write beyond a file-size limit
// fail as writes instead of ending the process.
void prepare_process();

// An open file: a POSIX descriptor or a Win32 handle, widened to one integer type.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Opens an existing file for reading, in binary mode. Returns kNoFile when the file does not
// exist or cannot be opened (Windows: after waiting about five seconds for another program that
// holds it without read sharing; POSIX: after trying again for about a second where the open
// failed as a file server's client fails for a moment on a file that stands); nothing is created.
// Opening a directory or a device may succeed; is_regular_file tells.
FileHandle open_file_for_reading(const char* path);

// True when `file` is an ordinary file on a disk: not a directory, a device, a pipe or a socket.
bool is_regular_file(FileHandle file);

// Creates a new, empty file at `path`, open for reading and writing, that only this process may
// write (Windows: nor rename or delete while it is open), holding an exclusive lock on it until it
// is closed (POSIX: on the descriptor returned; Windows: on a byte far beyond its end, so readers
// pass). Whatever stood at `path` is removed first, never followed; a file that another run holds
// is removed once that run lets it go. Returns kNoFile, with nothing changed, when `path` names
// the file `protected_file` names (nullptr: none), also through links; and kNoFile when what
// stands there cannot be removed (a directory, another user's file in a sticky directory, Windows:
// a file held without delete sharing for more than about five seconds) or the creation fails.
FileHandle create_file_for_writing(const char* path, const char* protected_file);

// Reads up to `size` bytes into `buffer`. Returns the count read (at least 1), 0 at end of file,
// or -1 on a read error. Interrupted reads are retried.
std::ptrdiff_t read_file(FileHandle file, char* buffer, std::size_t size);

// Writes all `size` bytes of `data`, retrying short and interrupted writes. Returns false on the
// first failing write (a full disk, a file-size limit); the bytes written before it stay.
bool write_file(FileHandle file, const char* data, std::size_t size);

// Makes everything written to `file` (a file or a directory) durable on stable storage. Returns
// false on failure. (macOS: F_FULLFSYNC, which reaches past the drive's cache, and fsync where the
// file system refuses it.)
bool sync_file(FileHandle file);

// Asks the system to start writing the `size` bytes at `offset` in `file` out to stable storage,
// without waiting for it, so that a later sync_file has less left to wait for. Only a hint: it
// makes nothing durable, changes no data, and a failure is left for sync_file to report (Linux:
// sync_file_range; elsewhere it does nothing).
void start_writeback(FileHandle file, std::uint64_t offset, std::uint64_t size);

// Gives `to` the permissions of `from`, and its owner and group where this process may set them:
// POSIX: owner, group and extended attributes (POSIX ACLs among them; copied with the Linux or the
// macOS calls, and where the system has neither, `to` gets none), then the permission bits;
// Windows: the DACL as it stands (inherited entries too, as a moved file keeps them), then owner
// and group, nothing where `to` lies on a volume without security descriptors. Returns false only
// when the permissions (permission bits, DACL) could not be set. The attributes that Windows keeps
// beside them (read-only, hidden and the rest) are carried over by rename_open_file.
bool copy_file_attributes(FileHandle from, FileHandle to);

// Releases `file`. Returns false when the close reports an error (on some file systems the first
// report of a failed write). kNoFile is accepted and returns true.
bool close_file(FileHandle file);

// Deletes `path` if it still names `file`, a file from create_file_for_writing, then closes
// `file`. Returns true when the file is gone from `path`; nothing else is ever deleted.
bool remove_file(FileHandle file, const char* path);

// True when a rename of the open `file` from `from` onto `to` is one step that no other user can
// undo or redirect: one file system, and (POSIX) a directory of `from` where only this user
// changes names. Windows: true, as its rename goes through the handle; across volumes it fails.
bool renames_in_one_step(FileHandle file, const char* from, const char* to);

enum class RenameOutcome { kRenamed, kOtherFileSystem, kHeldDeleted, kFailed };

// Renames the open `file`, at `from`, onto `to` in one step, replacing what stands there (a link
// itself); a rename reported failed that took place counts as done. POSIX: by path, once `from` is
// found to name `file`; Windows: through the handle, `file` taking the read-only, hidden, system,
// archive and not-content-indexed attributes of `to`, whose holder is waited for about five
// seconds. kHeldDeleted: `to` is a deleted file still held open, its name refused until then (SMB).
RenameOutcome rename_open_file(FileHandle file, const char* from, const char* to);

// Makes the names in the directory that holds `path` durable, a rename onto `path` among them.
// Returns false when it could not (some file systems refuse to sync a directory).
bool sync_directory_of(const char* path);

// What identifies one state of a file: the file itself (POSIX: device and inode; Windows: volume
// serial and file index), its size and its modification time (POSIX: to the nanosecond where the
// system keeps it; Windows: the last-write time). A file replaced by another, or written to,
// shows another stamp; `known` is false where it could not be read.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;
  std::int64_t modified_seconds = 0;
  std::int64_t modified_nanoseconds = 0;
  bool known = false;
};

// The stamp of the open `file`, and of the file `path` names (links followed). Reading a stamp
// costs one system call (POSIX) or an open, a query and a close (Windows).
FileStamp stamp_of(FileHandle file);
FileStamp stamp_at(const char* path);

// True when both stamps are known and name one file in one state.
inline bool same_stamp(const FileStamp& one, const FileStamp& other) {
  return one.known && other.known && one.device == other.device && one.index == other.index &&
         one.size == other.size && one.modified_seconds == other.modified_seconds &&
         one.modified_nanoseconds == other.modified_nanoseconds;
}

// Copies the whole content of `from`, from its first byte whatever its position, to `to` at its
// position; with `write_back`, each stretch is handed to the disk as it is copied
// (start_writeback), for a copy that is synced next. Returns false on a failed read or write; the
// bytes written before it stay.
bool copy_file_contents(FileHandle from, FileHandle to, bool write_back);

// True when `name` names the file that `file` names: the same file (a hard link, or a link that
// leads to it), or the same name once the links of the directories are followed (POSIX) or as
// Windows compares full paths, whether or not anything stands there yet.
bool names_same_file(const char* name, const char* file);

// Creates a new, empty file that nobody else can open by a name, open for reading and writing,
// which vanishes when it is closed: a place for a child's input or output. Returns kNoFile when
// it cannot be created (POSIX: in TMPDIR or /tmp; Windows: in the user's temporary directory).
FileHandle create_scratch_file();

// Moves `file`'s position back to its first byte, so that it reads what a child wrote there, or
// gives a child what was written. Returns false on failure.
bool rewind_file(FileHandle file);

// Sleeps for `milliseconds`.
void pause_milliseconds(unsigned milliseconds);

// The pause between two tries of something that waits for another program: each wait() sleeps
// twice as long as the one before, from `next_ms` up to `longest_ms`, and never longer than
// `left_ms`, where a wait has that much left of its time.
struct GrowingPause {
  unsigned next_ms = 100;
  unsigned longest_ms = 1600;
  void wait(unsigned left_ms = std::numeric_limits<unsigned>::max()) {
    pause_milliseconds(next_ms < left_ms ? next_ms : left_ms);
    next_ms = next_ms < longest_ms / 2 ? next_ms * 2 : longest_ms;
  }
};

// What stands at `path`, links followed.
enum class PathKind { kNothing, kRegularFile, kDirectory, kOther };
PathKind kind_at(const char* path);

// True when nothing at all stands at `path`, not even a dangling link.
bool nothing_at(const char* path);

// The path of the file that `path` names once symbolic links are followed (POSIX; Windows takes
// `path` as it stands), or `path` itself when nothing exists there.
std::string resolved_path(const char* path);

// True when `path` itself (a link is not followed) names the open `file`, not merely a file of the
// same name. Windows, on a file system that gives files no index: true.
bool names_open_file(const char* path, FileHandle file);

// Creates a new, empty file at `path`, readable by all as the umask allows, open for reading and
// writing, removing whatever file stood there first and never following a link. Returns kNoFile
// when it cannot: what stood there may then be gone.
FileHandle create_new_file(const char* path);

// Closes `file`, open at `from`, and renames it onto `to` in one step, replacing what stood there
// (a link itself, never what it leads to); nothing is synced. Returns true when `to` names it;
// false when the close reported an error or the rename failed, and then `from` may still name it.
bool rename_and_close(FileHandle file, const char* from, const char* to);

// Moves the file at `from` onto `to` unless something stands at `to`, which is never replaced.
// Returns true when `to` names it.
bool move_to_free_name(const char* from, const char* to);

// Deletes the file at `path` (a link itself), also a read-only one (Windows). Returns false when
// nothing was deleted.
bool delete_file(const char* path);

// Creates a new, empty file at `path`, open for writing, never replacing or following what stands
// there: of the runs that create one name, on any machine, the file system lets exactly one
// succeed (NFS: an exclusive create, whose retransmission the server knows for its own; SMB and
// Windows: CREATE_NEW). Returns the file; kNoFile with `taken` set when something stands at
// `path`, or clear when the creation failed otherwise.
FileHandle create_new_name(const char* path, bool& taken);

// A path and its file's modification time, in whole seconds of its file system's clock (a file
// server's own).
struct TimedPath {
  std::string path;
  std::int64_t modified_seconds = 0;
};

// The files in one directory whose paths begin with `path_prefix` (the directory, a separator and
// the start of a name), links not followed. Empty when the directory cannot be read.
std::vector<TimedPath> paths_beginning_with(const std::string& path_prefix);

// Opens the file at `path` to lock it, creating it (readable and writable by all, as the umask
// allows) when `create` says so, never through a symbolic link and only as a regular file (POSIX);
// where it may not be written it is opened for reading, which still locks on a local disk.
// Windows: opened without delete sharing, so that nobody deletes or renames it while it is held;
// another program that holds it without read and write sharing is waited for, about five seconds.
// Returns kNoFile when it cannot be opened.
FileHandle open_lock_file(const char* path, bool create);

enum class LockRequest { kLocked, kBusy, kNoLocks };

// Asks for the exclusive lock on the whole of `file`, from open_lock_file, for at most
// `milliseconds` (0: once), a lock that file servers carry between machines (POSIX `flock` on a
// descriptor open for writing, which NFS with its lock service and SMB carry; Win32 `LockFileEx`).
// Returns kLocked once it is held, kBusy when another held it all the time, and kNoLocks when the
// file system offers no lock or refuses this one. A free lock is taken at once (a request that must
// not wait is refused with EWOULDBLOCK, or EACCES on SMB). POSIX: otherwise the request blocks in
// the kernel among the other waiters until a timer signal ends it (SIGALRM, its handler in place
// only meanwhile, so a caller must not use that timer). POSIX on an SMB share, where a blocked
// request outlives every signal, and Windows: the request never blocks; it is repeated after
// pauses that grow to 100 ms (Windows: 50 ms), which serves every waiter in time but in no fixed
// order.
LockRequest lock_within(FileHandle file, long milliseconds);

// Whether `file`, locked by lock_within, still holds its lock on the file server. An NFSv3 server
// whose lock service restarts forgets every lock and tells no client, so another run may lock
// after its grace period. POSIX on NFS: the lock is asked for again without waiting, which the
// server grants its holder (and a lock it forgot that nobody took since); false when another
// holds it now. Elsewhere, and for kNoFile, true.
bool lock_still_held(FileHandle file);

// True when this machine's own kernel keeps the locks on `file`: a file system on a local disk,
// whose locks no other machine's restart can make it forget. False on a file server's share (NFS,
// SMB; Windows: a remote drive or a UNC path) and wherever the file system cannot be told.
bool locks_kept_by_this_machine(FileHandle file);

// Releases the lock on `file`, from open_lock_file, and closes it. kNoFile is accepted and does
// nothing. A lock is also released when its process ends, however it ends.
void unlock_file(FileHandle file);

#endif  // BUMPBUILD_PLATFORM_FILE_SYSTEM_H_
