// The bumpbuild command: advances the build number of one component in the version header.
#ifndef BUMPBUILD_UPDATE_BUILD_UPDATE_H_
#define BUMPBUILD_UPDATE_BUILD_UPDATE_H_

// How many times a run starts over when the version file changed under its lock.
inline constexpr int kMaxRunAttempts = 5;

// How long a run waits for the version file's lock by default before it gives up: ten minutes.
inline constexpr int kDefaultLockWaitSeconds = 600;

// Where a run finds the version file and puts its temporary copy, and where a run that bumps
// leaves its snapshot, a copy of the version file as it left it (nullptr or empty: none); and
// how many seconds it waits for the lock at most (0: for ever).
struct UpdatePaths {
  const char* version_file;
  const char* temp_file;
  const char* snapshot_file = nullptr;
  int lock_wait_seconds = kDefaultLockWaitSeconds;
};

// The lock wait that the text `seconds` (BUMPBUILD_LOCK_WAIT) asks for: a whole number of seconds
// in decimal digits, 0 meaning for ever, capped at a year. nullptr, an empty text and anything
// else give kDefaultLockWaitSeconds.
int lock_wait_from(const char* seconds);

// Runs the whole command on `paths`. `argv` holds `argc` arguments, the program name first; the
// one argument after it is the component prefix. A symbolic link at the version path is followed:
// the file it leads to is read and replaced in its own directory, and the link stays. Returns the
// exit status; the only output is one of these messages on standard output, without a line end:
//   - the lock on the version file does not come within paths.lock_wait_seconds, or the version
//     file changed under this run's lock every time in kMaxRunAttempts tries (the lock does not
//     hold): "Can't lock version file", 1, whatever the arguments; version file unchanged,
//     temporary file deleted;
//   - version file cannot be opened: "Can't find version file", 1; nothing is created beside it,
//     and the temporary file is left behind, empty, when it could be created;
//   - not exactly one argument: no message, 0; version file unchanged, temporary file deleted;
//   - temporary file cannot be created (its name is the version file itself, or what stands there
//     cannot be removed): "Can't write temporary file", 1; version file unchanged;
//   - the version file is not a regular file, or reading it fails: "Can't read version file", 1;
//     version file unchanged, temporary file deleted;
//   - writing or syncing the temporary file fails: "Can't write temporary file", 1; version file
//     unchanged, temporary file deleted;
//   - the prefix is empty, or no line carries its key and separator: "unknown parameter", 1;
//     version file unchanged, temporary file deleted;
//   - the rewritten copy cannot take the version file's place: "Can't replace version file", 1;
//     version file unchanged, the rewritten copy left as the temporary file; or, where the failed
//     replacement took the version file away and the copy could not take its place either, no
//     version file, the complete rewritten copy kept beside it (saved_copy_path), and the
//     temporary file too;
//   - the snapshot path cannot serve (checked after the temporary file): its directory does not
//     exist or may not be written, a directory stands there, or it names the version file, its
//     lock companion, its copy beside it or the temporary file, also through links: "Can't write
//     snapshot", 1; version file unchanged, temporary file deleted;
//   - the snapshot cannot be written: "Can't write snapshot", 1; version file unchanged,
//     temporary file deleted; when only its final rename fails, the version file is replaced
//     and that build number is given to nobody;
//   - otherwise: no message, 0; every key line carries the next build number, every line ends in
//     CR LF, the text ends where a Ctrl-Z stood, the file keeps its owner, group, extended
//     attributes and permission bits where the run may set them, and the temporary file is gone.
// With a snapshot path, a file stands there afterwards exactly when the status is 0 and the
// version file was bumped: a copy of it as this run left it, written while the lock is still
// held. Every other outcome removes what an earlier run left at that path, except that a path
// refused as above is never touched.
// Once the lock is held, a complete copy that an earlier run kept beside a missing version file
// is put in its place (restore_saved_copy), and this run bumps it.
// Runs on one version file are serialized by the exclusive lock of lock_file_exclusively, held
// from before the temporary file is touched until the version file has been replaced; the
// temporary file has its own lock, taken after that one, against runs for other version files
// that share the current directory. Just before the replacement the run checks that the version
// path still names the file, in the state, that it read (same_stamp); where a lock was lost (a
// file server restarted) and another run replaced the file meanwhile, this run replaces nothing
// and starts again on the new file, so that status 0 always means one increment that landed.
int run_build_update(int argc, const char* const* argv, const UpdatePaths& paths);

// Runs the command on the paths this program was built with, in a process made safe for it first
// (prepare_process): "/tools/cc/version.h" on POSIX (the root of the file system standing for the
// root of the current drive), "\tools\cc\version.h" on Windows, and "$$TEMP.TMP" in the current
// directory, unless the build overrode them. The snapshot path is the environment variable
// BUMPBUILD_SNAPSHOT, when it is set, and the lock wait BUMPBUILD_LOCK_WAIT (lock_wait_from).
int run_build_update(int argc, const char* const* argv);

#endif  // BUMPBUILD_UPDATE_BUILD_UPDATE_H_
