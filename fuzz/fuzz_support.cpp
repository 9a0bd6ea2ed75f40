#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

std::string made_directory;

// Best effort at exit: nothing is left to report a failure to.
void remove_scratch() {
  std::error_code ignored;
  std::filesystem::remove_all(made_directory, ignored);
}

std::string make_scratch() {
  const char* tmpdir = std::getenv("TMPDIR");
  for (const char* base : {tmpdir != nullptr ? tmpdir : "/dev/shm", "/dev/shm", "/tmp"}) {
    std::string pattern = std::string(base) + "/bumpbuild-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
      made_directory = pattern;
      (void)std::atexit(remove_scratch);  // without it the directory merely stays behind
      return pattern;
    }
  }
  std::abort();
}

}  // namespace

const std::string& scratch_directory() {
  static const std::string directory = make_scratch();
  return directory;
}

bool store_file(const std::string& path, std::string_view content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  return std::fclose(file) == 0 && written;
}
