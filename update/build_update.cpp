#include "update/build_update.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "textio/text_file.h"
#include "update/key_search.h"

namespace {

// Writes `message` to standard output, without a line end, and returns the failure status. A
// message that cannot be written changes nothing: the status tells the outcome.
int report(const char* message) {
  (void)std::fputs(message, stdout);
  (void)std::fflush(stdout);
  return 1;
}

// Returns the size of the leading lines of `lines` (whole lines) that hold neither key, where
// `stem` is the prefix and "_" that both keys begin with, or nothing when no key can match a piece.
// The bytes of a plain line (TextInputFile::plain_lines) are its pieces with a CR before the LF,
// and a key that could match a piece holds no CR or LF: so a line whose bytes hold no key has no
// piece that holds one, and passes unchanged.
std::size_t size_without_keys(std::string_view lines, const std::optional<KeyPattern>& stem) {
  // Without the stem's last byte, lines hold no stem, however full of its first bytes they are.
  if (!stem || lines.find(stem->key.back()) == std::string_view::npos) {
    return lines.size();
  }
  std::size_t matched = 0;
  std::size_t end = 0;
  while ((end = find_key_end(lines, end, *stem, matched)) != std::string_view::npos) {
    const std::string_view rest = lines.substr(end);
    if (rest.starts_with("VERSION") || rest.starts_with("STRING_VERSION")) {
      const std::size_t line_feed = lines.rfind('\n', end - stem->key.size());
      return line_feed == std::string_view::npos ? 0 : line_feed + 1;
    }
  }
  return lines.size();
}

// Copies the version file into the temporary file, rewriting every key line on the way. Returns
// whether any line was rewritten.
bool copy_with_bumped_lines(TextInputFile& input, TextOutputFile& output, const char* prefix) {
  if (*prefix == '\0') {
    return false;  // an empty prefix names no component, yet its keys would match every one
  }
  const std::string stem = std::string(prefix) + "_";
  const std::string string_key = stem + "STRING_VERSION";
  const std::string number_key = stem + "VERSION";
  // A piece holds no CR and no Ctrl-Z, and an LF only as its last byte: a key too long for a
  // piece, or holding one of those bytes, matches none.
  std::optional<KeyPattern> stem_pattern;
  if (number_key.size() <= kMaxKeySize && stem.find_first_of("\r\n\x1A") == std::string::npos) {
    stem_pattern = prepare_key(stem);
  }
  char line[kLineBufferSize];
  bool rewritten = false;
  while (!input.at_end() && !output.failed()) {  // a device at the path would never end
    // Lines that need no rewrite and no conversion are copied as they stand: most of a big file.
    const std::string_view plain = input.plain_lines();
    const std::size_t unchanged = size_without_keys(plain, stem_pattern);
    if (unchanged > 0) {
      output.put_raw(plain.data(), unchanged);
      input.skip_lines(unchanged);
      continue;
    }
    // A plain line with a key is rewritten from the view when it is one piece: its text and LF.
    const std::size_t line_size = plain.find('\n') + 1;  // npos + 1 is 0
    if (line_size >= 2 && line_size - 2 < kLinePieceCapacity - 1) {
      const std::size_t text_size = line_size - 2;
      plain.copy(line, text_size);
      line[text_size] = '\n';
      std::size_t length = text_size + 1;
      rewritten = bump_version_line(line, length, string_key, number_key) != 0 || rewritten;
      output.put_text(line, length);
      input.skip_lines(line_size);
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

// Deletes the temporary file, which the stream hands over, and reports `message`.
int discard_and_report(TextOutputFile& output, const char* temp_file, const char* message) {
  remove_file(output.release(), temp_file);
  return report(message);
}

// The run once the lock is held (or the version file is missing, so there is nothing to lock).
// `version_file` is the file that the version path leads to.
int update_version_file(int argc, const char* const* argv, const char* version_file,
                        const char* temp_file) {
  std::optional<TextInputFile> input = TextInputFile::open_for_reading(version_file);
  std::optional<TextOutputFile> output = TextOutputFile::open_for_writing(temp_file, version_file);
  if (!input) {
    return report("Can't find version file");  // the empty temporary file stays behind
  }
  if (argc != 2) {
    if (output) {
      remove_file(output->release(), temp_file);
    }
    return 0;
  }
  if (!output) {
    return report("Can't write temporary file");
  }
  if (!is_regular_file(input->file())) {
    // A device never ends, and a directory has no text.
    return discard_and_report(*output, temp_file, "Can't read version file");
  }
  const bool rewritten = copy_with_bumped_lines(*input, *output, argv[1]);
  if (input->failed()) {
    return discard_and_report(*output, temp_file, "Can't read version file");
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
  if (!replace_file(output->release(), temp_file, version_file)) {
    return report("Can't replace version file");  // the rewritten copy stays as the temporary file
  }
  return 0;
}

}  // namespace

int run_build_update(int argc, const char* const* argv, const UpdatePaths& paths) {
  std::string version_file;
  const FileLock lock = lock_file_exclusively(paths.version_file, version_file);
  const int status = update_version_file(argc, argv, version_file.c_str(), paths.temp_file);
  unlock_file(lock);
  return status;
}
