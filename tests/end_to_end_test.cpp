#include <gtest/gtest.h>

#include <filesystem>

#include "tests/child_process.h"

namespace {

TEST(EndToEnd, MissingVersionFileIsReported) {
  ChildOptions options;
  options.program = BUMPBUILD_SCRATCH_PROGRAM;
  options.arguments = {"ABC"};
  options.working_directory = BUMPBUILD_SCRATCH_ROOT "/work";
  std::filesystem::create_directories(options.working_directory);
  const ChildResult result = run_child(options);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.output, "Can't find version file");
}

}  // namespace
