// The repository a run bumps the header in, resolved once, before the first try, from the clone
// around the current directory, the command line and git's configuration.
#ifndef BUMPBUILD_GIT_TARGET_H_
#define BUMPBUILD_GIT_TARGET_H_

#include <optional>
#include <string>

#include "git/arguments.h"
#include "git/git_runner.h"

// The clone around the current directory, as git describes it.
struct Clone {
  std::string git_dir;
  std::string turn_file;  // shared by all its working trees: runs in it take turns through its lock
  std::string work_tree;  // empty for a bare repository or outside the working tree
  // The command line's, with an empty remote, branch or file taken from bumpbuild.remote,
  // .branch and .file (the last value of several), the remote "origin" where neither names one.
  RemoteBumpOptions options;
  bool ssh_command_configured = false;  // core.sshCommand is set
};

// Finds the clone and reads its configuration. Returns nothing, having said why, outside a clone
// and when git cannot read its configuration.
std::optional<Clone> find_clone(const GitRunner& git, const RemoteBumpOptions& options);

// Where every try reads the header and pushes the bump: fixed for the whole run.
struct Target {
  std::string remote;    // a remote's name, or a URL
  std::string push_url;  // the remote's, so that no push updates a remote-tracking branch
  std::string branch;
  std::string file;  // the header's path from the top of the repository, with "/"
  std::string git_dir;
  std::string turn_file;
  std::string work_tree;
};

// Resolves `clone` into the target: the remote's push URL (a remote given as a URL is its own),
// and the branch, when none was named, that the remote's HEAD names. Returns nothing, having
// said why, when no file is named or the remote's default branch cannot be learnt.
std::optional<Target> resolve_target(const GitRunner& git, const Clone& clone);

#endif  // BUMPBUILD_GIT_TARGET_H_
