#include "git/working_tree.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "update/replacement.h"

namespace {

// Names the header that a run wrote into this working tree, its index left at HEAD's.
constexpr const char* kWrittenRef = "refs/worktree/bumpbuild-header";

// The objects that `git cat-file --batch-check` names for the `count` lines of `names`, an empty
// one for each that is missing; nothing, having said why, when git cannot tell.
std::optional<std::vector<std::string>> objects_named(const GitRunner& git, const Target& target,
                                                      const std::string& names, std::size_t count) {
  const GitResult checked =
      git.run_fed(at_top(target, {"cat-file", "--batch-check=%(objectname)"}), names);
  std::vector<std::string> objects;
  std::size_t at = 0;
  for (std::size_t end = checked.output.find('\n'); end != std::string::npos;
       end = checked.output.find('\n', at)) {
    const std::string line = checked.output.substr(at, end - at);
    objects.push_back(line.ends_with(" missing") ? "" : line);
    at = end + 1;
  }
  if (checked.status != 0 || objects.size() != count) {
    git.say_failed("can't read the index of " + target.work_tree, checked);
    return std::nullopt;
  }
  return objects;
}

void say_pushed_but(const PushedBump& bump, const std::string& what) {
  say("pushed " + bump.commit + ", but " + what);
}

// Replaces the header in the working tree by the pushed one as a checkout writes it, as
// bumpbuild replaces a file; a working tree without one stays so.
bool write_working_copy(const GitRunner& git, const Target& target, const PushedBump& bump) {
  const GitResult form =
      git.run(at_top(target, {"cat-file", "--filters", "--path=" + target.file, bump.blob}));
  const std::string path = target.work_tree + "/" + target.file;
  const std::string temp = path + ".bumpbuild-" + bump.commit;
  if (form.status != 0 ||
      replace_with_bytes(path.c_str(), temp.c_str(), form.output) == ReplaceOutcome::kFailed) {
    say_pushed_but(bump, "can't replace " + path);
    return false;
  }
  return true;
}

// Moves the refs that `updates` name (`git update-ref --stdin`), all or none; says so when
// that fails.
bool update_refs(const GitRunner& git, const Target& target, const PushedBump& bump,
                 const std::string& updates) {
  if (updates.empty()) {
    return true;
  }
  const GitResult updated = git.run_fed(at_top(target, {"update-ref", "--stdin"}), updates);
  if (updated.status != 0) {
    git.say_failed("pushed " + bump.commit + ", but can't update the clone's refs", updated);
    return false;
  }
  return true;
}

// Whether the working tree's header is the one a run wrote there, whose blob is `written`: as
// hash-object stores it, or byte for byte where the run kept the stored line ends
// (adds_byte_for_byte).
bool holds_written(const GitRunner& git, const Target& target, const std::string& written) {
  const auto stored_as = [&](const std::string& how) {
    const GitResult hashed = git.run(at_top(target, {"hash-object", how, "--", target.file}));
    return hashed.status == 0 && first_line(hashed.output) == written;
  };
  return !written.empty() && (stored_as("--path=" + target.file) || stored_as("--no-filters"));
}

}  // namespace

bool adds_byte_for_byte(const GitRunner& git, const Target& target) {
  const GitResult checked =
      git.run(at_top(target, {"check-attr", "-z", "text", "crlf", "eol", "ident", "filter",
                              "working-tree-encoding", "--", target.file}));
  return checked.status == 0 && attributes_add_byte_for_byte(checked.output, target.autocrlf);
}

bool attributes_add_byte_for_byte(std::string_view attributes, bool autocrlf) {
  // "PATH\0ATTRIBUTE\0VALUE\0" for each attribute in the order asked.
  std::vector<std::string_view> values;
  std::size_t at = 0;
  for (std::size_t field = 0; at < attributes.size(); ++field) {
    const std::size_t end = std::min(attributes.find('\0', at), attributes.size());
    if (field % 3 == 2) {
      values.push_back(attributes.substr(at, end - at));
    }
    at = end + 1;
  }
  if (values.size() != 6) {
    return false;
  }
  // The crlf attribute is text's old name, read where text is unspecified.
  const std::string_view text = values[0] != "unspecified" ? values[0] : values[1];
  const bool automatic =
      text == "auto" || (text == "unspecified" && values[2] == "unspecified" && autocrlf);
  const auto absent = [](std::string_view value) {
    return value == "unspecified" || value == "unset";
  };
  return automatic && absent(values[3]) && absent(values[4]) && absent(values[5]);
}

bool header_is_free(const GitRunner& git, const Target& target) {
  if (target.work_tree.empty()) {
    return true;
  }
  const std::optional<std::vector<std::string>> objects = objects_named(
      git, target, "HEAD:" + target.file + "\n:" + target.file + "\n" + kWrittenRef + "\n", 3);
  if (!objects) {
    return false;
  }
  const std::string& committed = (*objects)[0];
  const std::string& staged = (*objects)[1];
  const std::string& written = (*objects)[2];
  std::string edit = committed != staged ? "in the index" : "";
  const std::string path = target.work_tree + "/" + target.file;
  // Git decides whether the working tree's header differs from the index's, as `git status`
  // does: the index's stat information first, then the content with git's conversions (a
  // stored CR LF is left alone where line ends are converted automatically).
  GitResult differs;
  differs.status = 0;
  if (edit.empty() && !nothing_at(path.c_str())) {
    differs = git.run(at_top(target, {"diff", "--no-ext-diff", "--quiet", "--", target.file}));
  }
  if (differs.status != 0 && differs.status != 1) {
    git.say_failed("can't compare " + target.file + " with the index", differs);
    return false;
  }
  if (differs.status == 1 && !holds_written(git, target, written)) {
    edit = "in the working tree";
  }
  if (!edit.empty()) {
    say(target.file + " holds an edit of yours " + edit + "; nothing was pushed. Commit it, " +
        "put it aside (git stash) or drop it (git checkout HEAD -- " + target.file +
        "), then run again");
    return false;
  }
  return true;
}

bool follow_push(const GitRunner& git, const Target& target, const PushedBump& bump) {
  const std::string tracking =
      target.tracking_ref.empty() ? "" : "update " + target.tracking_ref + " " + bump.commit + "\n";
  if (target.work_tree.empty()) {
    return update_refs(git, target, bump, tracking);
  }
  const GitResult head =
      git.run(at_top(target, {"rev-parse", "HEAD", "--symbolic-full-name", "HEAD"}));
  const std::string commit = first_line(head.output);
  const std::string name =
      head.status == 0 ? first_line(head.output.substr(commit.size() + 1)) : "";
  const std::string branch_ref = "refs/heads/" + target.branch;
  // The branch moves only from the tip the bump was made on, and with its remote-tracking
  // branch, as after a push of a commit of the user's.
  if (name == branch_ref && commit == bump.tip &&
      git.run_fed(at_top(target, {"update-ref", "--stdin"}),
                  "update " + branch_ref + " " + bump.commit + " " + bump.tip + "\n" + tracking)
              .status == 0) {
    const GitResult indexed = git.run(at_top(
        target, {"update-index", "--cacheinfo", bump.mode + "," + bump.blob + "," + target.file}));
    if (indexed.status != 0) {
      say_pushed_but(bump, "can't put it into the index of " + target.work_tree);
      return false;
    }
    return write_working_copy(git, target, bump);
  }
  // A CI checkout of a commit on the branch's line builds with the number it was given.
  const bool on_line =
      name == "HEAD" &&
      git.run(at_top(target, {"merge-base", "--is-ancestor", "HEAD", bump.commit})).status == 0;
  const std::string written =
      on_line ? std::string("update ") + kWrittenRef + " " + bump.blob + "\n" : "";
  if (!update_refs(git, target, bump, tracking + written)) {
    return false;
  }
  if (on_line) {
    return write_working_copy(git, target, bump);
  }
  std::string why = "HEAD is not on " + target.branch + " (--branch names the branch bumped)";
  if (name == branch_ref) {
    why = target.branch + " here is not at the tip the bump was made on (git pull brings it)";
  } else if (name == "HEAD") {
    why = "HEAD is detached off the line of " + target.branch;
  }
  say("left " + target.file + " in the working tree as it is: " + why);
  return true;
}
