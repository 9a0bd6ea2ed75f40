// A snapshot: the copy of the version header that a run leaves for its build, as the run left the
// header, at a path the build names. Both programs follow the same rules.
#ifndef BUMPBUILD_UPDATE_SNAPSHOT_H_
#define BUMPBUILD_UPDATE_SNAPSHOT_H_

#include <string>

#include "platform/file_system.h"

// Where a run leaves its snapshot, and the new file beside it that the run fills: kNoFile when
// none was asked for, or when the path cannot serve (`refused`).
struct Snapshot {
  const char* path = nullptr;
  FileHandle file = kNoFile;
  bool refused = false;
};

// Starts the snapshot at `path` (nullptr or empty: none) for the header `header`, the file that
// the run replaces, and `working_file`, another file the run works on (the temporary file, the
// turn file): creates the new, empty file copy_beside_path(path) (readable by all, as the umask
// allows), removing whatever stood under that name first. Refused, with nothing created or
// removed, when `path` or the copy beside it would take the place of the header, its lock
// companion, its copy beside or its saved copy, or `working_file`, also through links, or when a
// directory stands at `path`; refused when the file beside it cannot be created.
Snapshot start_snapshot(const char* path, const std::string& header,
                        const std::string& working_file);

// Closes the snapshot's file and renames it onto its path in one step, replacing what stood there
// (a link itself, never what it leads to); nothing is synced. Returns true when the path names the
// snapshot, or none was started; otherwise neither the path nor the file beside it stays.
bool publish_snapshot(const Snapshot& snapshot);

// Deletes the snapshot's file and whatever stands at its path (from an earlier run), and closes
// the file. A snapshot that was refused or never asked for touches nothing.
void discard_snapshot(const Snapshot& snapshot);

#endif  // BUMPBUILD_UPDATE_SNAPSHOT_H_
