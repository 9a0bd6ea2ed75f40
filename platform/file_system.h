// The only interface between bumpbuild and the operating system. One source file implements it
// per platform (file_system_posix.cpp, file_system_win32.cpp); nothing above this layer knows
// which one was built.
#ifndef BUMPBUILD_PLATFORM_FILE_SYSTEM_H_
#define BUMPBUILD_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
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

// Creates a new, empty file at `path` that only this process has written (others may read it
// but not write it; Windows: nor rename or delete it while it is open), opens it for reading and
// writing in binary mode and holds an exclusive lock on it (POSIX: on the very descriptor returned,
// which is also what a file server sees; Windows: on a byte far beyond its end, so that readers
// are not stopped) until it is closed. Whatever stood at `path` is removed first, never followed
// (a link, a file another user left, a leftover of another run); a file that another run holds
// is removed only after that run has let it go, however long that takes. Returns kNoFile, with
// nothing at `path` changed, when `path` names the same file as `protected_file` (a hard link to
// it, or the file a link at `protected_file` leads to; `protected_file` may be nullptr). Returns
// kNoFile when what stands at `path` cannot be removed (a directory, another user's file in a
// sticky directory, Windows: a file another program holds open without delete sharing for more
// than about five seconds) or the file cannot be created; what stood there may then be gone.
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
// beside them (read-only, hidden and the rest) are carried over by replace_file.
bool copy_file_attributes(FileHandle from, FileHandle to);

// Releases `file`. Returns false when the close reports an error (on some file systems the first
// report of a failed write). kNoFile is accepted and returns true.
bool close_file(FileHandle file);

// Deletes `path` if it still names `file`, a file from create_file_for_writing, then closes
// `file`. Returns true when the file is gone from `path`; nothing else is ever deleted.
bool remove_file(FileHandle file, const char* path);

// True when replace_file will copy `source` into a new file beside `target` instead of renaming
// `source_path` onto it: then that copy is what gets synced, and syncing `source` as well would
// flush the whole file twice.
bool replacement_copies_beside(FileHandle source, const char* source_path, const char* target);

// Replaces the file at `target` by `source`, the open file that create_file_for_writing made at
// `source_path`, so that `target` always names either its old content or the complete new one,
// even across a crash or a power cut: the rename is a single atomic step, any intermediate copy is
// synced before it, and the directory of `target` is synced after it. `source_synced` tells
// whether the caller made `source` durable (sync_file); a source that is not, because
// replacement_copies_beside said so, is always copied beside `target`, even where a rename has
// become possible since (POSIX: a directory whose permissions changed meanwhile).
// Nothing holds the old `target` open meanwhile. What is renamed onto `target` is always this
// process's own file: POSIX renames `source_path` only after checking that it still names
// `source`, and only where no other user may change the names in its directory; Windows renames
// `source` through its handle, which nobody else can rename or delete meanwhile. Otherwise, and
// when `source_path` and `target` lie on different file systems, `source` is first copied into a
// new file beside `target`, "<target>.bumpbuild-new" (removed first if an earlier run was killed
// there), which then takes `target`'s name the same way, and `source_path` is deleted. A rename
// that reports an error but did take place counts as done. On an SMB share (POSIX), where the
// server refuses to replace a file that a program on this machine holds open and the Linux client
// then deletes it (it vanishes once closed), the new file waits under saved_copy_path(target)
// until the deleted one has gone, a minute at most, and then takes its name. Windows: a `target`
// or a copy beside it that another program holds open without delete sharing is waited for,
// about five
// seconds at most, before the replacement fails. The replacement takes the read-only, hidden,
// system, archive and not-content-indexed attributes of the old `target` (Windows) before the
// rename. Closes `source` in every case. Returns true when `target` holds the new content and
// `source_path` no longer names it, also when a rename that failed had taken the old `target`
// away and putting the synced copy in its place once more succeeded. Returns false when it does
// not: `source_path` still names the written file, with its own attributes, and either `target`
// is unchanged and any intermediate copy is deleted, or `target` is gone (or deleted and still
// held open) and the complete, synced new copy is kept as saved_copy_path(target) for
// restore_saved_copy (filled under copy_beside_path(target), renamed only once complete); when
// even that rename fails, the copy stays under copy_beside_path(target), which the next run
// deletes.
bool replace_file(FileHandle source, const char* source_path, const char* target,
                  bool source_synced);

// When nothing stands at `path` (no file, no link) but a complete copy of the version file is
// kept beside it, saved_copy_path(path), from a run whose replacement failed halfway: moves
// that copy onto `path`, never replacing a file that has appeared there meanwhile. Returns true
// when a copy was moved into place; false, changing nothing, otherwise.
bool restore_saved_copy(const char* path);

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
// position, without asking for it to be written to the disk. Returns false on a failed read or
// write; the bytes written before it stay.
bool copy_file_contents(FileHandle from, FileHandle to);

// The names the platform layer gives the files it keeps beside `file`: its lock companion
// (lock_file_exclusively) and the copy on its way to replacing it (replace_file,
// create_snapshot_file).
inline std::string lock_companion_path(const std::string& file) {
  return file + ".lock";
}
inline std::string copy_beside_path(const std::string& file) {
  return file + ".bumpbuild-new";
}
// The complete copy that replace_file keeps beside `file` when a failed replacement took `file`
// away (restore_saved_copy).
inline std::string saved_copy_path(const std::string& file) {
  return file + ".bumpbuild-saved";
}

// True when one of `names` names a file that one of `files` names: the same file (a hard link, or
// a link that leads to it), or the same name once the links of the directories are followed
// (POSIX) or as Windows compares full paths, whether or not anything stands there yet.
bool names_one_of(const std::vector<std::string>& names, const std::vector<std::string>& files);

// Starts a snapshot at `path`, a copy of the version file that a run leaves for its build: creates
// the new, empty file copy_beside_path(path) (readable by all, as the umask allows), removing
// whatever stood under that name first, never following a link, and returns it. Nothing at `path`
// itself is touched yet. Returns kNoFile, with nothing created or removed, when a directory
// stands at `path`, and kNoFile when the file beside it cannot be created (a directory that does
// not exist or may not be written).
FileHandle create_snapshot_file(const char* path);

// Closes `snapshot`, from create_snapshot_file for `path`, and renames it onto `path` in one step,
// replacing what stood there (a link itself, never what it leads to): a reader of `path` sees the
// old file or the whole new one. Nothing is synced. Returns true when `path` names the snapshot.
// Returns false when it cannot: then neither `path` nor the name beside it is left standing.
// kNoFile is accepted and returns true, touching nothing.
bool publish_snapshot(FileHandle snapshot, const char* path);

// Deletes `snapshot`, from create_snapshot_file for `path`, and whatever file stands at `path`
// (from an earlier run), then closes `snapshot`. kNoFile is accepted and does nothing, so a path
// that was refused, or that create_snapshot_file could not serve, is never touched.
void discard_snapshot(FileHandle snapshot, const char* path);

// An exclusive lock that serializes the runs that update one version file.
using FileLock = std::intptr_t;
inline constexpr FileLock kNoLock = -1;
// lock_file_exclusively waited as long as it was allowed to and holds nothing.
inline constexpr FileLock kLockTimedOut = -2;

// How long lock_file_exclusively asks for the lock through one open companion before it gives the
// request up, closes the companion, opens it again and asks anew: a fresh request meets the
// server's locks as they are now, and the close frees a lock that the server granted to the old
// handle but the client never delivered.
inline constexpr int kLockSliceSeconds = 10;

// Stores in `resolved` the path of the file that `path` names once symbolic links are followed
// (POSIX; Windows takes `path` as it stands), or `path` itself when nothing exists there. Then,
// when that is a regular file, or (POSIX) nothing but its companion exists (an SMB client may
// see a file missing that is there), waits until this process holds the exclusive lock on its
// companion, "<resolved>.lock", which is created beside it on first use (readable and writable by
// all, as the umask allows) and never replaced or deleted, and returns the lock. The wait goes in
// slices of kLockSliceSeconds, the companion closed and opened again between two; after
// `wait_seconds` in all (0: no bound) it ends in kLockTimedOut, holding nothing. A free lock is
// taken at once (a request that must not wait is refused with EWOULDBLOCK, or EACCES on SMB).
// POSIX: otherwise the request blocks in the kernel among the other waiters and a timer signal
// ends the slice (SIGALRM, its handler in place only while the request waits, so a caller must
// not use that timer). POSIX on an SMB share, where a blocked request outlives every signal, and
// Windows: the request never blocks; it is repeated after pauses that grow to 100 ms (Windows:
// 50 ms), which serves every waiter in time but in no fixed order.
// The companion is locked through a file server's own locks (POSIX `flock` on a descriptor open
// for writing, which NFS with its lock service and SMB carry to the server; Win32 `LockFileEx`),
// so the lock serializes runs on every machine that reaches the file through such a server, and
// never holds the version file itself open. A run that waited re-checks that `path` still leads
// to the file it locked, and otherwise locks the file it leads to now.
// Returns kNoLock, holding nothing, when there is no regular file at `path` (POSIX: nor its
// companion; nothing is created then), and when the companion cannot be opened (Windows: not even
// after waiting about five seconds for another program that holds it) or the file system offers no
// locks: the run then goes on unlocked.
FileLock lock_file_exclusively(const char* path, std::string& resolved, int wait_seconds);

// Releases a lock from lock_file_exclusively. kNoLock is accepted and does nothing. A lock is
// also released when its process ends, however it ends.
void unlock_file(FileLock lock);

// Deletes "<target>.bumpbuild-new", the copy that a run killed inside replace_file may have left
// beside `target`, so that no run leaves it there for good, whichever way it replaces `target`.
// Call it only while holding the lock on `target` from lock_file_exclusively: a run that copies
// beside `target` holds that lock, so nothing is writing the copy then. Whatever cannot be deleted
// stays (replace_file deletes it again before it copies beside `target`, or fails).
void remove_leftover_copy(const char* target);

// Creates a new, empty file that nobody else can open by a name, open for reading and writing,
// which vanishes when it is closed: a place for a child's input or output. Returns kNoFile when
// it cannot be created (POSIX: in TMPDIR or /tmp; Windows: in the user's temporary directory).
FileHandle create_scratch_file();

// Moves `file`'s position back to its first byte, so that it reads what a child wrote there, or
// gives a child what was written. Returns false on failure.
bool rewind_file(FileHandle file);

// Sleeps for `milliseconds`.
void pause_milliseconds(unsigned milliseconds);

// Takes the exclusive lock on the file at `path` if nobody holds it now, without waiting: a lock
// that runs of one program take turns with. The file is created if missing (readable and writable
// by all, as the umask allows) and never deleted; the lock is the same kind as
// lock_file_exclusively's, released by unlock_file or when the process ends. Returns the lock;
// returns kNoLock with `busy` set when another holds it, and kNoLock with `busy` clear when the
// file cannot be opened or locked at all.
FileLock try_lock_file(const char* path, bool& busy);

#endif  // BUMPBUILD_PLATFORM_FILE_SYSTEM_H_
