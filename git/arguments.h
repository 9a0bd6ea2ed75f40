// git-bumpbuild's command line: what a run is asked to do, and the text --help prints.
#ifndef BUMPBUILD_GIT_ARGUMENTS_H_
#define BUMPBUILD_GIT_ARGUMENTS_H_

#include <cstdint>
#include <string>

#include "update/default_wait.h"

// What the command line asks for. An empty remote, branch or file is left for git's
// configuration (bumpbuild.remote, bumpbuild.branch, bumpbuild.file) and its defaults.
struct RemoteBumpOptions {
  std::string prefix;
  std::string remote;
  std::string branch;
  std::string file;     // the header's path from the top of the repository, with "/"
  std::string message;  // the commit message; empty: "<prefix> <version> [skip ci]"
  std::int64_t timeout_seconds =
      kDefaultWaitSeconds;           // --timeout: the whole run ends after this long, git with it
  std::int64_t answer_seconds = 60;  // --answer-timeout: a git silent this long is given up
  std::string for_commit;            // --for: the commit-ish whose bump the run answers with
  bool show = false;                 // --show: print the line, push nothing, touch no file
};

enum class ArgumentsResult { kRun, kHelp, kError };

// Reads `argv` (`argc` arguments, the program name first) into `options`: the options that
// kRemoteBumpUsage lists, each also as --option=VALUE, then exactly one PREFIX; "--" ends the
// options. Returns kHelp for -h or --help, kError with the reason in `error` for anything else it
// cannot read, kRun otherwise.
ArgumentsResult read_remote_bump_arguments(int argc, const char* const* argv,
                                           RemoteBumpOptions& options, std::string& error);

// The text that --help prints: the options, and where the manual page takes over.
extern const char* const kRemoteBumpUsage;

#endif  // BUMPBUILD_GIT_ARGUMENTS_H_
