// Fuzzes the whole command on a scratch version file. The first input byte is the length of the
// component prefix, the next bytes are the prefix (it ends at a zero byte, as an argument would),
// and the rest is the version file. The result must match rewriting the file piece by piece with
// a plain model of the DOS text conversion, so any shortcut the command takes over lines it does
// not change has to produce the same bytes. The copy itself is also run with blocks of 1 to 64
// bytes (chosen by the file's size), so that the shortcuts meet block ends everywhere.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "update/build_update.h"
#include "update/version_rewrite.h"

namespace {

std::optional<std::string> load(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return std::nullopt;
  }
  std::string content;
  char block[4096];
  std::size_t count = 0;
  while ((count = std::fread(block, 1, sizeof block, file)) > 0) {
    content.append(block, count);
  }
  (void)std::fclose(file);  // read only: nothing to lose
  return content;
}

// The file the command should leave behind, or nothing when the prefix is empty or no line
// carries a key: the text up to the first Ctrl-Z without CRs, cut into pieces of at most
// kLinePieceCapacity - 1 bytes that end at each LF, every piece rewritten on its own and every LF
// written as CR LF.
std::optional<std::string> expected_file(std::string_view content, const std::string& prefix) {
  if (prefix.empty()) {
    return std::nullopt;
  }
  std::string text;
  for (const char byte : content.substr(0, content.find('\x1A'))) {
    if (byte != '\r') {
      text += byte;
    }
  }
  const std::string string_key = prefix + "_STRING_VERSION";
  const std::string number_key = prefix + "_VERSION";
  std::string result;
  bool rewritten = false;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t length = std::min(text.size() - at, kLinePieceCapacity - 1);
    const std::size_t line_feed = text.find('\n', at);
    if (line_feed != std::string::npos && line_feed < at + length) {
      length = line_feed + 1 - at;
    }
    char piece[kLineBufferSize];
    std::memcpy(piece, text.data() + at, length);
    at += length;
    rewritten = bump_version_line(piece, length, string_key, number_key) != 0 || rewritten;
    for (std::size_t index = 0; index < length; ++index) {
      if (piece[index] == '\n') {
        result += '\r';
      }
      result += piece[index];
    }
  }
  if (!rewritten) {
    return std::nullopt;
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The version file and the temporary file lie in the scratch directory; the command's messages
  // go to /dev/null.
  static const std::string version_file = scratch_directory() + "/version.h";
  static const std::string temp_file = scratch_directory() + "/$$TEMP.TMP";
  static const bool silenced = std::freopen("/dev/null", "w", stdout) != nullptr;
  check(silenced);
  if (size == 0) {
    return 0;
  }
  const std::size_t prefix_length = std::min<std::size_t>(data[0], size - 1);
  const std::string_view raw_prefix(reinterpret_cast<const char*>(data) + 1, prefix_length);
  const std::string prefix(raw_prefix.substr(0, raw_prefix.find('\0')));
  const std::string_view content(reinterpret_cast<const char*>(data) + 1 + prefix_length,
                                 size - 1 - prefix_length);
  if (!store_file(version_file, content)) {
    std::abort();
  }

  const std::optional<std::string> expected = expected_file(content, prefix);
  const std::string copy_file = scratch_directory() + "/copy";
  std::optional<TextInputFile> input =
      TextInputFile::open_for_reading(version_file.c_str(), 1 + content.size() % 64);
  std::optional<TextOutputFile> output =
      TextOutputFile::open_for_writing(copy_file.c_str(), nullptr);
  check(input && output);
  check(copy_with_bumped_lines(*input, *output, prefix.c_str()) == expected.has_value());
  input->close();
  check(output->close());
  check(!expected || load(copy_file) == expected);

  const char* const argv[] = {"bumpbuild", prefix.c_str(), nullptr};
  const int status = run_build_update(2, argv, {version_file.c_str(), temp_file.c_str()});

  const std::optional<std::string> result = load(version_file);
  check(result.has_value());
  check(access(temp_file.c_str(), F_OK) != 0);
  if (expected) {
    check(status == 0);
    check(*result == *expected);
  } else {
    check(status == 1);
    check(*result == content);
  }
  return 0;
}
