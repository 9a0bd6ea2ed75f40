#include "update/replacement.h"

#include <string>
#include <string_view>

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
