// git-bumpbuild: argv in, exit status out.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "git/arguments.h"
#include "git/remote_bump.h"
#include "platform/file_system.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  prepare_process();
  end_children_with_this_process();
  RemoteBumpOptions options;
  std::string error;
  switch (read_remote_bump_arguments(argc, argv, options, error)) {
    case ArgumentsResult::kHelp:
      return std::fputs(kRemoteBumpUsage, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
    case ArgumentsResult::kError:
      (void)std::fprintf(stderr, "git-bumpbuild: %s\n\n%s", error.c_str(), kRemoteBumpUsage);
      return 1;
    case ArgumentsResult::kRun:
      break;
  }
  RemoteBumpSurroundings surroundings;
  surroundings.snapshot_file = std::getenv("BUMPBUILD_SNAPSHOT");
  surroundings.ssh_command_chosen =
      std::getenv("GIT_SSH_COMMAND") != nullptr || std::getenv("GIT_SSH") != nullptr;
  return run_remote_bump(options, surroundings);
}
