#include "update/build_update.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "textio/text_file.h"
#include "update/key_search.h"
#include "update/word_bytes.h"

namespace {

// Writes `message` to standard output, without a line end, and returns the failure status. A
// message that cannot be written changes nothing: the status tells the outcome.
int report(const char* message) {
  (void)std::fputs(message, stdout);
  (void)std::fflush(stdout);
  return 1;
}

// Returns the offset just past the last LF before offset `end` in `text`, or 0 when there is none.
// Key lines are short: 8 bytes at a time, from the end, mostly finds it within a few words.
std::size_t line_start_before(std::string_view text, std::size_t end) {
  constexpr ByteWord kLineFeed = repeated('\n');
  for (; end >= kWordBytes; end -= kWordBytes) {
    const int last = last_marked(equal_bytes(load_word(text.data() + end - kWordBytes), kLineFeed));
    if (last >= 0) {
      return end - kWordBytes + static_cast<std::size_t>(last) + 1;
    }
  }
  return text.substr(0, end).rfind('\n') + 1;  // npos + 1 is 0
}

// Writes the plain lines `lines` (TextInputFile::plain_lines) to `output`, each key line that is
// one piece rewritten, and returns how many of their bytes are done: all of them, or those before
// a key line too long for one piece, which is left for next_line. `stem` is the prefix and "_",
// holding no CR or LF. Sets `rewritten` when a line is rewritten. A plain line is its piece with a
// CR before the LF, and a key holds no CR: the line holds a key exactly where its piece does, and
// an unchanged line is written back as it stands, stretches of them at once.
std::size_t copy_plain_lines(std::string_view lines, TextOutputFile& output, std::string_view stem,
                             bool& rewritten) {
  std::size_t written = 0;  // the bytes before this offset are in `output`
  // Without the stem's "_", lines hold no key, however full of its other bytes they are.
  KeyMatch key =
      lines.find('_') == std::string_view::npos ? kNoKey : find_component_key(lines, 0, stem);
  while (key.start != std::string_view::npos) {
    const std::size_t line_start = line_start_before(lines, key.start);
    const std::size_t text_end = lines.find('\n', key.end) - 1;  // the CR before the LF
    if (text_end - line_start >= kLinePieceCapacity - 1) {
      output.put_raw(lines.data() + written, line_start - written);
      return line_start;
    }
    const std::string_view text = lines.substr(line_start, text_end - line_start);
    // A piece with both keys is a string line, whichever comes first.
    bool string_line = key.string_key;
    for (KeyMatch later = key; !string_line && later.start != std::string_view::npos;) {
      later = find_component_key(lines.substr(0, text_end), later.start + 1, stem);
      string_line = later.string_key;
    }
    const std::size_t separator = text.rfind(string_line ? '.' : ',');
    if (separator != std::string_view::npos) {
      const std::size_t field = line_start + separator + 1;
      output.put_raw(lines.data() + written, field - written);
      char tail[16];
      std::size_t size = write_next_build_field(text.substr(separator + 1), string_line, tail);
      tail[size++] = '\r';
      tail[size++] = '\n';
      output.put_raw(tail, size);
      written = text_end + 2;
      rewritten = true;
    }
    key = find_component_key(lines, text_end + 2, stem);
  }
  output.put_raw(lines.data() + written, lines.size() - written);
  return lines.size();
}

// Deletes the temporary file, which the stream hands over, and reports `message`.
int discard_and_report(TextOutputFile& output, const char* temp_file, const char* message) {
  remove_file(output.release(), temp_file);
  return report(message);
}

// Where a run leaves its snapshot, and the new file beside it that the run fills: kNoFile when
// none was asked for, or when the path cannot serve (`refused`).
struct Snapshot {
  const char* path = nullptr;
  FileHandle file = kNoFile;
  bool refused = false;
};

// Whether a snapshot at `path` would take the place of a file the run works on: the version
// file (the file the version path leads to), its lock companion, its copy on the way to replacing
// it or kept beside it, or the temporary file, also through links. The copy beside the snapshot
// counts too.
bool snapshot_takes_a_working_file(const std::string& path, const std::string& version_file,
                                   const std::string& temp_file) {
  return names_one_of({path, copy_beside_path(path)},
                      {version_file, lock_companion_path(version_file),
                       copy_beside_path(version_file), saved_copy_path(version_file), temp_file});
}

// Starts the snapshot that `paths` asks for, if any; `version_file` is the file that the version
// path leads to.
Snapshot start_snapshot(const UpdatePaths& paths, const std::string& version_file) {
  if (paths.snapshot_file == nullptr || *paths.snapshot_file == '\0') {
    return {};
  }
  const FileHandle file =
      snapshot_takes_a_working_file(paths.snapshot_file, version_file, paths.temp_file)
          ? kNoFile
          : create_snapshot_file(paths.snapshot_file);
  return {paths.snapshot_file, file, file == kNoFile};
}

// What update_version_file returns, instead of an exit status, when the version file changed
// since the run read it.
constexpr int kVersionFileChanged = -1;

// Deletes the temporary file after the version file, in the state `read`, could not be read.
// Returns kVersionFileChanged when the path no longer names that file in that state: an NFS
// client may open a file that another machine has just replaced, and then reading it fails
// (a stale file handle), so the run starts again on the file the path names now. Otherwise
// reports "Can't read version file".
int discard_unreadable(TextOutputFile& output, const char* temp_file, const char* version_file,
                       const FileStamp& read) {
  if (!same_stamp(stamp_at(version_file), read)) {
    remove_file(output.release(), temp_file);
    return kVersionFileChanged;
  }
  return discard_and_report(output, temp_file, "Can't read version file");
}

// The run once the lock is held (or the version file is missing, so there is nothing to lock).
// `version_file` is the file that the version path leads to. Sets `bumped` once the version file
// has been replaced; the rewritten copy is in `snapshot.file` by then. Returns
// kVersionFileChanged, with the temporary file deleted and nothing replaced, when the version
// path no longer names the file as this run read it.
int update_version_file(int argc, const char* const* argv, const char* version_file,
                        const char* temp_file, const Snapshot& snapshot, bool& bumped) {
  std::optional<TextInputFile> input = TextInputFile::open_for_reading(version_file);
  std::optional<TextOutputFile> output = TextOutputFile::open_for_writing(temp_file, version_file);
  if (!input) {
    return report("Can't find version file");  // the empty temporary file stays behind
  }
  const FileStamp read = stamp_of(input->file());
  if (argc != 2) {
    if (output) {
      remove_file(output->release(), temp_file);
    }
    return 0;
  }
  if (!output) {
    return report("Can't write temporary file");
  }
  if (snapshot.refused) {
    return discard_and_report(*output, temp_file, "Can't write snapshot");
  }
  if (!is_regular_file(input->file())) {
    // A device never ends, and a directory has no text.
    return discard_unreadable(*output, temp_file, version_file, read);
  }
  // A copy that will be copied again beside the version file is deleted, never synced: it gains
  // nothing from early writing. Only a hint: what is synced is decided after the copy.
  const bool write_back = !replacement_copies_beside(output->file(), temp_file, version_file);
  const bool rewritten = copy_with_bumped_lines(*input, *output, argv[1], write_back);
  if (input->failed()) {
    return discard_unreadable(*output, temp_file, version_file, read);
  }
  if (output->failed()) {
    return discard_and_report(*output, temp_file, "Can't write temporary file");
  }
  if (!rewritten) {
    return discard_and_report(*output, temp_file, "unknown parameter");
  }
  // The copy takes the version file's owner, attributes and mode before it is made durable; the
  // streams close the files on every return.
  if (!copy_file_attributes(input->file(), output->file())) {
    return report("Can't replace version file");  // the rewritten copy stays as the temporary file
  }
  input->close();  // nothing holds the version file open while it is replaced
  const bool synced_beside = replacement_copies_beside(output->file(), temp_file, version_file);
  if (!(synced_beside ? output->flush() : output->sync())) {
    return discard_and_report(*output, temp_file, "Can't write temporary file");
  }
  // Filled before the replacement, so that a full disk costs no build number.
  if (snapshot.file != kNoFile && !copy_file_contents(output->file(), snapshot.file)) {
    return discard_and_report(*output, temp_file, "Can't write snapshot");
  }
  // Under a lock that holds nobody else replaces the file; where a lost lock let another run do
  // it, this copy would undo that run's increment.
  if (!same_stamp(stamp_at(version_file), read)) {
    remove_file(output->release(), temp_file);
    return kVersionFileChanged;
  }
  if (!replace_file(output->release(), temp_file, version_file, !synced_beside)) {
    return report("Can't replace version file");  // the rewritten copy stays as the temporary file
  }
  bumped = true;
  return 0;
}

}  // namespace

bool copy_with_bumped_lines(TextInputFile& input, TextOutputFile& output, const char* prefix,
                            bool write_back) {
  const std::string stem = std::string(prefix) + "_";
  const std::string string_key = stem + "STRING_VERSION";
  const std::string number_key = stem + "VERSION";
  // An empty prefix names no component, yet its keys would match every one. A piece holds no CR
  // or Ctrl-Z, an LF only as its last byte, and at most kMaxKeySize bytes: keys that break this
  // match nowhere (though in plain lines they could match across a line end).
  if (*prefix == '\0' || number_key.size() > kMaxKeySize ||
      stem.find_first_of("\r\n\x1A") != std::string::npos) {
    return false;
  }
  char line[kLineBufferSize];
  bool rewritten = false;
  while (!input.at_end() && !output.failed()) {  // a device at the path would never end
    if (rewritten && write_back) {
      output.write_back_as_written();  // from the first rewrite on, the copy is meant to stay
    }
    // Most of a big file is plain lines, copied as they stand but for the key lines.
    const std::string_view plain = input.plain_lines();
    const std::size_t done = copy_plain_lines(plain, output, stem, rewritten);
    if (done > 0) {
      input.skip_lines(done);
      continue;
    }
    std::size_t length = input.next_line(line, kLinePieceCapacity);
    if (input.failed()) {
      break;
    }
    rewritten = bump_version_line(line, length, string_key, number_key) != 0 || rewritten;
    output.put_text(line, length);
  }
  return rewritten;
}

int lock_wait_from(const char* seconds) {
  static constexpr int kYear = 365 * 24 * 60 * 60;
  if (seconds == nullptr || *seconds == '\0') {
    return kDefaultLockWaitSeconds;
  }
  int value = 0;
  for (const char* digit = seconds; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') {
      return kDefaultLockWaitSeconds;
    }
    value = std::min(value * 10 + (*digit - '0'), kYear);
  }
  return value;
}

int run_build_update(int argc, const char* const* argv, const UpdatePaths& paths) {
  for (int attempt = 0; attempt < kMaxRunAttempts; ++attempt) {
    std::string version_file;
    const FileLock lock =
        lock_file_exclusively(paths.version_file, version_file, paths.lock_wait_seconds);
    if (lock == kLockTimedOut) {
      break;
    }
    // Under the lock: a run that holds it may be waiting to give its copy the file's name.
    restore_saved_copy(version_file.c_str());
    if (lock != kNoLock) {
      remove_leftover_copy(version_file.c_str());
    }
    const Snapshot snapshot = start_snapshot(paths, version_file);
    bool bumped = false;
    int status =
        update_version_file(argc, argv, version_file.c_str(), paths.temp_file, snapshot, bumped);
    // Still under the lock: no other run can have changed the version file since.
    if (!bumped) {
      discard_snapshot(snapshot.file, snapshot.path);
    } else if (!publish_snapshot(snapshot.file, snapshot.path)) {
      status = report("Can't write snapshot");
    }
    unlock_file(lock);
    if (status != kVersionFileChanged) {
      return status;
    }
    // A file server's client may show a file's state late for a moment; the next try waits a
    // little longer each time, 1.5 seconds in all.
    if (attempt + 1 < kMaxRunAttempts) {
      pause_milliseconds(100U << static_cast<unsigned>(attempt));
    }
  }
  // Like every other refusal, this one leaves no temporary file behind.
  std::optional<TextOutputFile> output =
      TextOutputFile::open_for_writing(paths.temp_file, paths.version_file);
  if (output) {
    remove_file(output->release(), paths.temp_file);
  }
  return report("Can't lock version file");
}
