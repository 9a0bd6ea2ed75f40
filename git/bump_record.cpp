#include "git/bump_record.h"

#include <charconv>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A record's commit names the one before it as its parent, so that a push or fetch of the next
// one sends only what changed; but a clone that has none of them fetches all of a line, so after
// this many the next one starts a new line.
constexpr int kLongestLine = 64;
constexpr std::string_view kLineTrailer = "Bumpbuild-Record: ";

// Who makes the record's commits.
constexpr const char* kRecordIdentity = "git-bumpbuild <git-bumpbuild@localhost>";

// The record for `prefix` and `for_commit` is the file "REST PREFIX" in the directory "XX", XX
// the commit's first two hex digits and REST the others.
std::string entry_directory(const std::string& for_commit) {
  return for_commit.substr(0, 2);
}

std::string entry_name(const std::string& for_commit, const std::string& prefix) {
  return for_commit.substr(2) + " " + prefix;
}

}  // namespace

std::string record_ref(const std::string& branch) {
  return "refs/heads/bumpbuild-for/" + branch + "/records";
}

bool prefix_fits_record(const std::string& prefix) {
  return prefix.find_first_of("/\r\n") == std::string::npos;
}

std::vector<std::string> record_objects(const std::string& ref, const std::string& for_commit) {
  return {ref, ref + ":" + entry_directory(for_commit)};
}

bool read_record(const GitRunner& git, const std::vector<BatchObject>& objects,
                 const std::string& for_commit, const std::string& prefix, Record& record) {
  record = Record{};
  const BatchObject& commit = objects[0];
  const BatchObject& directory = objects[1];
  if (!commit.found) {
    return true;
  }
  if (commit.type != "commit" || !commit.bytes.starts_with("tree ")) {
    say("can't read the record of bumps for commits: " + commit.id + " is no commit of one");
    return false;
  }
  record.commit = commit.id;
  record.tree = first_line(commit.bytes).substr(5);
  const std::size_t trailer = commit.bytes.rfind(kLineTrailer);
  if (trailer != std::string::npos) {
    const char* number = commit.bytes.data() + trailer + kLineTrailer.size();
    (void)std::from_chars(number, commit.bytes.data() + commit.bytes.size(), record.line);
  }
  const std::string entry =
      directory.found && directory.type == "tree"
          ? entry_id(directory.bytes, commit.id.size() / 2, entry_name(for_commit, prefix))
          : std::string();
  if (entry.empty()) {
    return true;
  }
  const GitResult read = git.run({"cat-file", "blob", entry});
  if (read.status != 0) {
    git.say_failed("can't read the record of bumps for commits", read);
    return false;
  }
  record.found = true;
  const std::size_t line_end = read.output.find('\n');
  record.bump = read.output.substr(0, line_end);
  record.header = line_end == std::string::npos ? std::string() : read.output.substr(line_end + 1);
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
  script += "M 100644 inline " + entry_directory(for_commit) + "/" +
            entry_name(for_commit, prefix) + "\ndata " + std::to_string(content.size()) + "\n" +
            content + "\nget-mark :1\n";
  const GitResult made = git.run_fed({"fast-import", "--quiet", "--force"}, script);
  if (made.status != 0) {
    git.say_failed("can't make the record's next commit", made);
    return {};
  }
  return first_line(made.output);
}
