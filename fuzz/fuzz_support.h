// What the fuzz targets share: a crash on a broken invariant, and a private scratch directory.
#ifndef BUMPBUILD_FUZZ_FUZZ_SUPPORT_H_
#define BUMPBUILD_FUZZ_FUZZ_SUPPORT_H_

#include <cstdlib>
#include <string>
#include <string_view>

// Crashes the process, so that libFuzzer keeps the input, when `condition` is false.
inline void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// Returns this process's private scratch directory, made on the first call in TMPDIR, else in
// memory (/dev/shm), else in /tmp, and removed with what it holds when the process exits normally.
// Aborts when no directory can be made. A crash leaves it behind; a TMPDIR lets the caller clean
// up.
const std::string& scratch_directory();

// Writes `content` to the file at `path`, replacing what it held. Returns false on any failure.
bool store_file(const std::string& path, std::string_view content);

#endif  // BUMPBUILD_FUZZ_FUZZ_SUPPORT_H_
