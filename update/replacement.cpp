#include "update/replacement.h"

#include <string>

#include "platform/file_system.h"

bool replace_version_file(FileHandle source, const char* source_path, const char* target,
                          bool source_synced) {
  return replace_file(source, source_path, target, source_synced,
                      {copy_beside_path(target), saved_copy_path(target)});
}

bool restore_saved_copy(const char* path) {
  const std::string saved = saved_copy_path(path);
  return nothing_at(path) && !nothing_at(saved.c_str()) && move_to_free_name(saved.c_str(), path);
}

void remove_leftover_copy(const char* target) {
  (void)delete_file(copy_beside_path(target).c_str());
}
