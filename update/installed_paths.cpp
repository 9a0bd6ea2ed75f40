// The paths the program is built with. CMake defines both; a test build points them into a
// scratch directory.
#include "bumpbuild_paths.h"
#include "update/build_update.h"

int run_build_update(int argc, const char* const* argv) {
  return run_build_update(argc, argv, UpdatePaths{BUMPBUILD_VERSION_FILE, BUMPBUILD_TEMP_FILE});
}
