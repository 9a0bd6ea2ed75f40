// The lock that serializes the runs that update one version file, on every machine that reaches
// it, and the turn that runs of git-bumpbuild in one repository take.
#ifndef BUMPBUILD_UPDATE_VERSION_LOCK_H_
#define BUMPBUILD_UPDATE_VERSION_LOCK_H_

#include <string>

#include "platform/file_system.h"

// A held lock: the open lock file, released by unlock_file.
using FileLock = FileHandle;
inline constexpr FileLock kNoLock = kNoFile;
// lock_file_exclusively waited as long as it was allowed to and holds nothing.
inline constexpr FileLock kLockTimedOut = -2;

// How long lock_file_exclusively asks for the lock through one open companion before it gives the
// request up, closes the companion, opens it again and asks anew: a fresh request meets the
// server's locks as they are now, and the close frees a lock that the server granted to the old
// handle but the client never delivered.
inline constexpr int kLockSliceSeconds = 10;

// The file whose lock stands for `file`'s: never replaced, never deleted, so nothing holds the
// version file itself open while it is renamed over.
inline std::string lock_companion_path(const std::string& file) {
  return file + ".lock";
}

// Stores in `resolved` the file that `path` leads to (resolved_path) and waits until this process
// holds the exclusive lock on its companion, created on first use, and returns it. A missing file
// is waited for too when its companion exists (an SMB client may see a file missing that is there,
// or a run may be about to give it its name). The wait goes in slices of kLockSliceSeconds; after
// `wait_seconds` in all (0: no bound) it ends in kLockTimedOut, holding nothing. A run that waited
// locks again when `path` has come to lead elsewhere or the companion was replaced meanwhile.
// Returns kNoLock, holding nothing, when `path` leads to no regular file (nor, when missing, to a
// companion) or the file system offers no locks: the run then goes on unlocked.
FileLock lock_file_exclusively(const char* path, std::string& resolved, int wait_seconds);

// Takes the exclusive lock on the file at `path`, created if missing and never deleted, if nobody
// holds it now. Returns the lock; kNoLock with `busy` set when another holds it; kNoLock with
// `busy` clear when the file cannot be opened or locked at all.
FileLock try_lock_file(const char* path, bool& busy);

#endif  // BUMPBUILD_UPDATE_VERSION_LOCK_H_
