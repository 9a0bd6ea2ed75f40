// Files the end-to-end tests work on: the scratch build of the command (BUMPBUILD_SCRATCH_PROGRAM)
// rewrites the one version file BUMPBUILD_SCRATCH_ROOT "/tools/cc/version.h" and puts its
// temporary file "$$TEMP.TMP" in the child's current directory. Every helper reports a failed
// file operation as a test failure (ADD_FAILURE) instead of throwing.
#ifndef BUMPBUILD_TESTS_SCRATCH_FILES_H_
#define BUMPBUILD_TESTS_SCRATCH_FILES_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/child_process.h"

// The name of the command's temporary file, relative to its current directory.
inline constexpr char kTempFileName[] = "$$TEMP.TMP";

// A small version file: the component `prefix` at 1.0.0.`build`, in both kinds of key line.
std::string header_at(const std::string& prefix, int build);

// The version file the scratch build rewrites.
std::filesystem::path scratch_version_file();

// Returns a fresh, empty directory for the running test to use as a child's current directory:
// BUMPBUILD_SCRATCH_ROOT/work/<suite>.<test>, or <suite>.<test>-<tag> when `tag` is not empty, so
// one test can have several. Whatever stood there before is deleted first.
std::filesystem::path fresh_working_directory(std::string_view tag = {});

// Writes `bytes` as the whole scratch version file, creating its directories. Whatever stood at
// its path before (a file, a directory, a link) is deleted first, so the new file has default
// permission bits.
void write_version_file(std::string_view bytes);

// Deletes whatever stands at the scratch version file's path; nothing there is fine.
void remove_version_file();

// Leaves the scratch version file's directory empty: no version file, no lock companion, nothing
// that earlier runs left beside them.
void empty_version_directory();

// Returns the bytes of the regular file at `path`, or nothing when there is no regular file there
// (no test failure then) or it cannot be read (a test failure).
std::optional<std::string> read_file_bytes(const std::filesystem::path& path);

// Writes `bytes` as the whole file at `path`, creating or truncating it.
void write_file_bytes(const std::filesystem::path& path, std::string_view bytes);

// The bytes of the scratch version file, as read_file_bytes.
std::optional<std::string> read_version_file();

// Whether anything (a file, a directory, a dangling link) is named "$$TEMP.TMP" in `directory`.
bool temp_file_exists(const std::filesystem::path& directory);

// Options that run the scratch build in `working_directory` with `arguments`; a test may set the
// remaining ChildOptions fields before passing them to run_child or start_child.
ChildOptions scratch_options(const std::filesystem::path& working_directory,
                             std::vector<std::string> arguments);

// Runs the scratch build in `working_directory` with `arguments` and waits for it.
ChildResult run_scratch(const std::filesystem::path& working_directory,
                        std::vector<std::string> arguments);

// Why the network file-system shim (network_fs_shim_linux.cpp) cannot be preloaded into the
// scratch build, for a test to skip with, or nothing when it can: it is built on Linux only, for a
// command linked dynamically.
std::optional<std::string> network_shim_missing();

// The environment entries that preload the network file-system shim with `rule` ("nfs", "cifs",
// "rename-fails", or "" for none) and make it log what the command does to `log`.
std::vector<std::string> network_rule(const std::string& rule, const std::filesystem::path& log);

// How many lines of the shim's log at `log` end in `event`.
long logged(const std::filesystem::path& log, const std::string& event);

#endif  // BUMPBUILD_TESTS_SCRATCH_FILES_H_
