// Fuzzes TextInputFile. The first input byte chooses the raw block size (1 to 256), the second the
// piece capacity (2 to 256). The low four bits of the third tell which steps, counted modulo 4,
// first try the plain-lines shortcut, the high four bits which of those skip only the first of
// the lines offered. The rest is the file content, read back piece by piece.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "textio/text_file.h"

namespace {

constexpr char kFill = 0x5A;  // marks buffer bytes a read has no business touching

// What reading the text should deliver: everything before the first Ctrl-Z, without CR bytes.
std::string reference_text(const char* data, std::size_t size) {
  std::string text;
  for (std::size_t at = 0; at < size && data[at] != 0x1A; ++at) {
    if (data[at] != '\r') {
      text += data[at];
    }
  }
  return text;
}

// Checks that `view` is whole lines in the CR LF form, so that writing it raw gives the same bytes
// as writing its pieces, and returns how many of its bytes to skip: all, or its first line only.
std::size_t check_plain_lines(std::string_view view, bool first_line_only) {
  check(view.size() >= 2 && view.substr(view.size() - 2) == "\r\n");
  check(view.find('\x1A') == std::string_view::npos);
  for (std::size_t at = 0; at < view.size(); ++at) {
    if (view[at] == '\r') {
      check(at + 1 < view.size() && view[at + 1] == '\n');
    } else if (view[at] == '\n') {
      check(at > 0 && view[at - 1] == '\r');
    }
  }
  return first_line_only ? view.find('\n') + 1 : view.size();
}

// The converted text of plain lines: the same bytes without CRs.
void append_without_carriage_returns(std::string& text, std::string_view lines) {
  for (const char byte : lines) {
    if (byte != '\r') {
      text += byte;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string scratch_file = scratch_directory() + "/input.txt";
  if (size < 3) {
    return 0;
  }
  const std::size_t block_size = 1 + static_cast<std::size_t>(data[0]);
  const std::size_t capacity = 2 + static_cast<std::size_t>(data[1]) % 255;
  const unsigned shortcut_steps = data[2] & 0x0FU;
  const unsigned first_line_steps = data[2] >> 4U;
  const char* const content = reinterpret_cast<const char*>(data) + 3;
  const std::size_t content_size = size - 3;
  if (!store_file(scratch_file, std::string_view(content, content_size))) {
    std::abort();
  }

  std::optional<TextInputFile> input =
      TextInputFile::open_for_reading(scratch_file.c_str(), block_size);
  check(input.has_value());
  const auto buffer = std::make_unique<char[]>(capacity);
  std::string joined;
  // Every step takes a byte or ends the text, so there are at most this many steps.
  for (std::size_t step = 0; !input->at_end(); ++step) {
    check(step <= content_size);
    const unsigned step_bit = 1U << (step % 4);
    if ((shortcut_steps & step_bit) != 0) {
      const std::string_view view = input->plain_lines();
      if (!view.empty()) {
        const std::size_t skipped = check_plain_lines(view, (first_line_steps & step_bit) != 0);
        append_without_carriage_returns(joined, view.substr(0, skipped));
        input->skip_lines(skipped);
        continue;
      }
    }
    std::memset(buffer.get(), kFill, capacity);
    const std::size_t stored = input->next_line(buffer.get(), capacity);
    check(!input->failed());
    if (stored == 0) {
      check(input->at_end());
      for (std::size_t at = 0; at < capacity; ++at) {
        check(buffer[at] == kFill);
      }
      break;
    }
    check(stored <= capacity - 1);
    check(buffer[stored] == '\0');
    check(std::memchr(buffer.get(), '\r', stored) == nullptr);
    check(std::memchr(buffer.get(), 0x1A, stored) == nullptr);
    if (buffer[stored - 1] != '\n' && stored != capacity - 1) {
      check(input->at_end());  // only the end of the text cuts a piece short
    }
    joined.append(buffer.get(), stored);
  }
  check(input->next_line(buffer.get(), capacity) == 0);
  check(input->plain_lines().empty());
  check(joined == reference_text(content, content_size));
  return 0;
}
