#include "update/build_update.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/file_system.h"
#include "textio/text_file.h"
#include "update/replacement.h"
#include "update/snapshot.h"
#include "update/version_lock.h"
#include "update/version_rewrite.h"

namespace {

// Writes `message` to standard output, without a line end, and returns the failure status. A
// message that cannot be written changes nothing: the status tells the outcome.
int report(const char* message) {
  (void)std::fputs(message, stdout);
  (void)std::fflush(stdout);
  return 1;
}

// What update_version_file returns, instead of an exit status, when the version file changed
// since the run read it, and when another run claimed the content this run read.
constexpr int kVersionFileChanged = -1;
constexpr int kClaimTaken = -2;

// Deletes the temporary file, which the stream hands back, and returns `status`.
int discard(TextOutputFile& output, Replacement& replacement, int status) {
  replacement.file = output.release();
  roll_back_replacement(replacement);
  return status;
}

// Deletes the temporary file and reports `message`.
int discard_and_report(TextOutputFile& output, Replacement& replacement, const char* message) {
  discard(output, replacement, 0);
  return report(message);
}

// Deletes the temporary file after the version file, in the state `read`, could not be read.
// Returns kVersionFileChanged when the path no longer names that file in that state: an NFS
// client may open a file that another machine has just replaced, and then reading it fails
// (a stale file handle), so the run starts again on the file the path names now. Otherwise
// reports "Can't read version file".
int discard_unreadable(TextOutputFile& output, Replacement& replacement, const FileStamp& read) {
  if (!same_stamp(stamp_at(replacement.target.c_str()), read)) {
    return discard(output, replacement, kVersionFileChanged);
  }
  return discard_and_report(output, replacement, "Can't read version file");
}

// The run once `lock` is held (or kNoLock: the version file is missing, so there is nothing to
// lock, or the file system offers no locks) and `replacement` begun on the file that the version
// path leads to. Sets `bumped` once the version file has been replaced; the rewritten copy is in
// `snapshot.file` by then. Returns kVersionFileChanged, with the temporary file deleted and
// nothing replaced, when the version path no longer names the file as this run read it, or the
// lock is found lost to another run.
int update_version_file(int argc, const char* const* argv, Replacement& replacement, FileLock lock,
                        const Snapshot& snapshot, ClaimWatch& watch, bool& bumped) {
  const char* version_file = replacement.target.c_str();
  const auto read_at = std::chrono::steady_clock::now();
  std::optional<TextInputFile> input = TextInputFile::open_for_reading(version_file);
  std::optional<TextOutputFile> output;
  if (replacement.file != kNoFile) {
    output.emplace(TextOutputFile::over(std::exchange(replacement.file, kNoFile)));
  }
  if (!input) {
    return report("Can't find version file");  // the empty temporary file stays behind
  }
  const FileStamp read = stamp_of(input->file());
  if (argc != 2) {
    return output ? discard(*output, replacement, 0) : 0;
  }
  if (!output) {
    return report("Can't write temporary file");
  }
  if (snapshot.refused) {
    return discard_and_report(*output, replacement, "Can't write snapshot");
  }
  if (!is_regular_file(input->file())) {
    // A device never ends, and a directory has no text.
    return discard_unreadable(*output, replacement, read);
  }
  // Where a file server keeps the lock, the run claims what it read before it replaces it.
  const bool lock_may_be_forgotten = !locks_kept_by_this_machine(input->file());
  if (lock_may_be_forgotten) {
    input->keep_digest();
  }
  // A copy that will be copied again beside the version file is deleted, never synced: it gains
  // nothing from early writing.
  const bool rewritten =
      copy_with_bumped_lines(*input, *output, argv[1], !replacement.copies_beside);
  if (input->failed()) {
    return discard_unreadable(*output, replacement, read);
  }
  if (output->failed()) {
    return discard_and_report(*output, replacement, "Can't write temporary file");
  }
  if (!rewritten) {
    return discard_and_report(*output, replacement, "unknown parameter");
  }
  // The copy takes the version file's owner, attributes and mode before it is made durable; the
  // streams close the files on every return.
  if (!copy_file_attributes(input->file(), output->file())) {
    return report("Can't replace version file");  // the rewritten copy stays as the temporary file
  }
  const std::uint64_t content = content_key(input->digest(), read);
  input->close();  // nothing holds the version file open while it is replaced
  if (!(replacement.copies_beside ? output->flush() : output->sync())) {
    return discard_and_report(*output, replacement, "Can't write temporary file");
  }
  // Filled before the replacement, so that a full disk costs no build number.
  if (snapshot.file != kNoFile && !copy_file_contents(output->file(), snapshot.file, false)) {
    return discard_and_report(*output, replacement, "Can't write snapshot");
  }
  // Under a lock that holds nobody else replaces the file; where a lost lock let another run do
  // it, this copy would undo that run's increment, and where another run holds it now, that run
  // may have read the same number.
  if (!lock_still_held(lock) || !same_stamp(stamp_at(version_file), read)) {
    return discard(*output, replacement, kVersionFileChanged);
  }
  // A lock a file server forgot may have let another run read this content too: the claim lets
  // only one of them replace it. A lock that this machine's kernel keeps is never forgotten.
  Claim claim = lock_may_be_forgotten ? claim_content(version_file, content, read_at, watch)
                                      : Claim{ClaimOutcome::kClaimed, kNoFile, {}};
  if (claim.outcome != ClaimOutcome::kClaimed) {
    if (claim.outcome == ClaimOutcome::kFailed) {
      // The rewritten copy stays as the temporary file.
      return report("Can't replace version file");
    }
    return discard(*output, replacement, kClaimTaken);
  }
  replacement.file = output->release();
  if (!commit_replacement(replacement, !replacement.copies_beside)) {
    // A copy kept beside the file takes its place in the next run, under this claim.
    if (nothing_at(saved_copy_path(version_file).c_str())) {
      drop_claim(claim);
    }
    return report("Can't replace version file");  // the rewritten copy stays as the temporary file
  }
  if (!settle_claim(version_file, claim)) {
    return report("Can't replace version file");  // the new file may not outlive a power cut
  }
  bumped = true;
  return 0;
}

}  // namespace

int lock_wait_from(const char* seconds) {
  static constexpr int kYear = 365 * 24 * 60 * 60;
  if (seconds == nullptr || *seconds == '\0') {
    return kDefaultWaitSeconds;
  }
  int value = 0;
  for (const char* digit = seconds; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') {
      return kDefaultWaitSeconds;
    }
    value = std::min(value * 10 + (*digit - '0'), kYear);
  }
  return value;
}

int run_build_update(int argc, const char* const* argv, const UpdatePaths& paths) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(paths.lock_wait_seconds);
  ClaimWatch watch;
  GrowingPause pause;
  for (int changed = 0; changed < kMaxRunAttempts;) {
    // What is left of the wait, never 0, which would mean for ever.
    const int wait_seconds =
        paths.lock_wait_seconds == 0
            ? 0
            : static_cast<int>(std::max<std::chrono::seconds::rep>(
                  1, std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now())
                         .count()));
    std::string version_file;
    const FileLock lock = lock_file_exclusively(paths.version_file, version_file, wait_seconds);
    if (lock == kLockTimedOut) {
      break;
    }
    // Under the lock: a run that holds it may be waiting to give its copy the file's name.
    Replacement replacement =
        begin_replacement(version_file.c_str(), paths.temp_file, lock != kNoLock);
    const Snapshot snapshot = start_snapshot(paths.snapshot_file, version_file, paths.temp_file);
    bool bumped = false;
    int status = update_version_file(argc, argv, replacement, lock, snapshot, watch, bumped);
    // Still under the lock: no other run can have changed the version file since.
    if (!bumped) {
      discard_snapshot(snapshot);
    } else if (!publish_snapshot(snapshot)) {
      status = report("Can't write snapshot");
    }
    unlock_file(lock);
    if (status != kVersionFileChanged && status != kClaimTaken) {
      return status;
    }
    // A file server's client may show a file's state late for a moment. A claim in the way is
    // waited out (it goes once its holder has replaced the file or has surely given up) within
    // the lock wait.
    changed += status == kVersionFileChanged ? 1 : 0;
    if (paths.lock_wait_seconds != 0 && Clock::now() >= deadline) {
      break;
    }
    pause.wait();
  }
  // Like every other refusal, this one leaves no temporary file behind.
  std::optional<TextOutputFile> output =
      TextOutputFile::open_for_writing(paths.temp_file, paths.version_file);
  if (output) {
    remove_file(output->release(), paths.temp_file);
  }
  return report("Can't lock version file");
}
