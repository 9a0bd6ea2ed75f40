#include "update/snapshot.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "update/replacement.h"
#include "update/version_lock.h"

namespace {

// True when one of `names` names one of the files a run works on, also through links: the header,
// its lock companion, its copy beside and its saved copy, and `working_file`.
bool takes_a_working_file(const std::vector<std::string>& names, const std::string& header,
                          const std::string& working_file) {
  const std::string working[] = {header, lock_companion_path(header), copy_beside_path(header),
                                 saved_copy_path(header), working_file};
  return std::any_of(names.begin(), names.end(), [&working](const std::string& name) {
    return std::any_of(std::begin(working), std::end(working), [&name](const std::string& file) {
      return names_same_file(name.c_str(), file.c_str());
    });
  });
}

}  // namespace

Snapshot start_snapshot(const char* path, const std::string& header,
                        const std::string& working_file) {
  if (path == nullptr || *path == '\0') {
    return {};
  }
  const std::string beside = copy_beside_path(path);
  const FileHandle file = takes_a_working_file({path, beside}, header, working_file) ||
                                  kind_at(path) == PathKind::kDirectory
                              ? kNoFile
                              : create_new_file(beside.c_str());
  return {path, file, file == kNoFile};
}

bool publish_snapshot(const Snapshot& snapshot) {
  if (snapshot.file == kNoFile) {
    return true;
  }
  const std::string beside = copy_beside_path(snapshot.path);
  if (rename_and_close(snapshot.file, beside.c_str(), snapshot.path)) {
    return true;
  }
  (void)delete_file(beside.c_str());
  (void)delete_file(snapshot.path);
  return false;
}

void discard_snapshot(const Snapshot& snapshot) {
  if (snapshot.file == kNoFile) {
    return;
  }
  remove_file(snapshot.file, copy_beside_path(snapshot.path).c_str());
  (void)delete_file(snapshot.path);
}
