#include "update/replacement.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_system.h"

namespace {

// How long a new copy waits under its saved name for a deleted target that a program still holds.
constexpr auto kHeldDeletedWait = std::chrono::minutes(1);

// Renames the open `file` from `from` onto `target` (rename_open_file). Where `target` is a
// deleted file that a program still holds, the new file waits complete as `saved`, where the next
// run finds it should this run end, until the deleted one has gone, and then takes its name; it
// stays as `saved` when that does not happen in time.
RenameOutcome rename_into_place(FileHandle file, const char* from, const char* target,
                                const std::string& saved) {
  const RenameOutcome outcome = rename_open_file(file, from, target);
  if (outcome != RenameOutcome::kHeldDeleted || !nothing_at(saved.c_str()) ||
      rename_open_file(file, from, saved.c_str()) != RenameOutcome::kRenamed) {
    return outcome;
  }
  const auto deadline = std::chrono::steady_clock::now() + kHeldDeletedWait;
  GrowingPause pause{2, 100};
  while (std::chrono::steady_clock::now() < deadline) {
    if (nothing_at(target) &&
        rename_open_file(file, saved.c_str(), target) == RenameOutcome::kRenamed) {
      return RenameOutcome::kRenamed;
    }
    pause.wait();
  }
  return RenameOutcome::kFailed;
}

// Copies the open `source` into a new file at copy_beside_path(target), where a rename onto
// `target` is one step, gives it the attributes of `source`, makes it durable and renames it onto
// `target`. The copy has a fixed name, so a run killed meanwhile leaves at most that one file,
// which the next run removes (begin_replacement). On failure `target` is unchanged and the copy
// is deleted, or the failed rename took `target` away and the complete copy is kept as `saved`,
// unless a copy waits there already.
bool replace_through_copy_beside(FileHandle source, const char* target, const std::string& saved) {
  const std::string copy_path = copy_beside_path(target);
  const FileHandle copy = create_file_for_writing(copy_path.c_str(), target);
  if (copy == kNoFile) {
    return false;
  }
  const bool copied = copy_file_contents(source, copy, true) &&
                      copy_file_attributes(source, copy) && sync_file(copy);
  bool replaced = copied && rename_into_place(copy, copy_path.c_str(), target, saved) ==
                                RenameOutcome::kRenamed;
  bool kept = false;
  if (!replaced && copied && nothing_at(target)) {
    // The failed rename took the old file away: once more, else the copy is kept for the next run.
    replaced = rename_into_place(copy, copy_path.c_str(), target, saved) == RenameOutcome::kRenamed;
    kept = !replaced && nothing_at(saved.c_str()) &&
           rename_open_file(copy, copy_path.c_str(), saved.c_str()) == RenameOutcome::kRenamed;
  }
  if (!replaced && !kept) {
    remove_file(copy, copy_path.c_str());
    return false;
  }
  // Synced before its rename: a failing close loses nothing of it.
  (void)close_file(copy);
  return replaced;
}

// When nothing stands at `path` but saved_copy_path(path) does, moves it onto `path`.
void restore_saved_copy(const char* path) {
  const std::string saved = saved_copy_path(path);
  if (nothing_at(path) && !nothing_at(saved.c_str())) {
    (void)move_to_free_name(saved.c_str(), path);
  }
}

}  // namespace

Replacement begin_replacement(const char* target, const char* temp, bool holds_lock) {
  restore_saved_copy(target);
  if (holds_lock) {
    (void)delete_file(copy_beside_path(target).c_str());
  }
  Replacement replacement{target, temp};
  replacement.file = create_file_for_writing(temp, target);
  replacement.copies_beside =
      replacement.file != kNoFile && !renames_in_one_step(replacement.file, temp, target);
  return replacement;
}

bool commit_replacement(Replacement& replacement, bool synced) {
  const FileHandle file = std::exchange(replacement.file, kNoFile);
  const char* temp = replacement.temp.c_str();
  const char* target = replacement.target.c_str();
  const std::string saved = saved_copy_path(target);
  // A rename can still meet another file system where one device shows through two mounts.
  bool copy_beside = !synced || replacement.copies_beside;
  RenameOutcome renamed = RenameOutcome::kFailed;
  if (!copy_beside) {
    renamed = rename_into_place(file, temp, target, saved);
    // A rename that took the old file away is tried once more; then the synced copy goes beside
    // `target`, where it is kept if it cannot take its place either.
    if (renamed != RenameOutcome::kRenamed && renamed != RenameOutcome::kOtherFileSystem &&
        nothing_at(target)) {
      renamed = rename_into_place(file, temp, target, saved);
      copy_beside = renamed != RenameOutcome::kRenamed;
    }
    copy_beside = copy_beside || renamed == RenameOutcome::kOtherFileSystem;
  }
  bool replaced = renamed == RenameOutcome::kRenamed;
  if (copy_beside) {
    replaced = replace_through_copy_beside(file, target, saved);
  }
  if (replaced && copy_beside) {
    remove_file(file, temp);
  } else {
    close_file(file);
  }
  if (replaced) {
    (void)sync_directory_of(target);
  }
  return replaced;
}

void roll_back_replacement(Replacement& replacement) {
  remove_file(std::exchange(replacement.file, kNoFile), replacement.temp.c_str());
}

ReplaceOutcome replace_with_bytes(const char* target, const char* temp, std::string_view bytes) {
  const FileHandle old_copy = open_file_for_reading(target);
  if (old_copy == kNoFile || !is_regular_file(old_copy)) {
    close_file(old_copy);
    return ReplaceOutcome::kNothingThere;
  }
  Replacement replacement = begin_replacement(target, temp, false);
  const bool written = replacement.file != kNoFile &&
                       write_file(replacement.file, bytes.data(), bytes.size()) &&
                       copy_file_attributes(old_copy, replacement.file) &&
                       (replacement.copies_beside || sync_file(replacement.file));
  close_file(old_copy);
  if (!written) {
    if (replacement.file != kNoFile) {
      roll_back_replacement(replacement);
    }
    return ReplaceOutcome::kFailed;
  }
  if (!commit_replacement(replacement, !replacement.copies_beside)) {
    (void)delete_file(temp);
    return ReplaceOutcome::kFailed;
  }
  return ReplaceOutcome::kReplaced;
}

namespace {

using Clock = std::chrono::steady_clock;

// The start of every claim name of `file`.
std::string claim_prefix(const std::string& file) {
  return file + ".bumpbuild-claim-";
}

bool past(Clock::time_point since, int seconds) {
  return Clock::now() - since >= std::chrono::seconds(seconds);
}

}  // namespace

std::uint64_t content_key(std::uint64_t digest, const FileStamp& read) {
  static constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  return (digest ^ static_cast<std::uint64_t>(read.modified_seconds)) * kMultiplier;
}

std::string claim_path(const std::string& file, std::uint64_t key, int generation) {
  char name[40];
  (void)std::snprintf(name, sizeof name, "%016llx-%d", static_cast<unsigned long long>(key),
                      generation);
  return claim_prefix(file) + name;
}

Claim claim_content(const std::string& file, std::uint64_t key, Clock::time_point read_at,
                    ClaimWatch& watch) {
  Claim claim;
  if (past(read_at, kClaimActSeconds)) {
    claim.outcome = ClaimOutcome::kTaken;
    return claim;
  }
  // Generations follow each other without gaps; a later one is only made when the one before
  // stood unused for kClaimTakeoverSeconds.
  int generation = 0;
  while (kind_at(claim_path(file, key, generation).c_str()) != PathKind::kNothing) {
    ++generation;
  }
  if (generation > 0) {
    const std::string in_the_way = claim_path(file, key, generation - 1);
    if (watch.path != in_the_way) {
      watch = {in_the_way, Clock::now()};
    }
    if (!past(watch.since, kClaimTakeoverSeconds)) {
      claim.outcome = ClaimOutcome::kTaken;
      return claim;
    }
  }
  claim.path = claim_path(file, key, generation);
  bool taken = false;
  claim.file = create_new_name(claim.path.c_str(), taken);
  if (claim.file == kNoFile) {
    claim.outcome = taken ? ClaimOutcome::kTaken : ClaimOutcome::kFailed;
    return claim;
  }
  claim.outcome = ClaimOutcome::kClaimed;
  if (past(read_at, kClaimActSeconds)) {  // the creation itself may have waited for a server
    drop_claim(claim);
    claim.outcome = ClaimOutcome::kTaken;
  }
  return claim;
}

bool settle_claim(const std::string& file, Claim& claim) {
  if (claim.file == kNoFile) {
    return true;
  }
  // A sync of a file writes out the journal only as far as that file's last change: a byte
  // written after the rename takes the rename along.
  const bool synced = write_file(claim.file, "\n", 1) && sync_file(claim.file);
  const FileStamp own = stamp_of(claim.file);
  close_file(claim.file);
  claim.file = kNoFile;
  if (!own.known) {
    return synced;
  }
  // The claims of one content go together, once the newest of them is old enough by the server's
  // clock, of which this claim's time is a fresh reading.
  const std::string prefix = claim_prefix(file);
  std::vector<TimedPath> claims = paths_beginning_with(prefix);
  const auto content_of = [&prefix](const TimedPath& claim) {
    return claim.path.substr(prefix.size(), claim.path.rfind('-') - prefix.size());
  };
  for (const TimedPath& one : claims) {
    const bool all_old = std::none_of(claims.begin(), claims.end(), [&](const TimedPath& other) {
      return content_of(other) == content_of(one) &&
             other.modified_seconds > own.modified_seconds - kClaimKeepSeconds;
    });
    if (all_old) {
      (void)delete_file(one.path.c_str());
    }
  }
  return synced;
}

void drop_claim(Claim& claim) {
  if (claim.file == kNoFile) {
    return;
  }
  close_file(claim.file);
  claim.file = kNoFile;
  (void)delete_file(claim.path.c_str());
}
