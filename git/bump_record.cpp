#include "git/bump_record.h"

#include <charconv>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace {

// A record's commit names the one before it as its parent, so that a push or fetch of the next
// one sends only what changed; but a clone that has none of them fetches all of a line, so after
// this many the next one starts a new line.
constexpr int kLongestLine = 64;
constexpr std::string_view kLineTrailer = "Bumpbuild-Record: ";

// Who makes the record's commits.
constexpr const char* kRecordIdentity = "git-bumpbuild <git-bumpbuild@localhost>";

// The file of the record for `prefix` and `for_commit`, in the directory of its first two digits.
std::string entry_path(const std::string& for_commit, const std::string& prefix) {
  return for_commit.substr(0, 2) + "/" + for_commit.substr(2) + " " + prefix;
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
  const GitResult read = git.run_fed(
      {"cat-file", "--batch"}, ref + "\n" + ref + ":" + entry_path(for_commit, prefix) + "\n");
  std::size_t at = 0;
  bool has_commit = false;
  std::string commit_object;
  record = Record{};
  if (read.status != 0 || !next_answer(read.output, at, has_commit, commit_object) ||
      !next_answer(read.output, at, record.found, record.header) ||
      (has_commit && !commit_object.starts_with("tree "))) {
    git.say_failed("can't read the record of bumps for commits", read);
    return false;
  }
  if (has_commit) {
    record.commit = first_line(read.output);
    record.commit.resize(record.commit.find(' '));
    record.tree = first_line(commit_object).substr(5);
    const std::size_t trailer = commit_object.rfind(kLineTrailer);
    if (trailer != std::string::npos) {
      const char* number = commit_object.data() + trailer + kLineTrailer.size();
      (void)std::from_chars(number, commit_object.data() + commit_object.size(), record.line);
    }
  }
  if (record.found) {
    const std::size_t line_end = record.header.find('\n');
    record.bump = record.header.substr(0, line_end);
    record.header.erase(0, line_end == std::string::npos ? line_end : line_end + 1);
  }
  return true;
}

std::string record_bump(const GitRunner& git, const Record& record, const std::string& scratch_ref,
                        const std::string& for_commit, const std::string& prefix,
                        const std::string& bump, const std::string& header) {
  const bool next_in_line = !record.commit.empty() && record.line + 1 < kLongestLine;
  const std::string message = std::string("git-bumpbuild: the bumps made for commits\n\n")
                                  .append(kLineTrailer)
                                  .append(std::to_string(next_in_line ? record.line + 1 : 0))
                                  .append("\n");
  const std::string content = bump + "\n" + header;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
  std::string script = "commit " + scratch_ref + "\nmark :1\ncommitter " + kRecordIdentity + " " +
                       std::to_string(seconds) + " +0000\ndata " + std::to_string(message.size()) +
                       "\n" + message;
  if (next_in_line) {
    script += "from " + record.commit + "\n";
  } else if (!record.commit.empty()) {
    script += "M 040000 " + record.tree + " \"\"\n";  // the record's tree, without its line
  }
  script += "M 100644 inline " + entry_path(for_commit, prefix) + "\ndata " +
            std::to_string(content.size()) + "\n" + content + "\nget-mark :1\n";
  const GitResult made = git.run_fed({"fast-import", "--quiet", "--force"}, script);
  if (made.status != 0) {
    git.say_failed("can't make the record's next commit", made);
    return {};
  }
  return first_line(made.output);
}
