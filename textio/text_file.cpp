#include "textio/text_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

constexpr char kCtrlZ = 0x1A;

const char* find_byte(const char* begin, std::size_t size, char byte) {
  return static_cast<const char*>(std::memchr(begin, byte, size));
}

// Copies the `size` bytes at `from` to `to`, leaving out every CR byte, and returns the count
// copied.
std::size_t copy_without_carriage_returns(char* to, const char* from, std::size_t size) {
  const char* const end = from + size;
  char* out = to;
  while (from < end) {
    const char* carriage_return = find_byte(from, static_cast<std::size_t>(end - from), '\r');
    const char* stretch_end = carriage_return != nullptr ? carriage_return : end;
    const auto stretch = static_cast<std::size_t>(stretch_end - from);
    std::memcpy(out, from, stretch);
    out += stretch;
    from = carriage_return != nullptr ? carriage_return + 1 : end;
  }
  return static_cast<std::size_t>(out - to);
}

// True when the byte pair at `pair` breaks the CR LF form: a CR not followed by LF, or an LF not
// preceded by CR.
bool breaks_line_form(const char* pair) {
  return (pair[0] == '\r') != (pair[1] == '\n');
}

// The pairs that stretch_breaks_line_form checks at once.
constexpr std::size_t kStretch = 256;

// True when one of the kStretch byte pairs that start at `stretch` breaks the CR LF form. A loop
// of a fixed count without a branch, over bytes turned into all ones or all zeros: compilers turn
// it into vector compares of 16 or more pairs at a time.
bool stretch_breaks_line_form(const char* stretch) {
  unsigned char broken = 0;
  for (std::size_t pair = 0; pair < kStretch; ++pair) {
    const unsigned char carriage_return = stretch[pair] == '\r' ? 0xFF : 0;
    const unsigned char line_feed = stretch[pair + 1] == '\n' ? 0xFF : 0;
    broken |= static_cast<unsigned char>(carriage_return ^ line_feed);
  }
  return broken != 0;
}

// Returns how many of the `size` bytes at `text`, which begin a line, come before the first line
// that breaks the CR LF form: the offset just after the first breaking pair, 0 when the first
// line is a bare LF, or `size` when nothing breaks the form. A CR as the very last byte breaks
// nothing yet, as its line does not end within the bytes.
std::size_t size_before_break(const char* text, std::size_t size) {
  if (size == 0 || text[0] == '\n') {
    return 0;
  }
  std::size_t at = 0;
  while (at + kStretch < size && !stretch_breaks_line_form(text + at)) {
    at += kStretch;
  }
  while (at + 1 < size && !breaks_line_form(text + at)) {
    ++at;
  }
  return at + 1;
}

// Carries `digest` on over the `size` bytes at `bytes`: digest * P^size + the bytes as the digits
// of a number in base P, modulo 2^64, with P odd. The result does not depend on how the bytes were
// split between calls (short reads from a file server split them anywhere); eight bytes at a time,
// in standard C++.
std::uint64_t mix_into_digest(std::uint64_t digest, const char* bytes, std::size_t size) {
  static constexpr std::uint64_t kBase = 0x100000001B3ULL;
  static constexpr std::array<std::uint64_t, 9> kPowers = [] {
    std::array<std::uint64_t, 9> powers{1};
    for (std::size_t power = 1; power < powers.size(); ++power) {
      powers[power] = powers[power - 1] * kBase;
    }
    return powers;
  }();
  const auto byte_at = [bytes](std::size_t at) {
    return std::uint64_t{static_cast<unsigned char>(bytes[at])};
  };
  std::size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    std::uint64_t word = 0;
    for (std::size_t byte = 0; byte < 8; ++byte) {
      word += byte_at(at + byte) * kPowers[7 - byte];
    }
    digest = digest * kPowers[8] + word;
  }
  for (; at < size; ++at) {
    digest = digest * kBase + byte_at(at);
  }
  return digest;
}

}  // namespace

std::optional<TextInputFile> TextInputFile::open_for_reading(const char* path,
                                                             std::size_t block_size) {
  const FileHandle file = open_file_for_reading(path);
  if (file == kNoFile) {
    return std::nullopt;
  }
  return TextInputFile(file, block_size);
}

TextInputFile::TextInputFile(FileHandle file, std::size_t block_size)
    : file_(file),
      block_size_(block_size),
      block_(std::make_unique_for_overwrite<char[]>(block_size)) {}

TextInputFile::TextInputFile(TextInputFile&& other) noexcept
    : file_(std::exchange(other.file_, kNoFile)),
      block_size_(other.block_size_),
      block_(std::move(other.block_)),
      position_(other.position_),
      limit_(other.limit_),
      plain_end_(other.plain_end_),
      form_broken_(other.form_broken_),
      block_has_carriage_return_(other.block_has_carriage_return_),
      at_line_start_(other.at_line_start_),
      at_end_(other.at_end_),
      failed_(other.failed_),
      met_ctrl_z_(other.met_ctrl_z_),
      keeps_digest_(other.keeps_digest_),
      digest_(other.digest_) {}

TextInputFile::~TextInputFile() {
  close();
}

void TextInputFile::close() {
  close_file(file_);  // a failing close of a file only read loses nothing
  file_ = kNoFile;
}

// Reads raw blocks until one yields text. Returns false at the end of the text (end of file, a
// Ctrl-Z met before, a closed file) or on a read error, which sets failed_.
bool TextInputFile::refill() {
  while (file_ != kNoFile && !met_ctrl_z_ && !failed_) {
    const std::ptrdiff_t count = read_file(file_, block_.get(), block_size_);
    if (count <= 0) {
      failed_ = count < 0;
      return false;
    }
    auto size = static_cast<std::size_t>(count);
    if (const char* ctrl_z = find_byte(block_.get(), size, kCtrlZ)) {
      size = static_cast<std::size_t>(ctrl_z - block_.get());
      met_ctrl_z_ = true;
    }
    if (keeps_digest_) {
      digest_ = mix_into_digest(digest_, block_.get(), size);
    }
    position_ = 0;
    limit_ = size;
    plain_end_ = 0;
    form_broken_ = false;
    block_has_carriage_return_ = find_byte(block_.get(), limit_, '\r') != nullptr;
    if (limit_ > 0) {
      return true;
    }
  }
  return false;
}

std::size_t TextInputFile::next_line(char* buffer, std::size_t capacity) {
  const std::size_t room = capacity - 1;
  if (at_line_start_ && position_ < plain_end_) {
    // A plain line has its only CR just before its LF: when it fits, it is one piece.
    const char* start = block_.get() + position_;
    const char* line_feed = find_byte(start, std::min(room + 1, plain_end_ - position_), '\n');
    if (line_feed != nullptr) {
      const auto text = static_cast<std::size_t>(line_feed - start) - 1;
      std::memcpy(buffer, start, text);
      buffer[text] = '\n';
      buffer[text + 1] = '\0';
      position_ += text + 2;
      return text + 1;
    }
  }
  std::size_t stored = 0;
  bool line_ended = false;
  while (stored < room && !line_ended) {
    if (position_ == limit_ && !refill()) {
      at_end_ = true;
      break;
    }
    // Raw bytes are taken no further than the room left, so that they fit even without a CR.
    const char* start = block_.get() + position_;
    std::size_t take = std::min(room - stored, limit_ - position_);
    if (const char* line_feed = find_byte(start, take, '\n')) {
      take = static_cast<std::size_t>(line_feed - start) + 1;
      line_ended = true;
    }
    if (block_has_carriage_return_) {
      stored += copy_without_carriage_returns(buffer + stored, start, take);
    } else {
      std::memcpy(buffer + stored, start, take);
      stored += take;
    }
    position_ += take;
  }
  at_line_start_ = line_ended;
  if (stored > 0) {
    buffer[stored] = '\0';
  }
  return failed_ ? 0 : stored;
}

std::string_view TextInputFile::plain_lines() {
  if (!at_line_start_ || position_ == limit_) {
    return {};
  }
  if (plain_end_ <= position_) {
    // Once a line of the block breaks the form, the rest of the block goes piece by piece: files
    // with other line ends then cost one scan of a line per block, not one per line.
    if (form_broken_) {
      return {};
    }
    const std::string_view text(block_.get() + position_, limit_ - position_);
    const std::size_t checked = size_before_break(text.data(), text.size());
    form_broken_ = checked < text.size();
    // The line that holds the break, or the unfinished last line, is left out.
    const std::size_t line_feed = text.substr(0, checked).rfind('\n');
    plain_end_ = position_ + (line_feed == std::string_view::npos ? 0 : line_feed + 1);
  }
  return {block_.get() + position_, plain_end_ - position_};
}

void TextInputFile::skip_lines(std::size_t size) {
  position_ += size;
}

std::optional<TextOutputFile> TextOutputFile::open_for_writing(const char* path,
                                                               const char* protected_file) {
  const FileHandle file = create_file_for_writing(path, protected_file);
  if (file == kNoFile) {
    return std::nullopt;
  }
  return TextOutputFile(file);
}

TextOutputFile::TextOutputFile(FileHandle file)
    : file_(file), block_(std::make_unique_for_overwrite<char[]>(kTextBlockSize)) {}

TextOutputFile::TextOutputFile(TextOutputFile&& other) noexcept
    : file_(std::exchange(other.file_, kNoFile)),
      block_(std::move(other.block_)),
      fill_(other.fill_),
      written_(other.written_),
      written_back_(other.written_back_),
      writes_back_(other.writes_back_),
      failed_(other.failed_) {}

TextOutputFile::~TextOutputFile() {
  close();
}

void TextOutputFile::put_text(const char* text, std::size_t size) {
  const char* const end = text + size;
  while (text < end && !failed_) {
    const char* line_feed = find_byte(text, static_cast<std::size_t>(end - text), '\n');
    if (line_feed == nullptr) {
      append(text, static_cast<std::size_t>(end - text));
      return;
    }
    append(text, static_cast<std::size_t>(line_feed - text));
    append("\r\n", 2);
    text = line_feed + 1;
  }
}

void TextOutputFile::append(const char* bytes, std::size_t size) {
  while (size > 0 && !failed_) {
    if (fill_ == kTextBlockSize && !flush()) {
      return;
    }
    const std::size_t take = std::min(size, kTextBlockSize - fill_);
    std::memcpy(block_.get() + fill_, bytes, take);
    fill_ += take;
    bytes += take;
    size -= take;
  }
}

bool TextOutputFile::flush() {
  if (fill_ > 0 && !failed_ && !write_file(file_, block_.get(), fill_)) {
    failed_ = true;
  }
  written_ += fill_;
  fill_ = 0;
  if (writes_back_ && !failed_ && written_ - written_back_ >= kWritebackStretch) {
    start_writeback(file_, written_back_, written_ - written_back_);
    written_back_ = written_;
  }
  return !failed_;
}

bool TextOutputFile::sync() {
  if (flush() && !sync_file(file_)) {
    failed_ = true;
  }
  return !failed_;
}

bool TextOutputFile::close() {
  if (file_ == kNoFile) {
    return !failed_;
  }
  flush();
  if (!close_file(file_)) {
    failed_ = true;
  }
  file_ = kNoFile;
  return !failed_;
}

FileHandle TextOutputFile::release() {
  flush();
  return std::exchange(file_, kNoFile);
}
