// What a Windows version file carries besides its bytes: its attributes (hidden, system, archive,
// not-content-indexed, read-only) and its security descriptor, kept across the replacement, also
// when the copy goes beside it from another volume, and left to each file when the replacement
// fails.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tests/scratch_files.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                        FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_READONLY;

DWORD kept_attributes(const fs::path& path) {
  const DWORD attributes = ::GetFileAttributesA(path.string().c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ? attributes : attributes & kKept;
}

// Gives the scratch version file exactly `attributes` of the kept ones; false when the file
// system cannot hold them (Wine keeps no not-content-indexed, and marks every file archive).
bool set_version_attributes(DWORD attributes) {
  const std::string path = scratch_version_file().string();
  return ::SetFileAttributesA(path.c_str(), attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes) &&
         kept_attributes(path) == attributes;
}

void make_deletable(const fs::path& path) {
  ::SetFileAttributesA(path.string().c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A directory beside the scratch tree on another volume, or nothing when there is none: under
// Wine, /dev/shm is a tmpfs on the drive that maps the whole POSIX tree.
std::optional<fs::path> directory_on_another_volume() {
  const fs::path directory =
      "/dev/shm/bumpbuild-scratch-" + std::to_string(::GetCurrentProcessId());
  std::error_code error;
  fs::remove_all(directory, error);
  if (!::CreateDirectoryA(directory.string().c_str(), nullptr)) {
    return std::nullopt;
  }
  const fs::path probe = directory / "probe";
  write_file_bytes(probe, "probe");
  const fs::path moved = scratch_version_file().parent_path() / "probe";
  if (::MoveFileExA(probe.string().c_str(), moved.string().c_str(), 0) ||
      ::GetLastError() != ERROR_NOT_SAME_DEVICE) {
    fs::remove(moved, error);
    fs::remove_all(directory, error);
    return std::nullopt;
  }
  fs::remove(probe, error);
  return directory;
}

// Runs the scratch build twice from a fresh directory, then twice from one on another volume
// where there is one, every run replacing what the last one left, and checks after each run its
// outcome and `check()`.
template <typename Check>
void bump_from_both_volumes(Check check) {
  std::vector<fs::path> directories{fresh_working_directory()};
  const std::optional<fs::path> other_volume = directory_on_another_volume();
  if (other_volume) {
    directories.push_back(*other_volume);
  }
  int build = 42;
  for (const fs::path& directory : directories) {
    for (const int last = build + 2; build < last; ++build) {
      SCOPED_TRACE("run to build " + std::to_string(build) + " from " + directory.string());
      const ChildResult result = run_scratch(directory, {"ABC"});
      EXPECT_EQ(result.exit_status, 0);
      EXPECT_EQ(result.output, "");
      EXPECT_EQ(read_version_file(), header_at("ABC", build));
      EXPECT_FALSE(temp_file_exists(directory));
      EXPECT_FALSE(fs::exists(scratch_version_file().string() + ".bumpbuild-new"));
      check();
    }
  }
  if (other_volume) {
    std::error_code error;
    fs::remove_all(*other_volume, error);
  }
}

class FileAttributes : public testing::Test {
 protected:
  void SetUp() override {
    make_deletable(scratch_version_file());
    empty_version_directory();
  }
  void TearDown() override { make_deletable(scratch_version_file()); }
};

class KeptAttributes : public FileAttributes, public testing::WithParamInterface<DWORD> {};

TEST_P(KeptAttributes, SurviveTheReplacementAndTheCopyFromAnotherVolume) {
  const DWORD attributes = GetParam();
  write_version_file(header_at("ABC", 41));
  if (!set_version_attributes(attributes)) {
    GTEST_SKIP() << "this file system cannot hold the attributes " << attributes;
  }
  bump_from_both_volumes([&] { EXPECT_EQ(kept_attributes(scratch_version_file()), attributes); });
}

INSTANTIATE_TEST_SUITE_P(
    Sets, KeptAttributes,
    testing::Values(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE,
                    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE,
                    FILE_ATTRIBUTE_ARCHIVE, FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, DWORD{0}),
    [](const testing::TestParamInfo<DWORD>& info) {
      return "Attributes" + std::to_string(info.param);
    });

// An editor or a compiler that reads the header and shares it for reading and writing but not
// for deletion: the file cannot take a new content by a rename while it stays open. It keeps its
// content and attributes, and the copy kept as the temporary file has its own: nothing hides it.
// (Wine derives read-only from the permissions, which the copy did take over, so that attribute
// tells nothing about the copy.) Once the holder lets go, the next run replaces the file.
TEST_F(FileAttributes, VersionFileHeldOpenWithoutDeleteSharingKeepsItsContentAndAttributes) {
  static constexpr DWORD kAttributes =
      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
  write_version_file(header_at("ABC", 41));
  const bool has_attributes = set_version_attributes(kAttributes);
  const fs::path directory = fresh_working_directory();
  HANDLE holder = ::CreateFileA(scratch_version_file().string().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const ChildResult held = run_scratch(directory, {"ABC"});
  ::CloseHandle(holder);
  EXPECT_EQ(held.exit_status, 1);
  EXPECT_EQ(held.output, "Can't replace version file");
  EXPECT_EQ(read_version_file(), header_at("ABC", 41));
  EXPECT_EQ(read_file_bytes(directory / kTempFileName), header_at("ABC", 42));
  if (has_attributes) {
    EXPECT_EQ(kept_attributes(scratch_version_file()), kAttributes);
    EXPECT_EQ(kept_attributes(directory / kTempFileName) & FILE_ATTRIBUTE_HIDDEN, 0U);
  }

  const ChildResult released = run_scratch(directory, {"ABC"});
  EXPECT_EQ(released.exit_status, 0);
  EXPECT_EQ(released.output, "");
  EXPECT_EQ(read_version_file(), header_at("ABC", 42));
  EXPECT_FALSE(temp_file_exists(directory));
  if (has_attributes) {
    EXPECT_EQ(kept_attributes(scratch_version_file()), kAttributes);
  }
}

// The DACL of `path` in SDDL, or "" when it cannot be read.
std::string dacl_of(const fs::path& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetNamedSecurityInfoA(path.string().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "";
  }
  char* text = nullptr;
  std::string dacl;
  if (::ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    dacl = text;
    ::LocalFree(text);
  }
  ::LocalFree(descriptor);
  return dacl;
}

// A version file whose DACL grants everyone read access and full control to its owner. On NTFS
// the replacement carries that DACL; Wine keeps no security descriptor of its own, so there the
// runs can only show that taking it over never fails them.
TEST_F(FileAttributes, ExplicitDaclIsTakenOver) {
  write_version_file(header_at("ABC", 41));
  PSECURITY_DESCRIPTOR wanted = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "D:P(A;;FA;;;OW)(A;;FR;;;WD)", SDDL_REVISION_1, &wanted, nullptr));
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(wanted, &present, &dacl, &defaulted);
  const DWORD set =
      ::SetNamedSecurityInfoA(scratch_version_file().string().data(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
  ::LocalFree(wanted);
  ASSERT_EQ(set, static_cast<DWORD>(ERROR_SUCCESS));
  const std::string before = dacl_of(scratch_version_file());
  bump_from_both_volumes([&] { EXPECT_EQ(dacl_of(scratch_version_file()), before); });
}

}  // namespace
