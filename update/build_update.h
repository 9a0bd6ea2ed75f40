// The bumpbuild command: advances the build number of one component in the version header.
#ifndef BUMPBUILD_UPDATE_BUILD_UPDATE_H_
#define BUMPBUILD_UPDATE_BUILD_UPDATE_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "textio/text_file.h"

// A line piece holds at most this many bytes of text; its buffer has room for one more, the zero.
inline constexpr std::size_t kLinePieceCapacity = 256;
// Rewriting a piece can make it longer: up to 11 bytes of number and 2 bytes of line end follow
// the separator, which may stand near the end of a full piece.
inline constexpr std::size_t kMaxLinePieceGrowth = 13;
// The size a line buffer needs so that a rewritten piece and its zero byte always fit.
inline constexpr std::size_t kLineBufferSize = kLinePieceCapacity + kMaxLinePieceGrowth;
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

// Copies the text of `input` to `output`, every piece rewritten by bump_version_line for the
// component `prefix` and every LF written as CR LF; lines already in that form, CR LF and no other
// CR, are copied as they stand and rewritten in place, with the same bytes as a result, whatever
// the input's block size. With `write_back`, `output` is written back as it is written
// (TextOutputFile::write_back_as_written) from the first rewritten line on; a copy without one is
// deleted, and deleting a file that is being written out waits for the disk. Returns whether any
// piece was rewritten. Returns false, having copied nothing, when the prefix is empty or its keys
// fit no piece (longer than kMaxKeySize, or holding a CR, an LF or a Ctrl-Z). Stops early at a
// failed read or write: input.failed() and output.failed() tell.
bool copy_with_bumped_lines(TextInputFile& input, TextOutputFile& output, const char* prefix,
                            bool write_back = false);

// Rewrites the line piece of `length` bytes at `piece` in place when it is a string line (it holds
// `string_key`) whose last "." is followed by the build field, or a number line (it holds
// `number_key` but not `string_key`) whose last "," is. The build field, everything after that
// separator, becomes the build number it starts with plus one, in decimal, followed by a double
// quote and LF on a string line or by LF alone on a number line; `length` is updated. Zero bytes
// are ordinary bytes of the piece. A string line without "." is left unchanged and is not tried as
// a number line. Keys match anywhere in the piece, byte for byte.
// Returns the number of bytes now following the separator (at least 2), or 0 when the piece is
// unchanged. The buffer at `piece` must hold `length` + kMaxLinePieceGrowth + 1 bytes.
int bump_version_line(char* piece, std::size_t& length, std::string_view string_key,
                      std::string_view number_key);

// Writes the new build field of a key line, up to its line end, to `out`: the build number that
// `field` (the bytes after the separator) starts with, plus one, in decimal, then a double quote
// on a string line. `out` may be where `field` starts. Returns the number of bytes written, at most
// 12.
std::size_t write_next_build_field(std::string_view field, bool string_line, char* out);

// Reads the build number at the start of `field`: white space (HT, LF, VT, FF, CR, space) is
// skipped, then one optional "+" or "-", then decimal digits while they last. Returns 0 when no
// digit follows. The value wraps modulo 2^32 and is read as a signed 32-bit number.
std::int32_t parse_leading_int(std::string_view field);

#endif  // BUMPBUILD_UPDATE_BUILD_UPDATE_H_
