#include "git/target.h"

#include <optional>
#include <string>
#include <utility>

namespace {

// Fills the remote, branch and file that `options` leave empty from git's answer to
// `git config -z --get-regexp` (entries "KEY\nVALUE\0"). Returns whether core.sshCommand is set.
bool complete_from_configuration(const std::string& entries, RemoteBumpOptions& options) {
  std::string remote;
  std::string branch;
  std::string file;
  bool ssh_command_configured = false;
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
    } else {
      ssh_command_configured = true;
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
  return ssh_command_configured;
}

// The branch that the HEAD of `remote` names; nothing, having said why, when git cannot tell.
std::optional<std::string> default_branch(const GitRunner& git, const std::string& remote) {
  const GitResult result = git.run({"ls-remote", "--symref", remote, "HEAD"});
  const std::string line = first_line(result.output);
  const std::string prefix = "ref: refs/heads/";
  const std::size_t tab = line.find('\t');
  if (result.status != 0 || !line.starts_with(prefix) || tab == std::string::npos) {
    git.say_failed(
        "can't learn the default branch of " + remote + " (give --branch or set bumpbuild.branch)",
        result);
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
      {"config", "-z", "--get-regexp", "^(bumpbuild\\.(remote|branch|file)|core\\.sshcommand)$"});
  if (configured.status != 0 && configured.status != 1) {  // 1: none of them is set
    git.say_failed("can't read git's configuration", configured);
    return std::nullopt;
  }
  Clone clone;
  clone.git_dir = git_dirs.output.substr(0, newline);
  clone.turn_file = first_line(git_dirs.output.substr(newline + 1)) + "/bumpbuild-turn";
  clone.work_tree = top.status == 0 ? first_line(top.output) : "";
  clone.options = options;
  clone.ssh_command_configured = complete_from_configuration(configured.output, clone.options);
  return clone;
}

std::optional<Target> resolve_target(const GitRunner& git, const Clone& clone) {
  if (clone.options.file.empty()) {
    say("no header given: use --file PATH or git config bumpbuild.file PATH");
    return std::nullopt;
  }
  Target target;
  target.remote = clone.options.remote;
  // Pushing to the URL rather than to the remote's name leaves the clone's remote-tracking
  // branches alone, which runs at once in one clone would otherwise fight over.
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
  target.file = clone.options.file;
  target.git_dir = clone.git_dir;
  target.turn_file = clone.turn_file;
  target.work_tree = clone.work_tree;
  return target;
}
