// Runs in careless and hostile surroundings: another user's files and directory, standard output
// closed or unread, odd files at the version path, extended attributes. The version file is never
// emptied, never takes foreign content or another owner, and every run ends with its documented
// status.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tests/child_process.h"
#include "tests/scratch_files.h"

namespace fs = std::filesystem;

namespace {

struct User {
  uid_t uid;
  gid_t gid;
};

// The user nobody, when this process may run children as that user and give files to it.
std::optional<User> nobody() {
  const passwd* entry = ::getpwnam("nobody");
  if (::geteuid() != 0 || entry == nullptr) {
    return std::nullopt;
  }
  return User{entry->pw_uid, entry->pw_gid};
}

// Why nobody() found no user, for a test to skip with.
std::string why_no_other_user() {
  return ::geteuid() != 0 ? "needs root to run the command as the user nobody: run the tests as "
                            "root to run this"
                          : "needs the user nobody, which this machine lacks: create it "
                            "(useradd --system nobody) to run this";
}

// Why `user` cannot enter the scratch version file's directory, as a run of the command as that
// user must (for the test to skip with), or nothing when it can.
std::optional<std::string> why_version_file_is_out_of_reach(const User& user) {
  ChildOptions probe;
  probe.program = "/bin/sh";
  probe.arguments = {"-c", "cd \"$0\"", scratch_version_file().parent_path().string()};
  probe.working_directory = "/";
  probe.user_id = user.uid;
  probe.group_id = user.gid;
  if (run_child(probe).exit_status != 0) {
    return "the user nobody cannot enter " + probe.arguments.back() +
           ": let others enter every directory above it, or configure the build with TMPDIR "
           "set to a directory they may enter, to run this";
  }
  return std::nullopt;
}

// The scratch build where another user can open it. A child is started from a descriptor opened
// before its user changes, but a launcher (qemu-user) opens the program as that user, who may not
// enter the build tree (root's home): then a copy in the scratch tree, which that user can enter,
// serves.
std::string program_others_can_open(const ChildOptions& options) {
  if (options.launcher.empty()) {
    return options.program;
  }
  const fs::path copy = fresh_working_directory("program") / "bumpbuild";
  fs::copy_file(options.program, copy);
  return copy.string();
}

struct stat status_of(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status;
}

void give_to(const fs::path& path, const User& user, fs::perms mode) {
  EXPECT_EQ(::chown(path.c_str(), user.uid, user.gid), 0) << path;
  std::error_code error;
  fs::permissions(path, mode, error);
  EXPECT_FALSE(error) << error.message();
}

// Every regular file under `directory` whose bytes hold `text`.
std::vector<fs::path> files_holding(const fs::path& directory, const std::string& text) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::recursive_directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    if (entry->is_regular_file() &&
        read_file_bytes(entry->path()).value_or("").find(text) != std::string::npos) {
      found.push_back(entry->path());
    }
  }
  return found;
}

class HostileSurroundings : public testing::Test {
 protected:
  void SetUp() override { empty_version_directory(); }
};

TEST_F(HostileSurroundings, LeftoverTemporaryFileIsNeverReused) {
  const std::optional<User> other = nobody();
  if (!other) {
    GTEST_SKIP() << why_no_other_user();
  }
  if (const std::optional<std::string> reason = why_version_file_is_out_of_reach(*other)) {
    GTEST_SKIP() << *reason;
  }
  const User root{0, 0};
  struct Case {
    const char* what;
    bool run_as_other;  // the run, the version file and both directories belong to the other user
    User leftover_owner;
    fs::perms leftover_mode;
  };
  const Case cases[] = {{"root's run, another user's leftover", false, *other, fs::perms(0644)},
                        {"a user's run, their read-only leftover", true, *other, fs::perms(0444)},
                        {"a user's run, root's leftover", true, root, fs::perms(0644)}};
  const std::string program = program_others_can_open(scratch_options("/", {}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const User owner = c.run_as_other ? *other : root;
    write_version_file(header_at("ABC", 41));
    give_to(scratch_version_file(), owner, fs::perms(0644));
    give_to(scratch_version_file().parent_path(), owner, fs::perms(0755));
    const fs::path directory = fresh_working_directory();
    give_to(directory, owner, fs::perms(0755));
    const fs::path leftover = directory / kTempFileName;
    write_file_bytes(leftover, "left behind\r\n");
    give_to(leftover, c.leftover_owner, c.leftover_mode);
    // Whoever left it keeps it open, to write into whatever it becomes.
    std::ofstream held(leftover, std::ios::binary | std::ios::in);
    ChildOptions options = scratch_options(directory, {"ABC"});
    if (c.run_as_other) {
      options.program = program;
      options.user_id = other->uid;
      options.group_id = other->gid;
    }
    const ChildResult result = run_child(options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, "");
    held << "written later through the leftover" << std::flush;
    EXPECT_EQ(read_version_file(), header_at("ABC", 42));
    EXPECT_EQ(status_of(scratch_version_file()).st_uid, owner.uid);
    EXPECT_FALSE(temp_file_exists(directory));
  }
}

TEST_F(HostileSurroundings, AnotherUserWhoCanWriteTheDirectoryCannotSwapInTheirContent) {
  const std::optional<User> other = nobody();
  if (!other) {
    GTEST_SKIP() << why_no_other_user();
  }
  if (const std::optional<std::string> reason = network_shim_missing()) {
    GTEST_SKIP() << *reason;
  }
  write_version_file(header_at("ABC", 41));
  const fs::path directory = fresh_working_directory();
  give_to(directory, *other, fs::perms(0777));  // no sticky bit
  // The command stops once it has made its temporary file, before it writes to it; meanwhile the
  // other user renames a file of theirs onto the temporary file's name.
  const fs::path log = fresh_working_directory("log") / "shim.log";
  ChildOptions options = scratch_options(directory, {"ABC"});
  options.environment = network_rule("", log);
  options.environment.push_back(std::string("BUMPBUILD_TEST_FS_STOP=") + kTempFileName);
  RunningChild run = start_child(options);
  ASSERT_TRUE(wait_until_stopped(run)) << "the command ended without writing its temporary file";
  ChildOptions swapper;
  swapper.program = "/bin/sh";
  swapper.arguments = {"-c", "echo theirs >x && mv -f x \"$0\"", kTempFileName};
  swapper.working_directory = directory.string();
  swapper.user_id = other->uid;
  swapper.group_id = other->gid;
  EXPECT_EQ(run_child(swapper).exit_status, 0);
  ::kill(static_cast<pid_t>(run.process), SIGCONT);
  const ChildResult result = wait_child(run);

  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(read_version_file(), header_at("ABC", 42));
  EXPECT_EQ(status_of(scratch_version_file()).st_uid, 0U);
  // Their file keeps its name and bytes; the command wrote through its own descriptor, and its
  // copy went beside the version file first, and only from there onto it.
  EXPECT_EQ(read_file_bytes(directory / kTempFileName), "theirs\n");
  EXPECT_EQ(logged(log, std::string("rename ") + kTempFileName), 0);
  EXPECT_EQ(logged(log, "version.h.bumpbuild-new"), 1);
  EXPECT_FALSE(fs::exists(scratch_version_file().string() + ".bumpbuild-new"));
}

TEST_F(HostileSurroundings, StandardOutputClosedOrUnreadChangesNoOutcome) {
  struct Case {
    const char* what;
    ChildOutput output;
    std::vector<std::string> arguments;
    bool version_file;       // false: no version file
    bool directory_at_temp;  // a directory stands at the temporary file's name
    int status;
    const char* message;  // the message the run would write
  };
  const Case cases[] = {
      {"unread, bumped", ChildOutput::kUnreadPipe, {"ABC"}, true, false, 0, ""},
      {"unread, unknown parameter", ChildOutput::kUnreadPipe, {"QRS"}, true, false, 1, ""},
      {"closed, missing version file",
       ChildOutput::kClosed,
       {"ABC"},
       false,
       false,
       1,
       "Can't find version file"},
      {"closed, unknown parameter",
       ChildOutput::kClosed,
       {"QRS"},
       true,
       false,
       1,
       "unknown parameter"},
      {"closed, temporary file not written",
       ChildOutput::kClosed,
       {"ABC"},
       true,
       true,
       1,
       "Can't write temporary file"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.version_file) {
      write_version_file(header_at("ABC", 41));
    } else {
      remove_version_file();
    }
    const fs::path directory = fresh_working_directory();
    if (c.directory_at_temp) {
      fs::create_directory(directory / kTempFileName);
    }
    ChildOptions options = scratch_options(directory, c.arguments);
    options.output = c.output;
    const ChildResult result = run_child(options);
    EXPECT_EQ(result.exit_status, c.status);
    EXPECT_EQ(result.term_signal, 0);
    if (c.version_file) {
      EXPECT_EQ(read_version_file(), header_at("ABC", c.status == 0 ? 42 : 41));
    }
    // A missing version file leaves an empty temporary file; a directory stays as it stood.
    EXPECT_EQ(temp_file_exists(directory), !c.version_file || c.directory_at_temp);
    if (*c.message != '\0') {
      EXPECT_EQ(files_holding(directory, c.message), std::vector<fs::path>{});
      EXPECT_EQ(files_holding(scratch_version_file().parent_path(), c.message),
                std::vector<fs::path>{});
    }
  }
}

TEST_F(HostileSurroundings, LinkAtTheVersionPathToWhatIsNoVersionFile) {
  struct Case {
    const char* what;
    bool to_temporary_file;  // else to /dev/zero
    const char* message;
  };
  const Case cases[] = {{"a link to the temporary file", true, "Can't write temporary file"},
                        {"a link to /dev/zero", false, "Can't read version file"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    remove_version_file();
    fs::create_directories(scratch_version_file().parent_path());
    const fs::path directory = fresh_working_directory();
    const fs::path target = c.to_temporary_file ? directory / kTempFileName : "/dev/zero";
    if (c.to_temporary_file) {
      write_file_bytes(target, header_at("ABC", 41));
    }
    fs::create_symlink(target, scratch_version_file());
    ChildOptions options = scratch_options(directory, {"ABC"});
    // Guards only: a run that kept copying would be stopped, and would not fill the disk.
    options.time_limit_seconds = 30;
    options.file_size_limit = std::uint64_t{64} << 20;
    const ChildResult result = run_child(options);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.output, c.message);
    EXPECT_EQ(fs::read_symlink(scratch_version_file()), target);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch_version_file().parent_path()),
                            fs::directory_iterator()),
              1)
        << "files created beside the link";
    if (c.to_temporary_file) {
      EXPECT_EQ(read_file_bytes(target), header_at("ABC", 41));
    } else {
      EXPECT_FALSE(temp_file_exists(directory));
    }
  }
}

// All extended attributes of the file at `path`, by name.
std::map<std::string, std::string> extended_attributes(const fs::path& path) {
  std::map<std::string, std::string> attributes;
  std::string names(4096, '\0');
  const ssize_t size = ::listxattr(path.c_str(), names.data(), names.size());
  for (std::size_t at = 0; size > 0 && at < static_cast<std::size_t>(size);
       at = names.find('\0', at) + 1) {
    const std::string name = names.c_str() + at;
    std::string value(4096, '\0');
    const ssize_t length = ::getxattr(path.c_str(), name.c_str(), value.data(), value.size());
    attributes[name] = value.substr(0, length < 0 ? 0 : static_cast<std::size_t>(length));
  }
  return attributes;
}

// Appends the `size` low bytes of `value` to `bytes`, lowest first.
void append_little_endian(std::string& bytes, std::uint32_t value, int size) {
  for (int byte = 0; byte < size; ++byte) {
    bytes.push_back(static_cast<char>(value >> (8 * byte)));
  }
}

// An access ACL as Linux stores it in "system.posix_acl_access" (little-endian fields on every
// processor): user::rw- user:<user>:r-- group::r-- mask::r-- other::---.
std::string access_acl(uid_t user) {
  struct Entry {
    std::uint16_t tag;
    std::uint16_t permissions;
    std::uint32_t id;
  };
  const Entry entries[] = {
      {0x01, 6, ~0U}, {0x02, 4, user}, {0x04, 4, ~0U}, {0x10, 4, ~0U}, {0x20, 0, ~0U}};
  std::string bytes;
  append_little_endian(bytes, 2, 4);  // version 2
  for (const Entry& entry : entries) {
    append_little_endian(bytes, entry.tag, 2);
    append_little_endian(bytes, entry.permissions, 2);
    append_little_endian(bytes, entry.id, 4);
  }
  return bytes;
}

TEST_F(HostileSurroundings, RootsRunKeepsOwnerGroupModeAndExtendedAttributes) {
  const std::optional<User> other = nobody();
  if (!other) {
    GTEST_SKIP() << why_no_other_user();
  }
  if (!BUMPBUILD_COPIES_EXTENDED_ATTRIBUTES) {
    GTEST_SKIP() << "this build leaves extended attributes alone, as systems without the Linux "
                    "or macOS calls for them do (BUMPBUILD_PORTABLE)";
  }
  write_version_file(header_at("ABC", 41));
  const fs::path file = scratch_version_file();
  give_to(file, *other, fs::perms(0640));
  const std::string note = "release team";
  if (::setxattr(file.c_str(), "user.bumpbuild.note", note.data(), note.size(), 0) != 0) {
    GTEST_SKIP() << "the file system of " << file.parent_path()
                 << " holds no user extended attributes: build where it does (ext4, XFS, Btrfs) "
                    "to run this";
  }
  const std::string acl = access_acl(other->uid);
  const bool has_acl =
      ::setxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
  const std::map<std::string, std::string> before = extended_attributes(file);
  ASSERT_EQ(before.size(), has_acl ? 2U : 1U);
  const ChildResult result = run_scratch(fresh_working_directory(), {"ABC"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_version_file(), header_at("ABC", 42));
  const struct stat status = status_of(file);
  EXPECT_EQ(status.st_uid, other->uid);
  EXPECT_EQ(status.st_gid, other->gid);
  EXPECT_EQ(status.st_mode & 07777, 0640U);
  EXPECT_EQ(extended_attributes(file), before);
}

}  // namespace
