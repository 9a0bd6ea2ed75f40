// The command as the program runs it: on the paths the program is built with, in a process made
// safe for a run first, with the snapshot path and the lock wait its caller sets. CMake defines
// both built-in paths; a test build points them into a scratch directory.
#include <cstdlib>

#include "bumpbuild_paths.h"
#include "platform/file_system.h"
#include "update/build_update.h"

int run_build_update(int argc, const char* const* argv) {
  prepare_process();
  return run_build_update(
      argc, argv,
      UpdatePaths{BUMPBUILD_VERSION_FILE, BUMPBUILD_TEMP_FILE, std::getenv("BUMPBUILD_SNAPSHOT"),
                  lock_wait_from(std::getenv("BUMPBUILD_LOCK_WAIT"))});
}
