// Replacing a file by a new copy of it, the one way both programs do it: the file names its old
// content or the whole new one at every moment, a kill, a crash or a power cut included. The
// calling sequence:
//
//   Replacement r = begin_replacement(target, temp, holds_lock);
//                  // restores a copy that a failed run saved, removes a copy that a killed run
//                  // left (only while holding the lock), creates `temp`, decides where it goes
//   ... write r.file (a stream may hold it meanwhile and hand it back), give it the old file's
//       attributes, sync it unless r.copies_beside ...
//   then either  commit_replacement(r, synced)   // replaces `target`
//   or           roll_back_replacement(r)        // deletes `temp`
//
// Where a lock may be forgotten, the content is claimed (below) just before the commit, and the
// claim settled after it.
#ifndef BUMPBUILD_UPDATE_REPLACEMENT_H_
#define BUMPBUILD_UPDATE_REPLACEMENT_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_system.h"

// The copy on its way to replacing `file` where a rename cannot (commit_replacement), and the
// snapshot's copy on its way to its name.
inline std::string copy_beside_path(const std::string& file) {
  return file + ".bumpbuild-new";
}

// The complete copy kept beside `file` when a failed replacement took `file` away.
inline std::string saved_copy_path(const std::string& file) {
  return file + ".bumpbuild-saved";
}

// One replacement of `target` by the new copy written to `temp`, `file` while it is open.
struct Replacement {
  std::string target;
  std::string temp;
  FileHandle file = kNoFile;
  bool copies_beside = false;  // the commit copies `file` beside `target`: syncing it is wasted
};

// Begins replacing `target`: when nothing stands there (no file, no link) but saved_copy_path
// holds the complete copy of a run whose replacement failed halfway, moves that copy onto it,
// never over a file that appeared meanwhile; with `holds_lock`, the lock on `target` that every
// run copying beside it holds, deletes a copy_beside_path that a killed run left. Then creates the
// temporary file at `temp` (create_file_for_writing, never over `target`): `file` is kNoFile when
// it cannot be created.
Replacement begin_replacement(const char* target, const char* temp, bool holds_lock);

// Replaces `target` by `file`, closed on return, so that `target` names its old content or the
// whole new one at every moment: one rename of `file` where it is one step (renames_in_one_step)
// and `synced` says the caller synced it, else a synced copy of it made at copy_beside_path and
// renamed; the directory synced after. Returns true when `target` holds the new content and `temp`
// is gone. Returns false otherwise, `temp` still holding the new copy: `target` is unchanged, or a
// failed rename took it away and the complete copy is kept at saved_copy_path (else at
// copy_beside_path), for begin_replacement to restore. On an SMB share the copy may wait there, a
// minute at most, for a deleted `target` that a program still holds to go.
bool commit_replacement(Replacement& replacement, bool synced);

// Deletes the temporary file, if `temp` still names `file`, and closes it.
void roll_back_replacement(Replacement& replacement);

// Replaces the regular file at `target` by one that holds `bytes`, as bumpbuild replaces the
// version file: written to `temp` (a name of the caller's own beside it), given `target`'s owner,
// attributes and mode, synced, then committed. Returns kNothingThere, touching nothing, when no
// regular file stands at `target`; kFailed when it could not be replaced, with `target` as
// commit_replacement leaves it and `temp` gone.
enum class ReplaceOutcome { kReplaced, kNothingThere, kFailed };
ReplaceOutcome replace_with_bytes(const char* target, const char* temp, std::string_view bytes);

// The claim. A lock is for taking turns; file servers forget locks (SMB keeps none across an smbd
// restart, NFSv3's lock service forgets on an nfsd restart), and then two runs on two machines may
// both read one content and both replace it: one number given twice. So before it replaces the
// file, a run claims the content it read: it creates the name claim_path(file, content, g) with
// create_new_name, which the file system (the server) lets exactly one creator win, keeps across
// its own restart, and recognizes when a client sends the creation again. Only the winner replaces
// that content; a loser starts again from the file as it is now. The calling sequence:
//
//   ClaimWatch watch;                      // one per run, across its tries
//   ... read the file (its digest), write and sync the new copy ...
//   Claim claim = claim_content(file, content_key(digest, stamp), read_at, watch);
//   kClaimed: replace the file (nothing else in between), then settle_claim(claim)
//   kTaken:   start again;  kFailed: give up, nothing replaced
//
// Bounds, on the run's own clock: a run acts on a content only within kClaimActSeconds of reading
// it, or not at all; so every run that read a content has acted or given up within
// 2 * kClaimActSeconds of its claim, and a claim is kept kClaimKeepSeconds (its server's clock) so
// that none of them can claim it again. A claim whose holder died unused stands in the way until
// a run has seen it for kClaimTakeoverSeconds, with the file still at that content; that run then
// claims the next generation.
inline constexpr int kClaimActSeconds = 10;
inline constexpr int kClaimTakeoverSeconds = kClaimActSeconds + 5;
inline constexpr int kClaimKeepSeconds = 3 * kClaimActSeconds;

// What a claim names: the content a run read (`digest`, TextInputFile::digest) in the state it was
// read in, the modification time of `read` to the second, as every client of a server sees it. So
// runs that read one state of the file claim one name, also when one of them read through a cache
// that the replacement has left behind, while the same text written again later claims another.
std::uint64_t content_key(std::uint64_t digest, const FileStamp& read);

// The name that claims the content `key` of `file` in `generation`.
std::string claim_path(const std::string& file, std::uint64_t key, int generation);

// The claim in a run's way that it keeps watching: which, and since when.
struct ClaimWatch {
  std::string path;
  std::chrono::steady_clock::time_point since;
};

enum class ClaimOutcome { kClaimed, kTaken, kFailed };
struct Claim {
  ClaimOutcome outcome = ClaimOutcome::kFailed;
  FileHandle file = kNoFile;  // the claim's own file, while kClaimed; kNoFile when none is needed
  std::string path;
};

// Claims the content `key` of `file`, which this run read at `read_at`. kClaimed: this run, and no
// other, may replace that content, and must do so at once. kTaken: another run claimed it, or this
// run read it more than kClaimActSeconds ago; `watch` remembers the claim in the way. kFailed: the
// claim cannot be created (a directory this run may not write), nothing claimed.
Claim claim_content(const std::string& file, std::uint64_t key,
                    std::chrono::steady_clock::time_point read_at, ClaimWatch& watch);

// After the replacement of a claimed content (a claim without a file: nothing to do): makes it
// durable on a file server that writes renames out lazily (a byte written to the claim's file and
// flushed, which Samba turns into a sync of its disk, whose journal writes out the rename before
// it), then deletes the claims of `file` that no run can still need, and closes the claim. Returns
// false when the write or the flush failed: the replacement may then be lost with a server's power.
bool settle_claim(const std::string& file, Claim& claim);

// Gives up a claim unused (one without a file: nothing to do), for a run that must not act on it
// after all: deletes it, so that the next run need not wait for it, and closes it.
void drop_claim(Claim& claim);

#endif  // BUMPBUILD_UPDATE_REPLACEMENT_H_
