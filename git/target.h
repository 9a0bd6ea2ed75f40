// The repository a run bumps the header in, resolved once, before the first try, from the clone
// around the current directory, the command line and git's configuration.
#ifndef BUMPBUILD_GIT_TARGET_H_
#define BUMPBUILD_GIT_TARGET_H_

#include <optional>
#include <string>
#include <vector>

#include "git/arguments.h"
#include "git/git_runner.h"

// The clone around the current directory, as git describes it.
struct Clone {
  std::string git_dir;
  std::string turn_file;  // shared by all its working trees: runs in it take turns through its lock
  std::string work_tree;  // empty for a bare repository or outside the working tree
  // The command line's, with an empty remote, branch or file taken from bumpbuild.remote,
  // .branch and .file (the last value of several), the remote "origin" where neither names one;
  // an absolute file outside the top as git names it, with the links of its folder followed.
  RemoteBumpOptions options;
  bool ssh_command_configured = false;  // core.sshCommand is set
  bool sign_commits = false;            // commit.gpgSign is true, as `git commit` reads it
  bool autocrlf = false;                // core.autocrlf is true or "input"
};

// Finds the clone and reads its configuration. Returns nothing, having said why, outside a clone
// and when git cannot read its configuration.
std::optional<Clone> find_clone(const GitRunner& git, const RemoteBumpOptions& options);

// Where every try reads the header and pushes the bump: fixed for the whole run.
struct Target {
  std::string remote;        // a remote's name, or a URL
  std::string shown_remote;  // the remote as messages name it: a URL without its credentials
  std::string push_url;      // where every try fetches the tip and pushes
  std::string tracking_ref;  // refs/remotes/REMOTE/BRANCH for a remote's name, else empty
  std::string branch;
  std::string file;  // the header's path from the top of the repository, with "/"
  std::string git_dir;
  std::string turn_file;
  std::string work_tree;
  bool sign_commits = false;
  bool autocrlf = false;
};

// Resolves `clone` into the target: the remote's push URL (a remote given as a URL is its own),
// the branch, when none was named, that the remote's HEAD names, and the file as a path from the
// top (it may be given with "./", repeated "/" or as an absolute path inside the working tree).
// Returns nothing, having said why, when no file is named, the file lies outside the clone or
// the remote's default branch cannot be learnt.
std::optional<Target> resolve_target(const GitRunner& git, const Clone& clone);

// `file` as a path from the top of the working tree `work_tree` (empty for none): "." parts and
// empty ones left out, ".." followed, an absolute path inside the working tree made relative.
// Empty when it leads outside, or names the top itself.
std::string path_from_top(const std::string& file, const std::string& work_tree);

// `git arguments...` run from the top of the target's working tree, where it has one, so that
// paths and attributes are read as from there.
std::vector<std::string> at_top(const Target& target, std::vector<std::string> arguments);

#endif  // BUMPBUILD_GIT_TARGET_H_
