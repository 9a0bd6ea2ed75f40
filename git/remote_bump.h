// git-bumpbuild: bumps a component's build number in a version header that lives in a git
// repository, as a commit pushed to the remote's branch as a compare-and-swap, so that runs on
// many machines at once each get a number of their own.
#ifndef BUMPBUILD_GIT_REMOTE_BUMP_H_
#define BUMPBUILD_GIT_REMOTE_BUMP_H_

#include <cstdint>
#include <string>
#include <string_view>

// What the command line asks for. An empty remote, branch or file comes from git's configuration
// (bumpbuild.remote, bumpbuild.branch, bumpbuild.file), then from the defaults: the remote
// "origin", the remote's default branch, and no file (an error).
struct RemoteBumpOptions {
  std::string prefix;
  std::string remote;
  std::string branch;
  std::string file;                 // the header's path from the top of the repository, with "/"
  std::string message;              // the commit message; empty: "<prefix> <version> [skip ci]"
  std::int64_t bound_seconds = 60;  // tries end after this long, git's own steps with them
};

// What the program's surroundings give a run: the snapshot path (BUMPBUILD_SNAPSHOT, nullptr or
// empty: none), and whether the user chose how git starts ssh (GIT_SSH_COMMAND or GIT_SSH set).
struct RemoteBumpSurroundings {
  const char* snapshot_file = nullptr;
  bool ssh_command_chosen = false;
};

enum class ArgumentsResult { kRun, kHelp, kError };

// Reads `argv` (`argc` arguments, the program name first) into `options`: --remote NAME,
// --branch NAME, --file PATH, --message TEXT, --timeout SECONDS (each also as --option=VALUE),
// then exactly one PREFIX; "--" ends the options. Returns kHelp for -h or --help, kError with the
// reason in `error` for anything else it cannot read, kRun otherwise.
ArgumentsResult read_remote_bump_arguments(int argc, const char* const* argv,
                                           RemoteBumpOptions& options, std::string& error);

// The text that --help prints: every option, the configuration and the output.
extern const char* const kRemoteBumpUsage;

// Runs git-bumpbuild in the clone around the current directory. Each try fetches only the
// branch's tip into a ref of this run's own (deleted again at once), bumps the header as bumpbuild
// does (copy_with_bumped_lines), makes a commit of this run's own whose only parent is that tip
// and which changes only the header, and pushes it so that the server takes it only while the
// branch still points at that tip. When the branch has moved meanwhile (looked up again, whatever
// git said), the next try starts from a fresh fetch after a short random pause; tries end after
// the bound. Git runs with arguments as a list, never prompting, its input the null device.
// Returns 0 when the server moved the branch from a tip to this run's commit, after the header
// in the working tree (when the clone has one at that path) has been replaced by the pushed one,
// as bumpbuild replaces a file, and the snapshot written: standard output then holds one line,
// "<prefix> <version> <commit>", the version as the string line gives it (else the number line,
// commas as dots). Returns 1 otherwise, with "git-bumpbuild: <reason>" and git's own messages
// on standard error: outside a clone, no file given, no such file on the branch, "unknown
// parameter" (nothing to bump), a refused snapshot path, a refusal (a hook, a protected branch,
// credentials, the network: git's reason), the bound reached. Then nothing was pushed, except
// when only the working-tree copy or the snapshot failed afterwards (that number is given to
// nobody), or a push outlived the bound (the message says so). Nothing in the clone changes
// but its object store and the lock file "bumpbuild-turn" in its git directory, through which
// runs in one repository take turns; any snapshot from an earlier run is removed, unless its path
// was refused or the run was outside a clone.
int run_remote_bump(const RemoteBumpOptions& options, const RemoteBumpSurroundings& surroundings);

#endif  // BUMPBUILD_GIT_REMOTE_BUMP_H_
