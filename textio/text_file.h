// DOS text-mode streams over platform files. Reading drops every CR byte and ends the text at the
// first Ctrl-Z; writing turns every LF into CR LF. All other bytes, zero bytes included, pass
// through unchanged, and no character set is assumed.
#ifndef BUMPBUILD_TEXTIO_TEXT_FILE_H_
#define BUMPBUILD_TEXTIO_TEXT_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/file_system.h"

// Raw reads and writes go through blocks this large; nothing else grows with the file.
inline constexpr std::size_t kTextBlockSize = std::size_t{256} * 1024;
// How much written text TextOutputFile::write_back_as_written hands to the system at once: large
// enough for the disk to write it in big runs, small enough to keep the disk busy alongside.
inline constexpr std::uint64_t kWritebackStretch = std::uint64_t{8} * 1024 * 1024;

class TextInputFile {
 public:
  // Opens an existing file for reading. Returns nothing, and writes nothing anywhere, when the file
  // cannot be opened (absent or not readable). The file is not locked. `block_size` is the size of
  // the raw reads; the bytes delivered do not depend on it.
  static std::optional<TextInputFile> open_for_reading(const char* path,
                                                       std::size_t block_size = kTextBlockSize);

  // Reads `file`, already open for reading, from its current position; the stream owns it from
  // now on and closes it.
  static TextInputFile over(FileHandle file) { return {file, kTextBlockSize}; }

  TextInputFile(TextInputFile&& other) noexcept;
  TextInputFile& operator=(TextInputFile&&) = delete;
  TextInputFile(const TextInputFile&) = delete;
  TextInputFile& operator=(const TextInputFile&) = delete;
  ~TextInputFile();

  // Reads the next line piece into `buffer`: the converted bytes up to and including the next LF,
  // but at most `capacity` - 1 of them, followed by a zero byte (which does not end the piece: zero
  // bytes from the file are part of it). Stops after an LF, when `capacity` - 1 bytes are stored,
  // at the end of the text, or at a read error.
  // Returns the number of bytes stored. Returns 0 when the end of the text came before any byte
  // (the buffer is then untouched) and for any read that meets a read error (the bytes stored
  // before the error stay in the buffer, followed by a zero byte). `capacity` must be at least 2.
  std::size_t next_line(char* buffer, std::size_t capacity);

  // Returns the whole lines that follow the current position within the raw block at hand, as far
  // as they read and write back unchanged: each ends in CR LF and holds no other CR, so the pieces
  // next_line would deliver for them, written by TextOutputFile::put_text, are these very bytes.
  // Returns an empty view when the position is inside a line (after a piece that ended without
  // LF), when the block is used up, or when the next line is not of that form; next_line goes on
  // from there. Nothing is read; the view lasts until the next call of next_line or skip_lines.
  std::string_view plain_lines();

  // Consumes the first `size` bytes of the view plain_lines returned, as if their pieces had been
  // read with next_line. `size` must end after one of the view's line ends.
  void skip_lines(std::size_t size);

  // True once a read has met the end of the text or a read error. A read that stops at an LF or
  // at the capacity does not set it, even when no text follows; the next read then does.
  [[nodiscard]] bool at_end() const { return at_end_; }

  // True once a read of the file has failed.
  [[nodiscard]] bool failed() const { return failed_; }

  // The open file, for the platform layer (kNoFile once closed); the stream still owns it.
  [[nodiscard]] FileHandle file() const { return file_; }

  // Has the stream keep a digest of the text it reads from now on (digest); reading without one
  // costs nothing for it. Call it before the first read.
  void keep_digest() { keeps_digest_ = true; }

  // A 64-bit digest of the text read from the file so far, up to its first Ctrl-Z, before any
  // conversion, while keep_digest was in force: two reads of the whole text give one digest exactly
  // when they read the same bytes, but for a chance of about 2^-64. Not a defence against bytes
  // chosen to collide.
  [[nodiscard]] std::uint64_t digest() const { return digest_; }

  // Releases the file. Further reads find the end of the text. Closing twice does nothing.
  void close();

 private:
  TextInputFile(FileHandle file, std::size_t block_size);
  bool refill();

  FileHandle file_;
  std::size_t block_size_;
  std::unique_ptr<char[]> block_;  // raw bytes, CRs still in; limit_ stops before any Ctrl-Z
  std::size_t position_ = 0;       // next raw byte to deliver
  std::size_t limit_ = 0;          // end of the text in block_
  std::size_t plain_end_ = 0;      // end of the plain lines plain_lines found, once past position_
  bool form_broken_ = false;       // plain_lines met a line of the block not in the CR LF form
  bool block_has_carriage_return_ = false;  // else pieces are copied without looking for CRs
  bool at_line_start_ = true;               // the last piece delivered ended in LF, or none was
  bool at_end_ = false;
  bool failed_ = false;
  bool met_ctrl_z_ = false;
  bool keeps_digest_ = false;
  std::uint64_t digest_ = 1;  // so that leading zero bytes count
};

class TextOutputFile {
 public:
  // Creates a new file at `path` with create_file_for_writing, which removes whatever stood there
  // and holds an exclusive lock on the new file while the stream has it. Returns nothing when that
  // fails (a directory at `path`, `path` naming `protected_file`, which may be nullptr, a directory
  // where the file may not be created).
  static std::optional<TextOutputFile> open_for_writing(const char* path,
                                                        const char* protected_file);

  // Writes to `file`, already open for writing, at its current position; the stream owns it from
  // now on (release() hands it back).
  static TextOutputFile over(FileHandle file) { return TextOutputFile(file); }

  TextOutputFile(TextOutputFile&& other) noexcept;
  TextOutputFile& operator=(TextOutputFile&&) = delete;
  TextOutputFile(const TextOutputFile&) = delete;
  TextOutputFile& operator=(const TextOutputFile&) = delete;
  // Closes the file if it is still open; the result is lost, so call close() to learn it.
  ~TextOutputFile();

  // Writes `size` bytes of `text`, each LF as CR LF and every other byte as it is. Nothing more is
  // written after a write has failed; failed() then tells.
  void put_text(const char* text, std::size_t size);

  // Writes `size` bytes of `text` exactly as they are: text already in the file's form, such as
  // TextInputFile::plain_lines. Nothing is written after a write has failed.
  void put_raw(const char* text, std::size_t size) {
    if (size > 0 && size <= kTextBlockSize - fill_ && !failed_) {  // most fit the block at hand
      std::memcpy(block_.get() + fill_, text, size);
      fill_ += size;
    } else {
      append(text, size);
    }
  }

  // True once a write to the file has failed; the bytes written before the failure stay in it.
  [[nodiscard]] bool failed() const { return failed_; }

  // From now on, asks the system to start writing the file out to stable storage every
  // kWritebackStretch bytes, while the rest is still being written, so that sync() later waits
  // for little more than the last stretch. Worth it only for a file that will be synced.
  void write_back_as_written() { writes_back_ = true; }

  // Writes out what is buffered and makes the whole file durable on stable storage. Returns false
  // when that or any earlier write failed.
  bool sync();

  // Writes out what is buffered, without waiting for stable storage. Returns false when that or
  // any earlier write failed.
  bool flush();

  // Writes out what is buffered and releases the file. Returns false when that, any earlier write
  // or the close itself failed. Closing twice does nothing more and returns the same result.
  bool close();

  // The open file, for the platform layer (kNoFile once closed or released).
  [[nodiscard]] FileHandle file() const { return file_; }

  // Writes out what is buffered and hands the still open file to the caller, who must close it
  // (remove_file and commit_replacement do); the stream is closed afterwards. failed() tells
  // whether any write failed.
  FileHandle release();

 private:
  explicit TextOutputFile(FileHandle file);
  void append(const char* bytes, std::size_t size);

  FileHandle file_;
  std::unique_ptr<char[]> block_;
  std::size_t fill_ = 0;
  std::uint64_t written_ = 0;       // bytes written to the file so far
  std::uint64_t written_back_ = 0;  // bytes the system was asked to write back
  bool writes_back_ = false;
  bool failed_ = false;
};

#endif  // BUMPBUILD_TEXTIO_TEXT_FILE_H_
