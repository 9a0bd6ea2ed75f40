#include "textio/text_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr char kCtrlZ = 0x1A;

const char* find_byte(const char* begin, std::size_t size, char byte) {
  return static_cast<const char*>(std::memchr(begin, byte, size));
}

// Removes every CR byte from the `size` bytes at `block`, in place, and returns the new size.
// Each raw block is converted on its own, so a CR at the end of a block is dropped like any other.
std::size_t drop_carriage_returns(char* block, std::size_t size) {
  const char* const end = block + size;
  const char* in = find_byte(block, size, '\r');
  if (in == nullptr) {
    return size;
  }
  char* out = block + (in - block);
  while (in < end) {
    ++in;  // skip the CR
    const char* next_cr = find_byte(in, static_cast<std::size_t>(end - in), '\r');
    const char* stretch_end = next_cr != nullptr ? next_cr : end;
    const auto stretch = static_cast<std::size_t>(stretch_end - in);
    std::memmove(out, in, stretch);
    out += stretch;
    in = stretch_end;
  }
  return static_cast<std::size_t>(out - block);
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
    : file_(file), block_size_(block_size), block_(std::make_unique<char[]>(block_size)) {}

TextInputFile::TextInputFile(TextInputFile&& other) noexcept
    : file_(std::exchange(other.file_, kNoFile)),
      block_size_(other.block_size_),
      block_(std::move(other.block_)),
      position_(other.position_),
      limit_(other.limit_),
      at_end_(other.at_end_),
      failed_(other.failed_),
      met_ctrl_z_(other.met_ctrl_z_) {}

TextInputFile::~TextInputFile() {
  close();
}

void TextInputFile::close() {
  close_file(file_);  // a failing close of a file only read loses nothing
  file_ = kNoFile;
}

// Reads raw blocks until one yields converted bytes. Returns false at the end of the text (end of
// file, a Ctrl-Z met before, a closed file) or on a read error, which sets failed_.
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
    position_ = 0;
    limit_ = drop_carriage_returns(block_.get(), size);
    if (limit_ > 0) {
      return true;
    }
  }
  return false;
}

std::size_t TextInputFile::next_line(char* buffer, std::size_t capacity) {
  const std::size_t room = capacity - 1;
  std::size_t stored = 0;
  while (stored < room) {
    if (position_ == limit_ && !refill()) {
      at_end_ = true;
      break;
    }
    const char* start = block_.get() + position_;
    std::size_t take = std::min(room - stored, limit_ - position_);
    const char* line_feed = find_byte(start, take, '\n');
    if (line_feed != nullptr) {
      take = static_cast<std::size_t>(line_feed - start) + 1;
    }
    std::memcpy(buffer + stored, start, take);
    stored += take;
    position_ += take;
    if (line_feed != nullptr) {
      break;
    }
  }
  if (stored > 0) {
    buffer[stored] = '\0';
  }
  return failed_ ? 0 : stored;
}

std::optional<TextOutputFile> TextOutputFile::open_for_writing(const char* path) {
  const FileHandle file = create_file_for_writing(path);
  if (file == kNoFile) {
    return std::nullopt;
  }
  return TextOutputFile(file);
}

TextOutputFile::TextOutputFile(FileHandle file)
    : file_(file), block_(std::make_unique<char[]>(kTextBlockSize)) {}

TextOutputFile::TextOutputFile(TextOutputFile&& other) noexcept
    : file_(std::exchange(other.file_, kNoFile)),
      block_(std::move(other.block_)),
      fill_(other.fill_),
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
  fill_ = 0;
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
