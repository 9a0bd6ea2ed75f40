#include "git/remote_bump.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/process.h"
#include "textio/text_file.h"
#include "update/build_update.h"

const char* const kRemoteBumpUsage =
    "usage: git bumpbuild [--remote NAME] [--branch NAME] [--file PATH] [--message TEXT]\n"
    "                     [--timeout SECONDS] PREFIX\n"
    "\n"
    "Advances PREFIX's build number in a version header kept in a git repository, exactly as\n"
    "bumpbuild does, and pushes that one change as a commit of its own onto the remote's branch,\n"
    "taken only while the branch still points where this run read the header; when another run\n"
    "came first, it reads the header again from the new tip and tries again. Runs at once on\n"
    "any number of machines each get a number of their own. Run it anywhere inside a clone.\n"
    "\n"
    "  --remote NAME      the remote to push to (git config bumpbuild.remote; default origin)\n"
    "  --branch NAME      the branch that holds the header (git config bumpbuild.branch;\n"
    "                     default the remote's default branch)\n"
    "  --file PATH        the header's path from the top of the repository\n"
    "                     (git config bumpbuild.file; required)\n"
    "  --message TEXT     the commit message (default \"PREFIX VERSION [skip ci]\")\n"
    "  --timeout SECONDS  give up after this long (default 60)\n"
    "  -h, --help         show this text\n"
    "\n"
    "On success it prints one line, \"PREFIX VERSION COMMIT\", replaces the header in the working\n"
    "tree (when there is one at PATH) by the one pushed, copies it to the file that\n"
    "BUMPBUILD_SNAPSHOT names, if set, and exits with 0. Otherwise it says why on standard error\n"
    "and exits with 1, having pushed nothing. It never prompts: git runs with terminal prompts\n"
    "off. Without a configured identity, commits are by \"git-bumpbuild "
    "<git-bumpbuild@localhost>\".\n";

namespace {

constexpr const char* kProgram = "git-bumpbuild";
constexpr const char* kBuildIdentityName = "git-bumpbuild";
constexpr const char* kBuildIdentityEmail = "git-bumpbuild@localhost";

// Reads the value of option `name` (e.g. "--file") at argv[index], as "--file=VALUE" or as
// "--file VALUE" (advancing `index`). Returns nothing when argv[index] is another option.
std::optional<std::string> option_value(const char* name, int argc, const char* const* argv,
                                        int& index, std::string& error) {
  const std::string_view argument = argv[index];
  const std::string_view option = name;
  if (argument.starts_with(option) && argument.size() > option.size() &&
      argument[option.size()] == '=') {
    return std::string(argument.substr(option.size() + 1));
  }
  if (argument != option) {
    return std::nullopt;
  }
  if (index + 1 >= argc) {
    error = std::string("option ") + name + " needs a value";
    return std::string();
  }
  return std::string(argv[++index]);
}

// Reads a whole positive number of seconds.
bool read_seconds(const std::string& text, std::int64_t& seconds) {
  if (text.empty() || text.size() > 9 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  seconds = std::strtoll(text.c_str(), nullptr, 10);
  return seconds > 0;
}

// The clock that bounds the run.
using Clock = std::chrono::steady_clock;

// What a run carries from step to step: the bound, git's environment and this run's names.
struct Run {
  RemoteBumpOptions options;
  Clock::time_point deadline;
  std::vector<std::string> environment;  // on top of this process's, for every git
  std::string nonce;                     // this run's own: its ref, its index, its commit
  std::string push_url;  // the remote's, so that no push updates a remote-tracking branch
  std::string git_dir;
  std::string turn_file;  // runs in one repository take turns through its lock
  std::string work_tree;  // empty for a bare repository or outside the working tree
};

struct GitResult {
  int status = kProcessKilled;
  std::string output;
  std::string errors;
  std::string not_run;  // why git did not run at all, if it did not
};

std::int64_t milliseconds_left(const Run& run) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(run.deadline - Clock::now()).count();
  return std::max<std::int64_t>(left, 0);
}

// The bytes of `file` from its first byte to its end.
std::string contents_of(FileHandle file) {
  std::string contents;
  if (file == kNoFile || !rewind_file(file)) {
    return contents;
  }
  char block[4096];
  std::ptrdiff_t count = 0;
  while ((count = read_file(file, block, sizeof block)) > 0) {
    contents.append(block, static_cast<std::size_t>(count));
  }
  return contents;
}

// Runs git with `arguments` until it ends or the bound is reached, its input `input` (kNoFile:
// the null device) and `output`, when given, its standard output; otherwise its standard output
// and error are returned. `extra` adds to the run's environment.
GitResult run_git(const Run& run, const std::vector<std::string>& arguments,
                  FileHandle input = kNoFile, FileHandle output = kNoFile,
                  const std::vector<std::string>& extra = {}) {
  std::vector<std::string> command{"git", "-c", "credential.interactive=never"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environment = run.environment;
  environment.insert(environment.end(), extra.begin(), extra.end());
  GitResult result;
  const FileHandle captured = output == kNoFile ? create_scratch_file() : kNoFile;
  const FileHandle errors = create_scratch_file();
  if (errors == kNoFile || (output == kNoFile && captured == kNoFile)) {
    result.not_run = "can't create a temporary file for git's output";
  } else {
    ProcessOptions process;
    process.arguments = std::move(command);
    process.environment = std::move(environment);
    process.input = input;
    process.output = output == kNoFile ? captured : output;
    process.errors = errors;
    process.timeout_ms = milliseconds_left(run);
    ChildProcess git;
    if (!git.start(process)) {
      result.not_run = "can't start git: is it installed and on the PATH?";
    } else {
      result.status = git.wait();
      result.output = contents_of(captured);
      result.errors = contents_of(errors);
    }
  }
  close_file(captured);
  close_file(errors);
  return result;
}

// The first line of `text`, without its line end.
std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

void say(const std::string& message) {
  (void)std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
}

// Says `what` failed, with git's own messages after it, or that the bound ran out.
void say_git_failed(const Run& run, const std::string& what, const GitResult& result) {
  if (!result.not_run.empty()) {
    say(result.not_run);
    return;
  }
  if (result.status == kProcessTimedOut) {
    say(what + ": gave up after " + std::to_string(run.options.bound_seconds) +
        " seconds (--timeout)");
    return;
  }
  say(what);
  std::string messages = result.errors;
  while (!messages.empty() && messages.back() == '\n') {
    messages.pop_back();
  }
  if (!messages.empty()) {
    (void)std::fprintf(stderr, "%s\n", messages.c_str());
  }
}

// 128 random bits in hexadecimal.
std::string random_nonce() {
  std::random_device device;
  std::string text;
  for (int word = 0; word < 4; ++word) {
    const auto bits = static_cast<std::uint32_t>(device());
    for (int shift = 28; shift >= 0; shift -= 4) {
      text += "0123456789abcdef"[(bits >> shift) & 0xFU];
    }
  }
  return text;
}

// Fills the remote, branch and file that the options leave empty from bumpbuild.remote, .branch
// and .file, and learns whether git has an ssh command configured. Returns false, having said
// why, when git cannot read its configuration (outside a clone among others).
bool read_configuration(Run& run, bool& ssh_command_configured) {
  const GitResult result = run_git(run, {"config", "-z", "--get-regexp",
                                         "^(bumpbuild\\.(remote|branch|file)|core\\.sshcommand)$"});
  if (result.status != 0 && result.status != 1) {  // 1: none of them is set
    say_git_failed(run, "can't read git's configuration", result);
    return false;
  }
  std::string remote;
  std::string branch;
  std::string file;
  ssh_command_configured = false;
  std::size_t at = 0;
  while (at < result.output.size()) {
    std::size_t end = result.output.find('\0', at);
    end = end == std::string::npos ? result.output.size() : end;
    const std::string entry = result.output.substr(at, end - at);
    at = end + 1;
    const std::size_t newline = entry.find('\n');
    const std::string key = entry.substr(0, newline);
    const std::string value = newline == std::string::npos ? "" : entry.substr(newline + 1);
    // Of several values, the last one wins, as in git.
    if (key == "bumpbuild.remote") {
      remote = value;
    } else if (key == "bumpbuild.branch") {
      branch = value;
    } else if (key == "bumpbuild.file") {
      file = value;
    } else {
      ssh_command_configured = true;
    }
  }
  for (auto [option, configured] :
       {std::pair{&run.options.remote, &remote}, std::pair{&run.options.branch, &branch},
        std::pair{&run.options.file, &file}}) {
    if (option->empty()) {
      *option = *configured;
    }
  }
  if (run.options.remote.empty()) {
    run.options.remote = "origin";
  }
  return true;
}

// Finds the repository around the current directory and its working tree, if any. Returns false,
// having said why, outside a repository.
bool find_repository(Run& run) {
  const GitResult git_dirs = run_git(
      run, {"rev-parse", "--absolute-git-dir", "--path-format=absolute", "--git-common-dir"});
  const std::size_t newline = git_dirs.output.find('\n');
  if (git_dirs.status != 0 || newline == std::string::npos) {
    say_git_failed(run, "not inside a git clone", git_dirs);
    return false;
  }
  run.git_dir = git_dirs.output.substr(0, newline);
  // Shared by all working trees of the repository.
  run.turn_file = first_line(git_dirs.output.substr(newline + 1)) + "/bumpbuild-turn";
  const GitResult top = run_git(run, {"rev-parse", "--show-toplevel"});
  run.work_tree = top.status == 0 ? first_line(top.output) : "";
  return true;
}

// Where git knows no identity for authors or committers (most CI runners), commits carry the
// build identity.
void choose_identity(Run& run) {
  for (const char* role : {"AUTHOR", "COMMITTER"}) {
    if (run_git(run, {"var", std::string("GIT_") + role + "_IDENT"}).status != 0) {
      run.environment.push_back(std::string("GIT_") + role + "_NAME=" + kBuildIdentityName);
      run.environment.push_back(std::string("GIT_") + role + "_EMAIL=" + kBuildIdentityEmail);
    }
  }
}

// Learns where pushes to the remote go: pushing to that URL rather than to the remote's name
// leaves the clone's remote-tracking branches alone, which runs at once in one clone would
// otherwise fight over. A remote given as a URL is its own.
void find_push_url(Run& run) {
  const GitResult result = run_git(run, {"remote", "get-url", "--push", run.options.remote});
  run.push_url = result.status == 0 ? first_line(result.output) : run.options.remote;
}

// Sets the branch, when none was given, to the one the remote's HEAD names.
bool find_default_branch(Run& run) {
  if (!run.options.branch.empty()) {
    return true;
  }
  const GitResult result = run_git(run, {"ls-remote", "--symref", run.options.remote, "HEAD"});
  const std::string line = first_line(result.output);
  const std::string prefix = "ref: refs/heads/";
  const std::size_t tab = line.find('\t');
  if (result.status != 0 || !line.starts_with(prefix) || tab == std::string::npos) {
    say_git_failed(run,
                   "can't learn the default branch of " + run.options.remote +
                       " (give --branch or set bumpbuild.branch)",
                   result);
    return false;
  }
  run.options.branch = line.substr(prefix.size(), tab - prefix.size());
  return true;
}

std::string branch_ref(const Run& run) {
  return "refs/heads/" + run.options.branch;
}

// What one try came to.
enum class Try { kPushed, kTipMoved, kFailed };

// What a try made: the tip it started from, the header it pushed, the commit.
struct Bump {
  std::string tip;
  std::string header;
  std::string version;
  std::string commit;
};

// Fetches the branch's tip into a ref of this run's own, reads it, and deletes the ref again:
// no branch, remote-tracking branch (an empty --refmap), FETCH_HEAD or tag of the clone changes.
bool fetch_tip(const Run& run, std::string& tip) {
  const std::string own_ref = "refs/bumpbuild/" + run.nonce;
  const GitResult fetched =
      run_git(run, {"fetch", "--quiet", "--no-write-fetch-head", "--no-tags",
                    "--no-recurse-submodules", "--no-prune", "--no-auto-gc",
                    "--refmap=", run.options.remote, "+" + branch_ref(run) + ":" + own_ref});
  if (fetched.status != 0) {
    say_git_failed(run, "can't fetch " + run.options.branch + " from " + run.options.remote,
                   fetched);
    return false;
  }
  const GitResult read = run_git(run, {"rev-parse", "--verify", own_ref + "^{commit}"});
  (void)run_git(run, {"update-ref", "--no-deref", "-d", own_ref});
  if (read.status != 0) {
    say_git_failed(run, "can't read the fetched tip of " + run.options.branch, read);
    return false;
  }
  tip = first_line(read.output);
  return true;
}

// Bumps the header of commit `tip` into `bump`, and writes the bumped header's blob, returned in
// `blob` with its `mode`.
bool bump_header(const Run& run, Bump& bump, std::string& blob, std::string& mode) {
  const GitResult listed =
      run_git(run, {"ls-tree", "--full-tree", "-z", bump.tip, "--", run.options.file});
  // "<mode> blob <id>\t<path>\0"
  const std::string& entry = listed.output;
  if (listed.status != 0 || entry.find(" blob ") == std::string::npos ||
      entry.find('\t') == std::string::npos) {
    if (listed.status != 0) {
      say_git_failed(run, "can't read the tree of " + run.options.branch, listed);
    } else {
      say("no file " + run.options.file + " on " + run.options.branch + " of " +
          run.options.remote);
    }
    return false;
  }
  mode = entry.substr(0, entry.find(' '));
  const std::size_t id_start = entry.find(" blob ") + 6;
  const std::string old_blob = entry.substr(id_start, entry.find('\t') - id_start);

  const FileHandle old_header = create_scratch_file();
  const FileHandle new_header = create_scratch_file();
  const GitResult read = run_git(run, {"cat-file", "blob", old_blob}, kNoFile, old_header);
  if (read.status != 0 || !rewind_file(old_header)) {
    close_file(old_header);
    close_file(new_header);
    say_git_failed(run, "can't read " + run.options.file, read);
    return false;
  }
  // The same rewrite as bumpbuild's, so the same bytes.
  TextInputFile input = TextInputFile::over(old_header);
  TextOutputFile output = TextOutputFile::over(new_header);
  const bool bumped = copy_with_bumped_lines(input, output, run.options.prefix.c_str());
  const FileHandle written = output.release();
  if (input.failed() || output.failed() || !bumped) {
    close_file(written);
    say(input.failed() || output.failed()
            ? "can't bump " + run.options.file + ": a temporary file failed"
            : "unknown parameter");
    return false;
  }
  bump.header = contents_of(written);
  const GitResult hashed =
      rewind_file(written) ? run_git(run, {"hash-object", "-w", "--stdin"}, written) : GitResult{};
  close_file(written);
  if (hashed.status != 0) {
    say_git_failed(run, "can't store the bumped " + run.options.file, hashed);
    return false;
  }
  blob = first_line(hashed.output);
  bump.version = version_in_header(bump.header, run.options.prefix);
  return true;
}

// Makes this run's commit: the tip's tree with only the header's blob changed, the tip its only
// parent, and this run's nonce in a trailer, so that no two runs ever make the same commit.
bool make_commit(const Run& run, Bump& bump, const std::string& blob, const std::string& mode) {
  const std::string index = run.git_dir + "/bumpbuild-" + run.nonce + ".index";
  const std::vector<std::string> own_index{"GIT_INDEX_FILE=" + index};
  GitResult result = run_git(run, {"read-tree", bump.tip}, kNoFile, kNoFile, own_index);
  if (result.status == 0) {
    result = run_git(
        run, {"update-index", "--add", "--cacheinfo", mode + "," + blob + "," + run.options.file},
        kNoFile, kNoFile, own_index);
  }
  if (result.status == 0) {
    result = run_git(run, {"write-tree"}, kNoFile, kNoFile, own_index);
  }
  (void)std::remove(index.c_str());
  if (result.status != 0) {
    say_git_failed(run, "can't make the tree of the bump", result);
    return false;
  }
  const std::string tree = first_line(result.output);
  const std::string message = run.options.message.empty()
                                  ? run.options.prefix + " " + bump.version + " [skip ci]"
                                  : run.options.message;
  result = run_git(run, {"commit-tree", tree, "-p", bump.tip, "-m", message, "-m",
                         "Bumpbuild-Run: " + run.nonce});
  if (result.status != 0) {
    say_git_failed(run, "can't make the commit", result);
    return false;
  }
  bump.commit = first_line(result.output);
  return true;
}

// The commit the remote's branch points at now, empty when git cannot tell.
std::string remote_tip(const Run& run) {
  const GitResult result = run_git(run, {"ls-remote", run.options.remote, branch_ref(run)});
  const std::string line = first_line(result.output);
  return result.status == 0 ? line.substr(0, line.find('\t')) : "";
}

// Pushes the commit so that the server takes it only while the branch points at the tip. A
// refusal is told from a moved tip by looking at the branch again: git's words differ with the
// transport and with where two pushes met.
Try push_commit(const Run& run, const Bump& bump) {
  const std::string destination = branch_ref(run);
  const GitResult pushed =
      run_git(run, {"push", "--porcelain", "--no-follow-tags", "--recurse-submodules=no",
                    "--force-with-lease=" + destination + ":" + bump.tip, run.push_url,
                    bump.commit + ":" + destination});
  // "<flag>\t<from>:<to>\t<summary>", ' ' for a fast-forward.
  const std::string moved_line = " \t" + bump.commit + ":" + destination + "\t";
  if (pushed.status == 0 && pushed.output.find(moved_line) != std::string::npos) {
    return Try::kPushed;
  }
  if (pushed.status != kProcessTimedOut) {
    const std::string now = remote_tip(run);
    if (now == bump.commit) {
      return Try::kPushed;  // the server took it, though git could not say so
    }
    if (!now.empty() && now != bump.tip) {
      return Try::kTipMoved;
    }
  }
  GitResult reported = pushed;
  const std::size_t rejected = pushed.output.find("\n!\t");
  if (rejected != std::string::npos) {
    const std::string line = first_line(pushed.output.substr(rejected + 1));
    reported.errors = line.substr(line.rfind('\t') + 1) + "\n" + reported.errors;
  }
  say_git_failed(run,
                 pushed.status == kProcessTimedOut
                     ? "the push of " + bump.commit + " to " + run.options.remote +
                           " did not end; the branch may hold it"
                     : "can't push to " + run.options.branch + " of " + run.options.remote,
                 reported);
  return Try::kFailed;
}

// Waits until no other run in this repository holds its turn, at most until the bound: runs in
// one clone then never meet each other, only runs elsewhere. Returns
// the lock (kNoLock where the file system offers none: the run goes on without), or nothing when
// the bound was reached.
std::optional<FileLock> take_turn(const Run& run) {
  static std::minstd_rand random{std::random_device{}()};
  for (;;) {
    bool busy = false;
    const FileLock lock = try_lock_file(run.turn_file.c_str(), busy);
    if (lock != kNoLock || !busy) {
      return lock;
    }
    const auto pause = static_cast<unsigned>(std::uniform_int_distribution<int>(2, 10)(random));
    if (milliseconds_left(run) <= pause) {
      say("gave up after " + std::to_string(run.options.bound_seconds) +
          " seconds waiting for other runs in this clone (--timeout)");
      return std::nullopt;
    }
    pause_milliseconds(pause);
  }
}

Try try_once(const Run& run, Bump& bump) {
  std::string blob;
  std::string mode;
  if (!fetch_tip(run, bump.tip) || !bump_header(run, bump, blob, mode) ||
      !make_commit(run, bump, blob, mode)) {
    return Try::kFailed;
  }
  return push_commit(run, bump);
}

// The pause before the next try, after `tries` tries that met another run's push, the last one
// taking `try_ms`: random within a window of that many tries' lengths, doubled after every
// meeting up to 32 (an exponential backoff, as Ethernet's), so that runs that met spread out and
// take turns at the branch instead of meeting again.
unsigned pause_before_try(int tries, std::int64_t try_ms) {
  static std::minstd_rand random{std::random_device{}()};
  const std::int64_t slot = std::clamp<std::int64_t>(try_ms, 10, 2000);
  const std::int64_t window = slot << std::min(tries - 1, 5);
  return static_cast<unsigned>(std::uniform_int_distribution<std::int64_t>(1, window)(random));
}

// Tries until the push lands, something other than a moved tip stops it, or the bound is reached.
Try try_until_pushed(const Run& run, Bump& bump) {
  int tries = 0;
  Try outcome = Try::kFailed;
  Clock::time_point try_start = Clock::now();
  while ((outcome = try_once(run, bump)) == Try::kTipMoved) {
    ++tries;
    const unsigned pause = pause_before_try(
        tries,
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - try_start).count());
    if (milliseconds_left(run) <= pause) {
      say("gave up after " + std::to_string(run.options.bound_seconds) + " seconds and " +
          std::to_string(tries) + " tries: " + run.options.branch + " of " + run.options.remote +
          " kept moving (--timeout)");
      return Try::kFailed;
    }
    pause_milliseconds(pause);
    try_start = Clock::now();
  }
  return outcome;
}

// Replaces the header in the working tree by the pushed one, as bumpbuild replaces a file: a new
// file beside it, synced, renamed over it. Returns true when there is none to replace.
bool replace_working_copy(const Run& run, const Bump& bump) {
  if (run.work_tree.empty()) {
    return true;
  }
  const std::string target = run.work_tree + "/" + run.options.file;
  const FileHandle old_copy = open_file_for_reading(target.c_str());
  if (old_copy == kNoFile || !is_regular_file(old_copy)) {
    close_file(old_copy);
    return true;
  }
  const std::string temp = target + ".bumpbuild-" + run.nonce;
  const FileHandle new_copy = create_file_for_writing(temp.c_str(), target.c_str());
  bool replaced = new_copy != kNoFile;
  if (replaced) {
    replaced = write_file(new_copy, bump.header.data(), bump.header.size()) &&
               copy_file_attributes(old_copy, new_copy) && sync_file(new_copy);
    if (replaced) {
      replaced = replace_file(new_copy, temp.c_str(), target.c_str(), true);
      if (!replaced) {
        (void)std::remove(temp.c_str());
      }
    } else {
      remove_file(new_copy, temp.c_str());
    }
  }
  close_file(old_copy);
  if (!replaced) {
    say("pushed " + bump.commit + ", but can't replace " + target);
  }
  return replaced;
}

}  // namespace

ArgumentsResult read_remote_bump_arguments(int argc, const char* const* argv,
                                           RemoteBumpOptions& options, std::string& error) {
  std::vector<std::string> operands;
  bool options_end = false;
  for (int index = 1; index < argc && error.empty(); ++index) {
    const std::string_view argument = argv[index];
    if (options_end || !argument.starts_with("-") || argument == "-") {
      operands.emplace_back(argument);
      continue;
    }
    if (argument == "--") {
      options_end = true;
    } else if (argument == "-h" || argument == "--help") {
      return ArgumentsResult::kHelp;
    } else if (auto remote = option_value("--remote", argc, argv, index, error)) {
      options.remote = *remote;
    } else if (auto branch = option_value("--branch", argc, argv, index, error)) {
      options.branch = *branch;
    } else if (auto file = option_value("--file", argc, argv, index, error)) {
      options.file = *file;
    } else if (auto message = option_value("--message", argc, argv, index, error)) {
      options.message = *message;
    } else if (auto bound = option_value("--timeout", argc, argv, index, error)) {
      if (error.empty() && !read_seconds(*bound, options.bound_seconds)) {
        error = "--timeout needs a whole number of seconds, at least 1: " + *bound;
      }
    } else {
      error = "unknown option " + std::string(argument);
    }
  }
  if (error.empty() && operands.size() != 1) {
    error = operands.empty() ? "no PREFIX given" : "more than one PREFIX given";
  }
  if (!error.empty()) {
    return ArgumentsResult::kError;
  }
  options.prefix = operands.front();
  return ArgumentsResult::kRun;
}

int run_remote_bump(const RemoteBumpOptions& options, const RemoteBumpSurroundings& surroundings) {
  Run run;
  run.options = options;
  run.deadline = Clock::now() + std::chrono::seconds(options.bound_seconds);
  run.nonce = random_nonce();
  // Nothing may wait for a person: no terminal prompt, no askpass program (an empty
  // GIT_ASKPASS stops git looking for one), no Git Credential Manager dialog.
  run.environment = {"GIT_TERMINAL_PROMPT=0",
                     "GIT_ASKPASS=", "SSH_ASKPASS=", "SSH_ASKPASS_REQUIRE=never",
                     "GCM_INTERACTIVE=never"};
  bool ssh_command_configured = false;
  if (!find_repository(run) || !read_configuration(run, ssh_command_configured)) {
    return 1;
  }
  if (!ssh_command_configured && !surroundings.ssh_command_chosen) {
    run.environment.emplace_back("GIT_SSH_COMMAND=ssh -o BatchMode=yes");
  }
  const std::string snapshot =
      surroundings.snapshot_file != nullptr ? surroundings.snapshot_file : "";
  FileHandle snapshot_file = kNoFile;
  if (!snapshot.empty()) {
    const std::string working_copy =
        run.work_tree.empty() ? run.options.file : run.work_tree + "/" + run.options.file;
    if (names_one_of({snapshot}, {working_copy, copy_beside_path(working_copy)}) ||
        (snapshot_file = create_snapshot_file(snapshot.c_str())) == kNoFile) {
      say("can't write snapshot " + snapshot);
      return 1;
    }
  }
  if (run.options.file.empty()) {
    say("no header given: use --file PATH or git config bumpbuild.file PATH");
    discard_snapshot(snapshot_file, snapshot.c_str());
    return 1;
  }
  choose_identity(run);
  find_push_url(run);
  // The turn is held through the backoff, so that the runs of one clone back off as one, and
  // through the working-tree copy, so that the clone's header ends at its last push.
  Bump bump;
  const std::optional<FileLock> turn =
      find_default_branch(run) ? take_turn(run) : std::optional<FileLock>();
  const bool pushed = turn && try_until_pushed(run, bump) == Try::kPushed;
  const bool replaced = pushed && replace_working_copy(run, bump);
  if (turn) {
    unlock_file(*turn);
  }
  if (!replaced) {
    discard_snapshot(snapshot_file, snapshot.c_str());
    return 1;
  }
  if (snapshot_file != kNoFile &&
      (!write_file(snapshot_file, bump.header.data(), bump.header.size()) ||
       !publish_snapshot(snapshot_file, snapshot.c_str()))) {
    discard_snapshot(snapshot_file, snapshot.c_str());
    say("pushed " + bump.commit + ", but can't write snapshot " + snapshot);
    return 1;
  }
  std::printf("%s %s %s\n", run.options.prefix.c_str(), bump.version.c_str(), bump.commit.c_str());
  return std::fflush(stdout) == 0 ? 0 : 1;
}

std::string version_in_header(std::string_view header, std::string_view prefix) {
  const std::string string_key = std::string(prefix) + "_STRING_VERSION";
  const std::string number_key = std::string(prefix) + "_VERSION";
  std::string_view number_line;
  while (!header.empty()) {
    const std::size_t end = header.find('\n');
    const std::string_view line = header.substr(0, end);
    header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
    if (line.find(string_key) != std::string_view::npos) {
      const std::size_t closing = line.rfind('"');
      const std::size_t opening = closing == std::string_view::npos || closing == 0
                                      ? closing
                                      : line.rfind('"', closing - 1);
      if (opening != std::string_view::npos && opening != closing) {
        return std::string(line.substr(opening + 1, closing - opening - 1));
      }
    } else if (number_line.empty() && line.find(number_key) != std::string_view::npos) {
      number_line = line.substr(line.find(number_key) + number_key.size());
    }
  }
  std::string version;
  for (const char c : number_line) {
    if (c != ' ' && c != '\t' && c != '\r') {
      version += c == ',' ? '.' : c;
    }
  }
  return version;
}
