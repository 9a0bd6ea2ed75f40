#include "git/header_tree.h"

#include <charconv>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// The parts of `file` between its "/".
std::vector<std::string> path_parts(const std::string& file) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (std::size_t slash = file.find('/'); slash != std::string::npos; slash = file.find('/', at)) {
    parts.push_back(file.substr(at, slash - at));
    at = slash + 1;
  }
  parts.push_back(file.substr(at));
  return parts;
}

// Reads the object at `at` in `output` and advances `at` past it; a "<name> missing" line
// leaves it not found. The last object takes the rest of the output but its final LF: with
// --filters git gives the size before the filter.
// Returns false for output it cannot read.
bool next_object(std::string_view output, std::size_t& at, bool last, BatchObject& object) {
  const std::size_t end = output.find('\n', at);
  if (end == std::string_view::npos) {
    return false;
  }
  const std::string_view line = output.substr(at, end - at);
  at = end + 1;
  object = BatchObject{};
  if (line.ends_with(" missing")) {
    return true;
  }
  const std::size_t first = line.find(' ');
  const std::size_t second = line.find(' ', first == std::string_view::npos ? first : first + 1);
  std::size_t size = 0;
  if (second == std::string_view::npos ||
      std::from_chars(line.data() + second + 1, line.data() + line.size(), size).ec !=
          std::errc()) {
    return false;
  }
  const std::size_t given = size;
  if (last) {
    size = output.size() - at - (output.ends_with('\n') ? 1 : 0);
  }
  if (output.size() - at < size) {
    return false;
  }
  object = {true, std::string(line.substr(0, first)),
            std::string(line.substr(first + 1, second - first - 1)),
            std::string(output.substr(at, size)), given};
  at += size + 1;
  return true;
}

std::string hex_of(std::string_view raw) {
  std::string hex;
  for (const char byte : raw) {
    const auto bits = static_cast<unsigned char>(byte);
    hex += "0123456789abcdef"[bits >> 4U];
    hex += "0123456789abcdef"[bits & 0xFU];
  }
  return hex;
}

// One entry of a tree as git stores it: "<mode> <name>\0" and the id's raw bytes.
struct TreeEntry {
  std::string_view mode;
  std::string_view name;
  std::string_view raw_id;
};

// Reads the entry at `at` of `tree`, whose ids have `id_bytes` bytes, and advances `at`.
bool next_entry(std::string_view tree, std::size_t id_bytes, std::size_t& at, TreeEntry& entry) {
  const std::size_t space = tree.find(' ', at);
  const std::size_t zero = tree.find('\0', space == std::string_view::npos ? at : space);
  if (space == std::string_view::npos || zero == std::string_view::npos ||
      tree.size() - zero - 1 < id_bytes) {
    return false;
  }
  entry = {tree.substr(at, space - at), tree.substr(space + 1, zero - space - 1),
           tree.substr(zero + 1, id_bytes)};
  at = zero + 1 + id_bytes;
  return true;
}

// Finds entry `name` in `tree`. Returns false when it has none.
bool find_entry(std::string_view tree, std::size_t id_bytes, std::string_view name,
                TreeEntry& entry) {
  std::size_t at = 0;
  while (next_entry(tree, id_bytes, at, entry)) {
    if (entry.name == name) {
      return true;
    }
  }
  return false;
}

// `tree` as `git mktree -z` reads it, its entry `name` given `mode` and `id`.
std::string mktree_input(std::string_view tree, std::size_t id_bytes, std::string_view name,
                         const std::string& mode, const std::string& id) {
  std::string input;
  std::size_t at = 0;
  TreeEntry entry;
  while (next_entry(tree, id_bytes, at, entry)) {
    const bool replaced = entry.name == name;
    const std::string_view entry_mode = replaced ? std::string_view(mode) : entry.mode;
    const char* type = entry_mode == "40000"    ? " tree "
                       : entry_mode == "160000" ? " commit "
                                                : " blob ";
    input.append(entry_mode).append(type).append(replaced ? id : hex_of(entry.raw_id));
    input.append("\t").append(entry.name).push_back('\0');
  }
  return input;
}

}  // namespace

TipRead read_tip_header(const GitRunner& git, const std::string& ref, const std::string& file,
                        TipHeader& header, const std::vector<std::string>& also,
                        std::vector<BatchObject>* also_read) {
  const std::vector<std::string> parts = path_parts(file);
  // The objects asked for besides, the commit, the top tree, each directory's tree, then the
  // header, smudged as at its path.
  std::string request;
  for (const std::string& name : also) {
    request.append(name).append("\n");
  }
  request.append(ref).append("\n").append(ref).append("^{tree}\n");
  std::string directory;
  for (std::size_t depth = 0; depth + 1 < parts.size(); ++depth) {
    directory += (depth == 0 ? "" : "/") + parts[depth];
    request.append(ref).append(":").append(directory).append("\n");
  }
  // With --filters git splits each line at its first white space into an object and the path
  // whose attributes apply: a header whose path holds some is read as stored here and smudged by
  // a git of its own.
  const bool in_one = file.find_first_of(" \t") == std::string::npos;
  std::vector<std::string> command{"cat-file", "--batch"};
  request += ref + ":" + file + (in_one ? " " + file : "") + "\n";
  if (in_one) {
    command.emplace_back("--filters");
  }
  const GitResult read = git.run_fed(command, request);
  if (read.status != 0) {
    git.say_failed("can't read the tip's " + file, read);
    return TipRead::kFailed;
  }
  std::size_t at = 0;
  BatchObject object;
  for (std::size_t asked = 0; asked < also.size(); ++asked) {
    if (!next_object(read.output, at, false, object)) {
      git.say_failed("can't read the fetched tip", read);
      return TipRead::kFailed;
    }
    also_read->push_back(std::move(object));
  }
  if (!next_object(read.output, at, false, object) || object.type != "commit") {
    git.say_failed("can't read the fetched tip", read);
    return TipRead::kFailed;
  }
  header.tip = object.id;
  header.trees.clear();
  const std::size_t id_bytes = header.tip.size() / 2;
  while (header.trees.size() < parts.size()) {
    if (!next_object(read.output, at, false, object) || object.type != "tree") {
      return TipRead::kNoFile;  // a missing directory, or a file in the way of one
    }
    header.trees.push_back(object.bytes);
  }
  TreeEntry entry;
  if (!find_entry(header.trees.back(), id_bytes, parts.back(), entry) || entry.mode == "40000" ||
      entry.mode == "160000") {
    return TipRead::kNoFile;
  }
  header.mode = entry.mode;
  if (!next_object(read.output, at, true, object) || !object.found || object.type != "blob") {
    return TipRead::kNoFile;
  }
  header.stored_size = object.size;
  if (in_one) {
    header.header = object.bytes;
    return TipRead::kRead;
  }
  const GitResult smudged =
      git.run({"cat-file", "--filters", "--path=" + file, hex_of(entry.raw_id)});
  if (smudged.status != 0) {
    git.say_failed("can't read the tip's " + file, smudged);
    return TipRead::kFailed;
  }
  header.header = smudged.output;
  return TipRead::kRead;
}

std::string entry_id(std::string_view tree, std::size_t id_bytes, std::string_view name) {
  TreeEntry entry;
  return find_entry(tree, id_bytes, name, entry) ? hex_of(entry.raw_id) : std::string();
}

std::string tree_with_blob(const GitRunner& git, const TipHeader& tip, const std::string& file,
                           const std::string& blob) {
  const std::vector<std::string> parts = path_parts(file);
  const std::size_t id_bytes = tip.tip.size() / 2;
  std::string id = blob;
  for (std::size_t depth = parts.size(); depth-- > 0;) {
    const std::string mode = depth + 1 == parts.size() ? tip.mode : "40000";
    const GitResult made =
        git.run_fed({"mktree", "-z", "--missing"},
                    mktree_input(tip.trees[depth], id_bytes, parts[depth], mode, id));
    if (made.status != 0) {
      git.say_failed("can't make the tree of the bump", made);
      return {};
    }
    id = first_line(made.output);
  }
  return id;
}
