#include "git/bump_record.h"

#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "git/header_tree.h"

namespace {

// The file of the record for `prefix` and `for_commit`, in the directory of its first two digits.
std::string entry_name(const std::string& for_commit, const std::string& prefix) {
  return for_commit.substr(2) + " " + prefix;
}

// Reads the next answer of `git cat-file --batch` at `at` in `output` into `bytes`, and advances
// `at` past it; `found` tells whether the object was there. Returns false for output it cannot
// read and for any answer but an object or "missing".
bool next_answer(std::string_view output, std::size_t& at, bool& found, std::string& bytes) {
  const std::size_t end = output.find('\n', at);
  if (end == std::string_view::npos) {
    return false;
  }
  const std::string_view line = output.substr(at, end - at);
  at = end + 1;
  found = !line.ends_with(" missing");
  bytes.clear();
  if (!found) {
    return true;
  }
  const std::size_t space = line.rfind(' ');
  std::size_t size = 0;
  if (space == std::string_view::npos ||
      std::from_chars(line.data() + space + 1, line.data() + line.size(), size).ec != std::errc() ||
      output.size() - at < size) {
    return false;
  }
  bytes = output.substr(at, size);
  at += size + 1;
  return true;
}

}  // namespace

std::string record_ref(const std::string& branch) {
  return "refs/heads/bumpbuild-for/" + branch + "/records";
}

bool prefix_fits_record(const std::string& prefix) {
  return prefix.find_first_of("/\r\n") == std::string::npos;
}

bool read_record(const GitRunner& git, const std::string& ref, const std::string& for_commit,
                 const std::string& prefix, Record& record) {
  const std::string directory = ref + ":" + for_commit.substr(0, 2);
  const GitResult read = git.run_fed(
      {"cat-file", "--batch"}, ref + "\n" + ref + "^{tree}\n" + directory + "\n" + directory + "/" +
                                   entry_name(for_commit, prefix) + "\n");
  std::size_t at = 0;
  bool has_commit = false;
  bool has_root = false;
  bool has_leaf = false;
  std::string commit_object;
  record = Record{};
  if (read.status != 0 || !next_answer(read.output, at, has_commit, commit_object) ||
      !next_answer(read.output, at, has_root, record.root) ||
      !next_answer(read.output, at, has_leaf, record.leaf) ||
      !next_answer(read.output, at, record.found, record.header)) {
    git.say_failed("can't read the record of bumps for commits", read);
    return false;
  }
  if (has_commit) {
    record.commit = first_line(read.output);
    record.commit.resize(record.commit.find(' '));
  }
  if (record.found) {
    const std::size_t line_end = record.header.find('\n');
    record.bump = record.header.substr(0, line_end);
    record.header.erase(0, line_end == std::string::npos ? line_end : line_end + 1);
  }
  return true;
}

std::string record_bump(const GitRunner& git, const Record& record, const std::string& for_commit,
                        const std::string& prefix, const std::string& bump,
                        const std::string& header) {
  const GitResult stored =
      git.run_fed({"hash-object", "-w", "--stdin", "--no-filters"}, bump + "\n" + header);
  if (stored.status != 0) {
    git.say_failed("can't store the record of the bump", stored);
    return {};
  }
  const std::size_t id_bytes = for_commit.size() / 2;
  const std::string leaf =
      tree_with_entry(git, record.leaf, id_bytes, entry_name(for_commit, prefix), "100644",
                      first_line(stored.output));
  const std::string root = leaf.empty() ? leaf
                                        : tree_with_entry(git, record.root, id_bytes,
                                                          for_commit.substr(0, 2), "40000", leaf);
  if (root.empty()) {
    return {};
  }
  const GitResult made =
      git.run({"commit-tree", root, "-m", "git-bumpbuild: the bumps made for commits"});
  if (made.status != 0) {
    git.say_failed("can't make the record's commit", made);
    return {};
  }
  return first_line(made.output);
}
