#include "update/version_rewrite.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "textio/text_file.h"
#include "update/key_search.h"
#include "update/word_bytes.h"

namespace {

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

bool is_word_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The offset just past the first `key` in `line` that stands as a whole word (no letter, digit or
// "_" touching it), or npos: GUI_VERSION is not UI_VERSION.
std::size_t after_whole_key(std::string_view line, std::string_view key) {
  for (std::size_t at = line.find(key); at != std::string_view::npos; at = line.find(key, at + 1)) {
    const std::size_t end = at + key.size();
    if ((at == 0 || !is_word_byte(line[at - 1])) &&
        (end == line.size() || !is_word_byte(line[end]))) {
      return end;
    }
  }
  return std::string_view::npos;
}

// `text` without its spaces, tabs and CRs, so that it is one field of the output line.
std::string without_blanks(std::string_view text) {
  std::string kept;
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\v' && c != '\f') {
      kept += c;
    }
  }
  return kept;
}

}  // namespace

ComponentKeys component_keys(std::string_view prefix) {
  std::string stem = std::string(prefix) + "_";
  return {stem, stem + "VERSION", stem + "STRING_VERSION"};
}

bool copy_with_bumped_lines(TextInputFile& input, TextOutputFile& output, const char* prefix,
                            bool write_back) {
  const auto [stem, number_key, string_key] = component_keys(prefix);
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

std::string version_in_header(std::string_view header, std::string_view prefix) {
  const ComponentKeys keys = component_keys(prefix);
  std::string_view number_field;
  bool number_found = false;
  while (!header.empty()) {
    const std::size_t end = header.find('\n');
    const std::string_view line = header.substr(0, end);
    header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
    const std::size_t string_field = after_whole_key(line, keys.string_key);
    if (string_field != std::string_view::npos) {
      const std::size_t opening = line.find('"', string_field);
      const std::size_t closing =
          opening == std::string_view::npos ? opening : line.find('"', opening + 1);
      std::string version = closing == std::string_view::npos
                                ? std::string()
                                : without_blanks(line.substr(opening + 1, closing - opening - 1));
      if (!version.empty()) {
        return version;
      }
    }
    const std::size_t number_start = after_whole_key(line, keys.number_key);
    if (!number_found && number_start != std::string_view::npos) {
      number_field = line.substr(number_start);
      number_found = true;
    }
  }
  std::string version = without_blanks(number_field);
  std::replace(version.begin(), version.end(), ',', '.');
  return version;
}
