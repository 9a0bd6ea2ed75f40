// The files a run keeps beside the version file while it replaces it.
#ifndef BUMPBUILD_UPDATE_REPLACEMENT_H_
#define BUMPBUILD_UPDATE_REPLACEMENT_H_

#include <string>
#include <string_view>

#include "platform/file_system.h"

// The copy on its way to replacing `file` where a rename cannot (replace_file), and the snapshot's
// copy on its way to its name.
inline std::string copy_beside_path(const std::string& file) {
  return file + ".bumpbuild-new";
}

// The complete copy kept beside `file` when a failed replacement took `file` away.
inline std::string saved_copy_path(const std::string& file) {
  return file + ".bumpbuild-saved";
}

// Replaces `target` by `source` (replace_file) with the files beside it named as above.
bool replace_version_file(FileHandle source, const char* source_path, const char* target,
                          bool source_synced);

// Replaces the regular file at `target` by one that holds `bytes`, as bumpbuild replaces the
// version file: written to `temp` (a name of the caller's own beside it), given `target`'s owner,
// attributes and mode, synced, then renamed over it (replace_version_file). Returns kNothingThere,
// touching nothing, when no regular file stands at `target`; kFailed when it could not be
// replaced, with `target` as replace_version_file leaves it and `temp` gone.
enum class ReplaceOutcome { kReplaced, kNothingThere, kFailed };
ReplaceOutcome replace_with_bytes(const char* target, const char* temp, std::string_view bytes);

// When nothing stands at `path` (no file, no link) but saved_copy_path(path) holds a complete copy
// from a run whose replacement failed halfway: moves that copy onto `path`, never replacing a
// file that has appeared there meanwhile. Returns true when a copy was moved into place.
bool restore_saved_copy(const char* path);

// Deletes copy_beside_path(target), which a run killed inside replace_file may have left. Call it
// only while holding the lock on `target`: a run that copies beside `target` holds that lock.
void remove_leftover_copy(const char* target);

#endif  // BUMPBUILD_UPDATE_REPLACEMENT_H_
