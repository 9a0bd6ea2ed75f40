#include "update/version_lock.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "platform/file_system.h"

namespace {

using Clock = std::chrono::steady_clock;

long milliseconds_until(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<long>(std::max<decltype(left)>(left, 0));
}

}  // namespace

FileLock lock_file_exclusively(const char* path, std::string& resolved, int wait_seconds) {
  static constexpr long kSliceMs = kLockSliceSeconds * 1000L;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(wait_seconds);
  for (;;) {
    resolved = resolved_path(path);
    const PathKind kind = kind_at(resolved.c_str());
    if (kind != PathKind::kRegularFile && kind != PathKind::kNothing) {
      return kNoLock;
    }
    const std::string companion = lock_companion_path(resolved);
    const FileHandle lock = open_lock_file(companion.c_str(), kind == PathKind::kRegularFile);
    if (lock == kNoFile) {
      return kNoLock;
    }
    const long slice =
        wait_seconds == 0 ? kSliceMs : std::min(milliseconds_until(deadline), kSliceMs);
    const LockRequest request = lock_within(lock, slice);
    if (request != LockRequest::kLocked) {
      close_file(lock);  // frees a lock granted to this handle that never arrived
      if (request == LockRequest::kNoLocks) {
        return kNoLock;
      }
      if (wait_seconds != 0 && milliseconds_until(deadline) == 0) {
        return kLockTimedOut;
      }
      continue;
    }
    if (resolved_path(path) == resolved && names_open_file(companion.c_str(), lock)) {
      return lock;
    }
    unlock_file(lock);
  }
}

FileLock try_lock_file(const char* path, bool& busy) {
  busy = false;
  const FileHandle lock = open_lock_file(path, true);
  if (lock == kNoFile) {
    return kNoLock;
  }
  const LockRequest request = lock_within(lock, 0);
  if (request == LockRequest::kLocked) {
    return lock;
  }
  busy = request == LockRequest::kBusy;
  close_file(lock);
  return kNoLock;
}
