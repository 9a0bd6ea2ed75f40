// The bumpbuild command: advances the build number of one component in the version header.
#ifndef BUMPBUILD_UPDATE_BUILD_UPDATE_H_
#define BUMPBUILD_UPDATE_BUILD_UPDATE_H_

#include "update/default_wait.h"

// How many times a run starts over when the version file changed under its lock.
inline constexpr int kMaxRunAttempts = 5;

// Where a run finds the version file and puts its temporary copy, and where a run that bumps
// leaves its snapshot, a copy of the version file as it left it (nullptr or empty: none); and
// how many seconds it waits for the lock at most (0: for ever).
struct UpdatePaths {
  const char* version_file;
  const char* temp_file;
  const char* snapshot_file = nullptr;
  int lock_wait_seconds = kDefaultWaitSeconds;
};

// The lock wait that the text `seconds` (BUMPBUILD_LOCK_WAIT) asks for: a whole number of seconds
// in decimal digits, 0 meaning for ever, capped at a year. nullptr, an empty text and anything
// else give kDefaultWaitSeconds.
int lock_wait_from(const char* seconds);

// Runs the whole command on `paths`: `argv` holds `argc` arguments, the program name first, then
// the component prefix. Returns the exit status and prints at most one message, without a line
// end, on standard output; bumpbuild(1) lists each message with what it leaves behind.
// - 0 with one argument: exactly one increment landed. The version file (the file a link at its
//   path leads to) is the rewritten copy, with its owner, attributes and mode, and the snapshot,
//   when asked for, holds that copy. Without exactly one argument: 0, and nothing changes.
// - 1: nothing landed, and the version file is as it was, or, where a replacement failed halfway,
//   kept complete as saved_copy_path for the next run; but "Can't write snapshot" may follow an
//   increment that landed, a number then given to nobody.
// The temporary file is gone, except after "Can't find version file" (left empty) and "Can't
// replace version file" (the rewritten copy). Runs on one version file take turns under
// lock_file_exclusively; a run whose file changed under its lock (a lock a file server lost)
// starts again, kMaxRunAttempts times at most, and a run on a file server whose content another
// run claimed (claim_content) starts again as long as the lock wait lasts; then "Can't lock
// version file".
int run_build_update(int argc, const char* const* argv, const UpdatePaths& paths);

// Runs the command on the paths this program was built with, in a process made safe for it first
// (prepare_process): "/tools/cc/version.h" on POSIX (the root of the file system standing for the
// root of the current drive), "\tools\cc\version.h" on Windows, and "$$TEMP.TMP" in the current
// directory, unless the build overrode them. The snapshot path is the environment variable
// BUMPBUILD_SNAPSHOT, when it is set, and the lock wait BUMPBUILD_LOCK_WAIT (lock_wait_from).
int run_build_update(int argc, const char* const* argv);

#endif  // BUMPBUILD_UPDATE_BUILD_UPDATE_H_
