// git-bumpbuild: bumps a component's build number in a version header that lives in a git
// repository, as a commit pushed to the remote's branch as a compare-and-swap, so that runs on
// many machines at once each get a number of their own. The manual page git-bumpbuild(1) is the
// reference for what a run does.
#ifndef BUMPBUILD_GIT_REMOTE_BUMP_H_
#define BUMPBUILD_GIT_REMOTE_BUMP_H_

#include <string>

#include "git/arguments.h"

// What the program's surroundings give a run: the snapshot path (BUMPBUILD_SNAPSHOT, nullptr or
// empty: none), and whether the user chose how git starts ssh (GIT_SSH_COMMAND or GIT_SSH set).
struct RemoteBumpSurroundings {
  const char* snapshot_file = nullptr;
  bool ssh_command_chosen = false;
};

// Runs git-bumpbuild in the clone around the current directory: refuses when the clone's header
// holds an edit of the user's (header_is_free), then tries, until the timeout, to push a commit
// of this run's own that bumps the header, taken only while the branch still points at the tip
// the header was read from.
// Returns 0 once it is pushed, the clone brought along (follow_push) and the snapshot written,
// with "<prefix> <version> <commit>" on standard output.
// Returns 1 otherwise, having said why on standard error ("git-bumpbuild: <reason>", git's own
// messages after it). Nothing was pushed then, except where the reason says "pushed <commit>,
// but" (the clone, the snapshot or the output line failed after the push) or that the push did
// not end within the timeout.
// Besides what follow_push changes, the clone keeps only new objects and its turn file (and the
// fetched tip's ref of a run that was killed); an earlier snapshot is removed, unless its path was
// refused or the run was outside a clone.
int run_remote_bump(const RemoteBumpOptions& options, const RemoteBumpSurroundings& surroundings);

#endif  // BUMPBUILD_GIT_REMOTE_BUMP_H_
