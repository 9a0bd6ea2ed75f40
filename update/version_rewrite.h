// The header's rules, shared by bumpbuild and git-bumpbuild: a component's key names, the
// rewrite that advances its build number, and the version a header gives it.
#ifndef BUMPBUILD_UPDATE_VERSION_REWRITE_H_
#define BUMPBUILD_UPDATE_VERSION_REWRITE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "textio/text_file.h"

// A line piece holds at most this many bytes of text; its buffer has room for one more, the zero.
inline constexpr std::size_t kLinePieceCapacity = 256;
// Rewriting a piece can make it longer: up to 11 bytes of number and 2 bytes of line end follow
// the separator, which may stand near the end of a full piece.
inline constexpr std::size_t kMaxLinePieceGrowth = 13;
// The size a line buffer needs so that a rewritten piece and its zero byte always fit.
inline constexpr std::size_t kLineBufferSize = kLinePieceCapacity + kMaxLinePieceGrowth;
// A component's keys: its prefix and "_" (the stem), then "VERSION" on a number line and
// "STRING_VERSION" on a string line.
struct ComponentKeys {
  std::string stem;
  std::string number_key;
  std::string string_key;
};
ComponentKeys component_keys(std::string_view prefix);

// Copies the text of `input` to `output`, every piece rewritten by bump_version_line for the
// component `prefix` and every LF written as CR LF; lines already in that form, CR LF and no other
// CR, are copied as they stand and rewritten in place, with the same bytes as a result, whatever
// the input's block size. With `write_back`, `output` is written back as it is written
// (TextOutputFile::write_back_as_written) from the first rewritten line on; a copy without one is
// deleted, and deleting a file that is being written out waits for the disk. Returns whether any
// piece was rewritten. Returns false, having copied nothing, when the prefix is empty or its keys
// fit no piece (longer than kMaxKeySize, or holding a CR, an LF or a Ctrl-Z). Stops early at a
// failed read or write: input.failed() and output.failed() tell.
bool copy_with_bumped_lines(TextInputFile& input, TextOutputFile& output, const char* prefix,
                            bool write_back = false);

// Rewrites the line piece of `length` bytes at `piece` in place when it is a string line (it holds
// `string_key`) whose last "." is followed by the build field, or a number line (it holds
// `number_key` but not `string_key`) whose last "," is. The build field, everything after that
// separator, becomes the build number it starts with plus one, in decimal, followed by a double
// quote and LF on a string line or by LF alone on a number line; `length` is updated. Zero bytes
// are ordinary bytes of the piece. A string line without "." is left unchanged and is not tried as
// a number line. Keys match anywhere in the piece, byte for byte.
// Returns the number of bytes now following the separator (at least 2), or 0 when the piece is
// unchanged. The buffer at `piece` must hold `length` + kMaxLinePieceGrowth + 1 bytes.
int bump_version_line(char* piece, std::size_t& length, std::string_view string_key,
                      std::string_view number_key);

// Writes the new build field of a key line, up to its line end, to `out`: the build number that
// `field` (the bytes after the separator) starts with, plus one, in decimal, then a double quote
// on a string line. `out` may be where `field` starts. Returns the number of bytes written, at most
// 12.
std::size_t write_next_build_field(std::string_view field, bool string_line, char* out);

// Reads the build number at the start of `field`: white space (HT, LF, VT, FF, CR, space) is
// skipped, then one optional "+" or "-", then decimal digits while they last. Returns 0 when no
// digit follows. The value wraps modulo 2^32 and is read as a signed 32-bit number.
std::int32_t parse_leading_int(std::string_view field);

// The version a bumped header gives `prefix`, as one field without white space: the text between
// the first two double quotes after the key of the first string line whose key is exactly
// "PREFIX_STRING_VERSION" (a whole word: not GUI_STRING_VERSION for UI); else the text after the
// key of the first number line whose key is exactly "PREFIX_VERSION", commas as dots. Empty when
// neither is there.
std::string version_in_header(std::string_view header, std::string_view prefix);

#endif  // BUMPBUILD_UPDATE_VERSION_REWRITE_H_
