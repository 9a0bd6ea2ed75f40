#include <gtest/gtest.h>

#include "tests/scratch_files.h"

namespace {

TEST(EndToEnd, MissingVersionFileIsReported) {
  remove_version_file();
  const auto directory = fresh_working_directory();
  const ChildResult result = run_scratch(directory, {"ABC"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.output, "Can't find version file");
}

}  // namespace
