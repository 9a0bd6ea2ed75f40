// Faults that only Windows has: another program holding the temporary file or the version file
// open without letting it be deleted. (What the version file held so keeps:
// file_attributes_test_win32.cpp.)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <ostream>
#include <string>

#include "tests/scratch_files.h"

namespace fs = std::filesystem;

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

// The bytes of the file at `path`, read sharing everything, so that a run holding it is never
// hindered; "" when it cannot be read.
std::string peek_file(const fs::path& path) {
  HANDLE file = ::CreateFileA(path.string().c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string bytes;
  if (file == INVALID_HANDLE_VALUE) {
    return bytes;
  }
  char buffer[4096];
  DWORD count = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    bytes.append(buffer, count);
  }
  ::CloseHandle(file);
  return bytes;
}

struct Hold {
  const char* name;
  DWORD hold_ms;  // how long the holder keeps the file once the run stands at the rename
  bool bumped;    // whether the run outlasts it
};

// Names the case in test listings.
void PrintTo(const Hold& hold, std::ostream* out) {
  *out << hold.name;
}

class VersionFileHeldByAnotherProgram : public testing::TestWithParam<Hold> {};

// Another program (a virus scanner, an indexer) holds the version file open for reading without
// delete sharing from before the run starts, and lets go `hold_ms` after the run has written its
// copy and so stands at the rename. A second is waited out: the file is bumped once. A hold past
// the run's wait (released after a minute, should the run wait on) ends the run in "Can't replace
// version file", with the version file unchanged and the rewritten copy kept as the temporary
// file, after about that wait: the time is reported, and only a run that takes far longer fails.
TEST_P(VersionFileHeldByAnotherProgram, IsWaitedForAWhile) {
  write_version_file(header_at("ABC", 41));
  const fs::path directory = fresh_working_directory();
  HANDLE holder =
      ::CreateFileA(scratch_version_file().string().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  RunningChild run = start_child(scratch_options(directory, {"ABC"}));
  ASSERT_NE(run.process, -1);
  auto* process = reinterpret_cast<HANDLE>(run.process);  // NOLINT(performance-no-int-to-ptr)
  while (peek_file(directory / kTempFileName) != header_at("ABC", 42) &&
         ::WaitForSingleObject(process, 10) == WAIT_TIMEOUT) {
  }
  const ULONGLONG at_rename_ms = ::GetTickCount64();
  ::WaitForSingleObject(process, GetParam().hold_ms);
  const ULONGLONG waited_ms = ::GetTickCount64() - at_rename_ms;
  ::CloseHandle(holder);
  const ChildResult result = wait_child(run);
  if (GetParam().bumped) {
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(read_version_file(), header_at("ABC", 42));
    EXPECT_FALSE(temp_file_exists(directory));
  } else {
    std::cout << "The run gave up " << waited_ms << " ms after it had written its copy.\n";
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, "Can't replace version file");
    EXPECT_EQ(read_version_file(), header_at("ABC", 41));
    EXPECT_EQ(read_file_bytes(directory / kTempFileName), header_at("ABC", 42));
    EXPECT_LT(waited_ms, 30000U);
  }
}

INSTANTIATE_TEST_SUITE_P(Holds, VersionFileHeldByAnotherProgram,
                         testing::Values(Hold{"ForASecond", 1000, true},
                                         Hold{"PastTheWait", 60000, false}),
                         [](const testing::TestParamInfo<Hold>& info) { return info.param.name; });

}  // namespace
