#include "git/target.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"

namespace {

std::string lower_case(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return text;
}

// Whether git reads `value` of a boolean setting as true ("KEY" alone is true).
bool true_in_git(const std::string& setting, bool value_given) {
  const std::string value = lower_case(setting);
  return !value_given || value == "true" || value == "yes" || value == "on" ||
         (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos &&
          value.find_first_not_of('0') != std::string::npos);
}

// Fills the remote, branch and file that the clone's options leave empty from git's answer to
// `git config -z --get-regexp` (entries "KEY\nVALUE\0"), and whether core.sshCommand is set,
// commit.gpgSign true and core.autocrlf true or "input".
void complete_from_configuration(const std::string& entries, Clone& clone) {
  RemoteBumpOptions& options = clone.options;
  std::string remote;
  std::string branch;
  std::string file;
  std::size_t at = 0;
  while (at < entries.size()) {
    std::size_t end = entries.find('\0', at);
    end = end == std::string::npos ? entries.size() : end;
    const std::string entry = entries.substr(at, end - at);
    at = end + 1;
    const std::size_t newline = entry.find('\n');
    const std::string key = entry.substr(0, newline);
    const std::string value = newline == std::string::npos ? "" : entry.substr(newline + 1);
    // Of several values, the last one wins, as in git.
    if (key == "bumpbuild.remote") {
      remote = value;
    } else if (key == "bumpbuild.branch") {
      branch = value;
    } else if (key == "bumpbuild.file") {
      file = value;
    } else if (key == "commit.gpgsign") {
      clone.sign_commits = true_in_git(value, newline != std::string::npos);
    } else if (key == "core.autocrlf") {
      clone.autocrlf =
          lower_case(value) == "input" || true_in_git(value, newline != std::string::npos);
    } else {
      clone.ssh_command_configured = true;
    }
  }
  for (auto [option, configured] :
       {std::pair{&options.remote, &remote}, std::pair{&options.branch, &branch},
        std::pair{&options.file, &file}}) {
    if (option->empty()) {
      *option = *configured;
    }
  }
  if (options.remote.empty()) {
    options.remote = "origin";
  }
}

// The branch that the HEAD of `remote` names; nothing, having said why, when git cannot tell.
std::optional<std::string> default_branch(const GitRunner& git, const std::string& remote) {
  const GitResult result = git.run({"ls-remote", "--symref", remote, "HEAD"});
  const std::string line = first_line(result.output);
  const std::string prefix = "ref: refs/heads/";
  const std::size_t tab = line.find('\t');
  if (result.status != 0 || !line.starts_with(prefix) || tab == std::string::npos) {
    git.say_failed("can't learn the default branch of " + without_credentials(remote) +
                       " (give --branch or set bumpbuild.branch)",
                   result, without_credentials(remote), "its default branch");
    return std::nullopt;
  }
  return line.substr(prefix.size(), tab - prefix.size());
}

}  // namespace

std::optional<Clone> find_clone(const GitRunner& git, const RemoteBumpOptions& options) {
  const GitResult git_dirs =
      git.run({"rev-parse", "--absolute-git-dir", "--path-format=absolute", "--git-common-dir"});
  const std::size_t newline = git_dirs.output.find('\n');
  if (git_dirs.status != 0 || newline == std::string::npos) {
    git.say_failed("not inside a git clone", git_dirs);
    return std::nullopt;
  }
  const GitResult top = git.run({"rev-parse", "--show-toplevel"});
  const GitResult configured = git.run(
      {"config", "-z", "--get-regexp",
       R"(^(bumpbuild\.(remote|branch|file)|core\.(sshcommand|autocrlf)|commit\.gpgsign)$)"});
  if (configured.status != 0 && configured.status != 1) {  // 1: none of them is set
    git.say_failed("can't read git's configuration", configured);
    return std::nullopt;
  }
  Clone clone;
  clone.git_dir = git_dirs.output.substr(0, newline);
  clone.turn_file = first_line(git_dirs.output.substr(newline + 1)) + "/bumpbuild-turn";
  clone.work_tree = top.status == 0 ? first_line(top.output) : "";
  clone.options = options;
  complete_from_configuration(configured.output, clone);
  // Git names the top with links followed: so is an absolute --file's folder, so that a clone
  // reached through a link to it, or to a folder in it, holds the file.
  std::string& file = clone.options.file;
  const std::size_t slash = file.rfind('/');
  if (file.starts_with('/') && slash != std::string::npos &&
      !file.starts_with(clone.work_tree + "/")) {
    file = resolved_path(file.substr(0, std::max<std::size_t>(slash, 1)).c_str()) + "/" +
           file.substr(slash + 1);
  }
  return clone;
}

std::optional<Target> resolve_target(const GitRunner& git, const Clone& clone) {
  if (clone.options.file.empty()) {
    say("no header given: use --file PATH or git config bumpbuild.file PATH");
    return std::nullopt;
  }
  Target target;
  target.file = path_from_top(clone.options.file, clone.work_tree);
  if (target.file.empty()) {
    say("--file " + clone.options.file + " lies outside the clone" +
        (clone.work_tree.empty() ? "" : " at " + clone.work_tree) +
        ": give the header's path from the top of the repository");
    return std::nullopt;
  }
  target.remote = clone.options.remote;
  target.shown_remote = without_credentials(target.remote);
  // The tip is read where the push goes, so that a read mirror that lags behind the primary
  // costs no run. The URL, not the remote's name, leaves its remote-tracking branch to the end
  // of the run, for runs at once in one clone would fight over it.
  const GitResult push_url = git.run({"remote", "get-url", "--push", target.remote});
  target.push_url = push_url.status == 0 ? first_line(push_url.output) : target.remote;
  target.branch = clone.options.branch;
  if (target.branch.empty()) {
    const std::optional<std::string> branch = default_branch(git, target.remote);
    if (!branch) {
      return std::nullopt;
    }
    target.branch = *branch;
  }
  if (push_url.status == 0) {
    target.tracking_ref = "refs/remotes/" + target.remote + "/" + target.branch;
  }
  target.sign_commits = clone.sign_commits;
  target.autocrlf = clone.autocrlf;
  target.git_dir = clone.git_dir;
  target.turn_file = clone.turn_file;
  target.work_tree = clone.work_tree;
  return target;
}

std::vector<std::string> at_top(const Target& target, std::vector<std::string> arguments) {
  if (!target.work_tree.empty()) {
    arguments.insert(arguments.begin(), {"-C", target.work_tree});
  }
  return arguments;
}

std::string path_from_top(const std::string& file, const std::string& work_tree) {
  std::string rest = file;
  if (file.starts_with('/') || (file.size() > 1 && file[1] == ':')) {
    if (work_tree.empty() || !file.starts_with(work_tree + "/")) {
      return {};
    }
    rest = file.substr(work_tree.size() + 1);
  }
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at <= rest.size()) {
    const std::size_t slash = std::min(rest.find('/', at), rest.size());
    const std::string part = rest.substr(at, slash - at);
    at = slash + 1;
    if (part == "..") {
      if (parts.empty()) {
        return {};
      }
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
  }
  std::string path;
  for (const std::string& part : parts) {
    path += (path.empty() ? "" : "/") + part;
  }
  return path;
}
