#include "git/remote_bump.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "git/git_runner.h"
#include "git/target.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "textio/text_file.h"
#include "update/replacement.h"
#include "update/snapshot.h"
#include "update/version_lock.h"
#include "update/version_rewrite.h"

namespace {

using Clock = std::chrono::steady_clock;

// What every try works with, fixed before the first.
struct Run {
  const GitRunner& git;
  const Target& target;
  const RemoteBumpOptions& options;  // the prefix and the commit message
  std::string nonce;                 // this run's own: its ref, its index, its commit
};

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

std::string branch_ref(const Run& run) {
  return "refs/heads/" + run.target.branch;
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
  // Appended, not "+" + ...: GCC 12 warns, falsely, that such a sum's copies overlap.
  const std::string refspec = std::string("+").append(branch_ref(run)).append(":").append(own_ref);
  const GitResult fetched = run.git.run({"fetch", "--quiet", "--no-write-fetch-head", "--no-tags",
                                         "--no-recurse-submodules", "--no-prune", "--no-auto-gc",
                                         "--refmap=", run.target.remote, refspec});
  if (fetched.status != 0) {
    run.git.say_failed("can't fetch " + run.target.branch + " from " + run.target.remote, fetched);
    return false;
  }
  const GitResult read = run.git.run({"rev-parse", "--verify", own_ref + "^{commit}"});
  (void)run.git.run({"update-ref", "--no-deref", "-d", own_ref});
  if (read.status != 0) {
    run.git.say_failed("can't read the fetched tip of " + run.target.branch, read);
    return false;
  }
  tip = first_line(read.output);
  return true;
}

// Bumps the header of commit `tip` into `bump`, and writes the bumped header's blob, returned in
// `blob` with its `mode`.
bool bump_header(const Run& run, Bump& bump, std::string& blob, std::string& mode) {
  const GitResult listed =
      run.git.run({"ls-tree", "--full-tree", "-z", bump.tip, "--", run.target.file});
  // "<mode> blob <id>\t<path>\0"
  const std::string& entry = listed.output;
  if (listed.status != 0 || entry.find(" blob ") == std::string::npos ||
      entry.find('\t') == std::string::npos) {
    if (listed.status != 0) {
      run.git.say_failed("can't read the tree of " + run.target.branch, listed);
    } else {
      say("no file " + run.target.file + " on " + run.target.branch + " of " + run.target.remote);
    }
    return false;
  }
  mode = entry.substr(0, entry.find(' '));
  const std::size_t id_start = entry.find(" blob ") + 6;
  const std::string old_blob = entry.substr(id_start, entry.find('\t') - id_start);

  const FileHandle old_header = create_scratch_file();
  const FileHandle new_header = create_scratch_file();
  const GitResult read = run.git.run({"cat-file", "blob", old_blob}, kNoFile, old_header);
  if (read.status != 0 || !rewind_file(old_header)) {
    close_file(old_header);
    close_file(new_header);
    run.git.say_failed("can't read " + run.target.file, read);
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
            ? "can't bump " + run.target.file + ": a temporary file failed"
            : "unknown parameter");
    return false;
  }
  bump.header = contents_of(written);
  const GitResult hashed =
      rewind_file(written) ? run.git.run({"hash-object", "-w", "--stdin"}, written) : GitResult{};
  close_file(written);
  if (hashed.status != 0) {
    run.git.say_failed("can't store the bumped " + run.target.file, hashed);
    return false;
  }
  blob = first_line(hashed.output);
  bump.version = version_in_header(bump.header, run.options.prefix);
  return true;
}

// Makes this run's commit: the tip's tree with only the header's blob changed, the tip its only
// parent, and this run's nonce in a trailer, so that no two runs ever make the same commit.
bool make_commit(const Run& run, Bump& bump, const std::string& blob, const std::string& mode) {
  const std::string index = run.target.git_dir + "/bumpbuild-" + run.nonce + ".index";
  const std::vector<std::string> own_index{"GIT_INDEX_FILE=" + index};
  GitResult result = run.git.run({"read-tree", bump.tip}, kNoFile, kNoFile, own_index);
  if (result.status == 0) {
    result = run.git.run(
        {"update-index", "--add", "--cacheinfo", mode + "," + blob + "," + run.target.file},
        kNoFile, kNoFile, own_index);
  }
  if (result.status == 0) {
    result = run.git.run({"write-tree"}, kNoFile, kNoFile, own_index);
  }
  (void)std::remove(index.c_str());
  if (result.status != 0) {
    run.git.say_failed("can't make the tree of the bump", result);
    return false;
  }
  const std::string tree = first_line(result.output);
  const std::string message = run.options.message.empty()
                                  ? run.options.prefix + " " + bump.version + " [skip ci]"
                                  : run.options.message;
  result = run.git.run(
      {"commit-tree", tree, "-p", bump.tip, "-m", message, "-m", "Bumpbuild-Run: " + run.nonce});
  if (result.status != 0) {
    run.git.say_failed("can't make the commit", result);
    return false;
  }
  bump.commit = first_line(result.output);
  return true;
}

// The commit the remote's branch points at now, empty when git cannot tell.
std::string remote_tip(const Run& run) {
  const GitResult result = run.git.run({"ls-remote", run.target.remote, branch_ref(run)});
  const std::string line = first_line(result.output);
  return result.status == 0 ? line.substr(0, line.find('\t')) : "";
}

// Pushes the commit so that the server takes it only while the branch points at the tip. A
// refusal is told from a moved tip by looking at the branch again: git's words differ with the
// transport and with where two pushes met.
Try push_commit(const Run& run, const Bump& bump) {
  const std::string destination = branch_ref(run);
  const GitResult pushed =
      run.git.run({"push", "--porcelain", "--no-follow-tags", "--recurse-submodules=no",
                   "--force-with-lease=" + destination + ":" + bump.tip, run.target.push_url,
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
  run.git.say_failed(pushed.status == kProcessTimedOut
                         ? "the push of " + bump.commit + " to " + run.target.remote +
                               " did not end; the branch may hold it"
                         : "can't push to " + run.target.branch + " of " + run.target.remote,
                     reported);
  return Try::kFailed;
}

// Waits until no other run in this repository holds its turn, at most until the timeout: runs in
// one clone then never meet each other, only runs elsewhere. Returns the lock (kNoLock where the
// file system offers none: the run goes on without), or nothing when the timeout came.
std::optional<FileLock> take_turn(const Run& run) {
  static std::minstd_rand random{std::random_device{}()};
  for (;;) {
    bool busy = false;
    const FileLock lock = try_lock_file(run.target.turn_file.c_str(), busy);
    if (lock != kNoLock || !busy) {
      return lock;
    }
    const auto pause = static_cast<unsigned>(std::uniform_int_distribution<int>(2, 10)(random));
    if (run.git.milliseconds_left() <= pause) {
      say("gave up after " + std::to_string(run.git.timeout_seconds()) +
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

// Tries until the push lands, something other than a moved tip stops it, or the timeout comes.
Try try_until_pushed(const Run& run, Bump& bump) {
  int tries = 0;
  Try outcome = Try::kFailed;
  Clock::time_point try_start = Clock::now();
  while ((outcome = try_once(run, bump)) == Try::kTipMoved) {
    ++tries;
    const unsigned pause = pause_before_try(
        tries,
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - try_start).count());
    if (run.git.milliseconds_left() <= pause) {
      say("gave up after " + std::to_string(run.git.timeout_seconds()) + " seconds and " +
          std::to_string(tries) + " tries: " + run.target.branch + " of " + run.target.remote +
          " kept moving (--timeout)");
      return Try::kFailed;
    }
    pause_milliseconds(pause);
    try_start = Clock::now();
  }
  return outcome;
}

// Replaces the header in the working tree by the pushed one, as bumpbuild replaces a file.
// Returns true when it did, or when there is none to replace.
bool replace_working_copy(const Run& run, const Bump& bump) {
  if (run.target.work_tree.empty()) {
    return true;
  }
  const std::string target = run.target.work_tree + "/" + run.target.file;
  const std::string temp = target + ".bumpbuild-" + run.nonce;
  if (replace_with_bytes(target.c_str(), temp.c_str(), bump.header) == ReplaceOutcome::kFailed) {
    say("pushed " + bump.commit + ", but can't replace " + target);
    return false;
  }
  return true;
}

}  // namespace

int run_remote_bump(const RemoteBumpOptions& options, const RemoteBumpSurroundings& surroundings) {
  GitRunner git(options.timeout_seconds);
  const std::optional<Clone> clone = find_clone(git, options);
  if (!clone) {
    return 1;
  }
  complete_environment(git, clone->ssh_command_configured || surroundings.ssh_command_chosen);
  const std::string working_copy =
      clone->work_tree.empty() ? clone->options.file : clone->work_tree + "/" + clone->options.file;
  const Snapshot snapshot =
      start_snapshot(surroundings.snapshot_file, working_copy, clone->turn_file);
  if (snapshot.refused) {
    say(std::string("can't write snapshot ") + snapshot.path);
    return 1;
  }
  const std::optional<Target> target = resolve_target(git, *clone);
  if (!target) {
    discard_snapshot(snapshot);
    return 1;
  }
  const Run run{git, *target, options, random_nonce()};
  // The turn is held through the backoff, so that the runs of one clone back off as one, and
  // through the working-tree copy, so that the clone's header ends at its last push.
  Bump bump;
  const std::optional<FileLock> turn = take_turn(run);
  const bool pushed = turn && try_until_pushed(run, bump) == Try::kPushed;
  const bool replaced = pushed && replace_working_copy(run, bump);
  if (turn) {
    unlock_file(*turn);
  }
  const bool written =
      replaced && (snapshot.file == kNoFile ||
                   write_file(snapshot.file, bump.header.data(), bump.header.size()));
  if (!written) {
    discard_snapshot(snapshot);
  }
  if (!written || !publish_snapshot(snapshot)) {
    if (replaced) {
      say("pushed " + bump.commit + ", but can't write snapshot " + snapshot.path);
    }
    return 1;
  }
  std::printf("%s %s %s\n", options.prefix.c_str(), bump.version.c_str(), bump.commit.c_str());
  return std::fflush(stdout) == 0 ? 0 : 1;
}
