// Faults that only Windows has: another program holding the version file or the temporary file
// open without letting it be renamed over or deleted.
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
const std::string kAfter =
    "#define ABC_VERSION 1,0,0,42\r\n"
    "#define ABC_STRING_VERSION \"1.0.0.42\"\r\n";

// An editor or a compiler that reads the header and shares it for reading and writing but not
// for deletion: the file cannot take a new content by a rename while it stays open.
TEST(ReplaceError, VersionFileHeldOpenWithoutDeleteSharing) {
  write_version_file(kBefore);
  const auto directory = fresh_working_directory();
  const std::string path = scratch_version_file().string();
  HANDLE holder = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << "cannot open " << path;
  const ChildResult held = run_scratch(directory, {"ABC"});
  ::CloseHandle(holder);
  EXPECT_EQ(held.exit_status, 1);
  EXPECT_EQ(held.output, "Can't replace version file");
  EXPECT_EQ(read_version_file(), kBefore);
  EXPECT_EQ(read_file_bytes(directory / kTempFileName), kAfter);

  // Once the holder lets go, the next run replaces the file and leaves no temporary file.
  const ChildResult released = run_scratch(directory, {"ABC"});
  EXPECT_EQ(released.exit_status, 0);
  EXPECT_EQ(released.output, "");
  EXPECT_EQ(read_version_file(), kAfter);
  EXPECT_FALSE(temp_file_exists(directory));
}

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
