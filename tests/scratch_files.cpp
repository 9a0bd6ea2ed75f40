#include "tests/scratch_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "scratch_launcher.h"

namespace fs = std::filesystem;

namespace {

// Deletes whatever stands at `path`, without following a link there.
void remove_all_at(const fs::path& path) {
  std::error_code error;
  fs::remove_all(path, error);
  if (error) {
    ADD_FAILURE() << "cannot delete " << path << ": " << error.message();
  }
}

// The running test's name as one path component.
std::string current_test_name() {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info == nullptr ? std::string("no_test")
                                     : std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name) {
    if (c == '/') {  // parameterized tests
      c = '_';
    }
  }
  return name;
}

}  // namespace

std::string header_at(const std::string& prefix, int build) {
  const std::string number = std::to_string(build);
  return "#define " + prefix + "_VERSION 1,0,0," + number + "\r\n#define " + prefix +
         "_STRING_VERSION \"1.0.0." + number + "\"\r\n";
}

fs::path scratch_version_file() {
  return fs::path(BUMPBUILD_SCRATCH_ROOT) / "tools" / "cc" / "version.h";
}

fs::path fresh_working_directory(std::string_view tag) {
  std::string name = current_test_name();
  if (!tag.empty()) {
    name += "-";
    name += tag;
  }
  fs::path directory = fs::path(BUMPBUILD_SCRATCH_ROOT) / "work" / name;
  remove_all_at(directory);
  std::error_code error;
  fs::create_directories(directory, error);
  if (error) {
    ADD_FAILURE() << "cannot create " << directory << ": " << error.message();
  }
  return directory;
}

void write_version_file(std::string_view bytes) {
  const fs::path path = scratch_version_file();
  remove_all_at(path);
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  if (error) {
    ADD_FAILURE() << "cannot create " << path.parent_path() << ": " << error.message();
  }
  write_file_bytes(path, bytes);
}

void remove_version_file() {
  remove_all_at(scratch_version_file());
}

void empty_version_directory() {
  const fs::path directory = scratch_version_file().parent_path();
  remove_all_at(directory);
  std::error_code error;
  fs::create_directories(directory, error);
  if (error) {
    ADD_FAILURE() << "cannot create " << directory << ": " << error.message();
  }
}

std::optional<std::string> read_file_bytes(const fs::path& path) {
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(path, error))) {
    return std::nullopt;
  }
  std::ifstream stream(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  if (stream.bad() || !stream.is_open()) {
    ADD_FAILURE() << "cannot read " << path;
    return std::nullopt;
  }
  return bytes;
}

void write_file_bytes(const fs::path& path, std::string_view bytes) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  stream.close();
  if (!stream) {
    ADD_FAILURE() << "cannot write " << path;
  }
}

std::optional<std::string> read_version_file() {
  return read_file_bytes(scratch_version_file());
}

bool temp_file_exists(const fs::path& directory) {
  std::error_code error;
  return fs::exists(fs::symlink_status(directory / kTempFileName, error));
}

ChildOptions scratch_options(const fs::path& working_directory,
                             std::vector<std::string> arguments) {
  ChildOptions options;
  options.program = BUMPBUILD_SCRATCH_PROGRAM;
  options.launcher = kScratchLauncher;
  options.arguments = std::move(arguments);
  options.working_directory = working_directory.string();
  return options;
}

ChildResult run_scratch(const fs::path& working_directory, std::vector<std::string> arguments) {
  return run_child(scratch_options(working_directory, std::move(arguments)));
}

std::optional<std::string> network_shim_missing() {
  if (std::string_view(BUMPBUILD_NETWORK_FS_SHIM).empty()) {
    return BUMPBUILD_NETWORK_FS_SHIM_MISSING;
  }
  return std::nullopt;
}

std::vector<std::string> network_rule(const std::string& rule, const fs::path& log) {
  // AddressSanitizer refuses to start behind a preloaded library unless told not to check.
  const char* asan_options = std::getenv("ASAN_OPTIONS");
  return {std::string("LD_PRELOAD=") + BUMPBUILD_NETWORK_FS_SHIM, "BUMPBUILD_TEST_FS=" + rule,
          "BUMPBUILD_TEST_FS_LOG=" + log.string(),
          std::string("ASAN_OPTIONS=") + (asan_options == nullptr ? "" : asan_options) +
              ":verify_asan_link_order=0"};
}

long logged(const fs::path& log, const std::string& event) {
  const std::string text = read_file_bytes(log).value_or("");
  const std::string line_end = event + "\n";
  long count = 0;
  for (std::size_t at = text.find(line_end); at != std::string::npos;
       at = text.find(line_end, at + 1)) {
    ++count;
  }
  return count;
}
