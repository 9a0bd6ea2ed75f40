// Faults that only Windows has: another program holding the temporary file open without letting it
// be deleted. (The version file held so: file_attributes_test_win32.cpp.)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/scratch_files.h"

namespace {

const std::string kBefore =
    "#define ABC_VERSION 1,0,0,41\r\n"
    "#define ABC_STRING_VERSION \"1.0.0.41\"\r\n";

// Another program (not a run of this command, which would be waited for) holds "$$TEMP.TMP" open
// without delete sharing: the run gives up after a while, and neither writes nor deletes it.
TEST(WriteError, TemporaryFileHeldOpenWithoutDeleteSharing) {
  write_version_file(kBefore);
  const auto directory = fresh_working_directory();
  const std::string held_content = "another program's file\r\n";
  write_file_bytes(directory / kTempFileName, held_content);
  HANDLE holder =
      ::CreateFileA((directory / kTempFileName).string().c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const ChildResult held = run_scratch(directory, {"ABC"});
  ::CloseHandle(holder);
  EXPECT_EQ(held.exit_status, 1);
  EXPECT_EQ(held.output, "Can't write temporary file");
  EXPECT_EQ(read_version_file(), kBefore);
  EXPECT_EQ(read_file_bytes(directory / kTempFileName), held_content);
}

}  // namespace
