// The files a run keeps beside the version file while it replaces it.
#ifndef BUMPBUILD_UPDATE_REPLACEMENT_H_
#define BUMPBUILD_UPDATE_REPLACEMENT_H_

#include <string>

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

// When nothing stands at `path` (no file, no link) but saved_copy_path(path) holds a complete copy
// from a run whose replacement failed halfway: moves that copy onto `path`, never replacing a
// file that has appeared there meanwhile. Returns true when a copy was moved into place.
bool restore_saved_copy(const char* path);

// Deletes copy_beside_path(target), which a run killed inside replace_file may have left. Call it
// only while holding the lock on `target`: a run that copies beside `target` holds that lock.
void remove_leftover_copy(const char* target);

#endif  // BUMPBUILD_UPDATE_REPLACEMENT_H_
