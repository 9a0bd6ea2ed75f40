#include "update/replacement.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

bool replace_version_file(FileHandle source, const char* source_path, const char* target,
                          bool source_synced) {
  return replace_file(source, source_path, target, source_synced,
                      {copy_beside_path(target), saved_copy_path(target)});
}

ReplaceOutcome replace_with_bytes(const char* target, const char* temp, std::string_view bytes) {
  const FileHandle old_copy = open_file_for_reading(target);
  if (old_copy == kNoFile || !is_regular_file(old_copy)) {
    close_file(old_copy);
    return ReplaceOutcome::kNothingThere;
  }
  const FileHandle new_copy = create_file_for_writing(temp, target);
  bool replaced = new_copy != kNoFile && write_file(new_copy, bytes.data(), bytes.size()) &&
                  copy_file_attributes(old_copy, new_copy) && sync_file(new_copy);
  close_file(old_copy);
  if (replaced) {
    replaced = replace_version_file(new_copy, temp, target, true);
    if (!replaced) {
      (void)delete_file(temp);
    }
  } else if (new_copy != kNoFile) {
    remove_file(new_copy, temp);
  }
  return replaced ? ReplaceOutcome::kReplaced : ReplaceOutcome::kFailed;
}

bool restore_saved_copy(const char* path) {
  const std::string saved = saved_copy_path(path);
  return nothing_at(path) && !nothing_at(saved.c_str()) && move_to_free_name(saved.c_str(), path);
}

void remove_leftover_copy(const char* target) {
  (void)delete_file(copy_beside_path(target).c_str());
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
