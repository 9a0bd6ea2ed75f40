#include "git/remote_bump.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "git/git_runner.h"
#include "git/header_tree.h"
#include "git/target.h"
#include "git/working_tree.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "textio/text_file.h"
#include "update/snapshot.h"
#include "update/version_lock.h"
#include "update/version_rewrite.h"

namespace {

using Clock = std::chrono::steady_clock;

// What every try works with, fixed before the first.
struct Run {
  GitRunner& git;
  const Target& target;
  const RemoteBumpOptions& options;  // the prefix and the commit message
  std::string nonce;                 // this run's own: its commit's trailer, its file names
  std::string own_ref;               // where each try fetches the tip to
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

std::string branch_of_remote(const Run& run) {
  return run.target.branch + " of " + run.target.shown_remote;
}

// What one try came to.
enum class Try { kPushed, kRefused, kFailed };

// What a try made: the tip it started from, the header it pushed, its version, the commit.
struct Bump {
  TipHeader from;
  std::string header;
  std::string version;
  PushedBump pushed;
};

// Fetches the branch's tip from where the push goes into the run's own ref: no branch,
// remote-tracking branch (an empty --refmap), FETCH_HEAD or tag of the clone changes.
bool fetch_tip(const Run& run) {
  // Appended, not "+" + ...: GCC 12 warns, falsely, that such a sum's copies overlap.
  const std::string refspec =
      std::string("+").append(branch_ref(run)).append(":").append(run.own_ref);
  // --progress, so that a transfer that goes on is never silent for long.
  const GitResult fetched =
      run.git.run({"fetch", "--quiet", "--progress", "--no-write-fetch-head", "--no-tags",
                   "--no-recurse-submodules", "--no-prune", "--no-auto-gc",
                   "--refmap=", run.target.push_url, refspec});
  if (fetched.status != 0) {
    run.git.say_failed("can't fetch " + branch_of_remote(run), fetched, run.target.shown_remote,
                       "the tip of " + run.target.branch);
    return false;
  }
  return true;
}

// Bumps the header of the tip in `bump.from` and stores the blob that `git add` would store
// for it (its clean filter and line-end conversion).
bool bump_header(const Run& run, Bump& bump) {
  const FileHandle old_header = create_scratch_file();
  const FileHandle new_header = create_scratch_file();
  const bool stored = old_header != kNoFile &&
                      write_file(old_header, bump.from.header.data(), bump.from.header.size()) &&
                      rewind_file(old_header);
  // The same rewrite as bumpbuild's, so the same bytes.
  TextInputFile input = TextInputFile::over(old_header);
  TextOutputFile output = TextOutputFile::over(new_header);
  const bool bumped = stored && copy_with_bumped_lines(input, output, run.options.prefix.c_str());
  const FileHandle written = output.release();
  if (!stored || input.failed() || output.failed() || !bumped) {
    close_file(written);
    say(!stored || input.failed() || output.failed()
            ? "can't bump " + run.target.file + ": a temporary file failed"
            : "unknown parameter");
    return false;
  }
  bump.header = contents_of(written);
  const GitResult hashed =
      rewind_file(written)
          ? run.git.run(
                at_top(run.target, {"hash-object", "-w", "--stdin", "--path=" + run.target.file}),
                written)
          : GitResult{};
  close_file(written);
  if (hashed.status != 0) {
    run.git.say_failed("can't store the bumped " + run.target.file, hashed);
    return false;
  }
  bump.pushed.tip = bump.from.tip;
  bump.pushed.mode = bump.from.mode;
  bump.pushed.blob = first_line(hashed.output);
  bump.version = version_in_header(bump.header, run.options.prefix);
  if (bump.version.empty()) {
    bump.version.push_back('-');  // the output line keeps its three fields
  }
  return true;
}

// Makes this run's commit: the tip's tree with only the header's blob changed, the tip its only
// parent, and this run's nonce in a trailer, so that no two runs ever make the same commit;
// signed where commit.gpgSign asks for it, as `git commit` would sign it.
bool make_commit(const Run& run, Bump& bump) {
  const std::string tree = tree_with_blob(run.git, bump.from, run.target.file, bump.pushed.blob);
  if (tree.empty()) {
    return false;
  }
  const std::string message = run.options.message.empty()
                                  ? run.options.prefix + " " + bump.version + " [skip ci]"
                                  : run.options.message;
  std::vector<std::string> arguments{"commit-tree", tree,    "-p", bump.from.tip,
                                     "-m",          message, "-m", "Bumpbuild-Run: " + run.nonce};
  if (run.target.sign_commits) {
    arguments.emplace_back("-S");
  }
  const GitResult made = run.git.run(arguments);
  if (made.status != 0) {
    run.git.say_failed("can't make the commit", made);
    return false;
  }
  bump.pushed.commit = first_line(made.output);
  return true;
}

// Pushes the commit so that the server takes it only while the branch points at the tip. A
// refusal is judged by the next try's fetch, for git's words differ with the transport and with
// where two pushes met: `refused` keeps what git said.
Try push_commit(const Run& run, const Bump& bump, GitResult& refused) {
  const std::string destination = branch_ref(run);
  refused = run.git.run({"push", "--porcelain", "--progress", "--no-follow-tags",
                         "--recurse-submodules=no",
                         "--force-with-lease=" + destination + ":" + bump.from.tip,
                         run.target.push_url, bump.pushed.commit + ":" + destination});
  // "<flag>\t<from>:<to>\t<summary>", ' ' for a fast-forward.
  const std::string moved_line = " \t" + bump.pushed.commit + ":" + destination + "\t";
  if (refused.status == 0 && refused.output.find(moved_line) != std::string::npos) {
    return Try::kPushed;
  }
  if (refused.status == kProcessTimedOut || refused.status == kProcessSilent) {
    run.git.say_failed("", refused, run.target.shown_remote,
                       "the push of " + bump.pushed.commit + " to " + run.target.branch +
                           ", which the branch may hold now");
    return Try::kFailed;
  }
  return Try::kRefused;
}

// Says why the server refused the push, git's own line for it first.
void say_refused(const Run& run, GitResult refused) {
  const std::size_t rejected = refused.output.find("\n!\t");
  if (rejected != std::string::npos) {
    const std::string line = first_line(refused.output.substr(rejected + 1));
    refused.errors = line.substr(line.rfind('\t') + 1) + "\n" + refused.errors;
  }
  run.git.say_failed("can't push to " + branch_of_remote(run), refused);
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
      say(run.git.gave_up() + " waiting for other runs in this clone to finish with " +
          run.target.shown_remote);
      return std::nullopt;
    }
    pause_milliseconds(pause);
  }
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
// A refused push is judged by the next fetch: the tip moved (try again from there), it is the
// refused commit (the server took it, though git could not say so), or it stayed (a refusal).
Try try_until_pushed(const Run& run, Bump& bump) {
  GitResult refused;
  bool judging = false;
  for (;;) {
    const Clock::time_point try_start = Clock::now();
    run.git.count_try();
    TipHeader tip;
    const TipRead read = fetch_tip(run)
                             ? read_tip_header(run.git, run.own_ref, run.target.file, tip)
                             : TipRead::kFailed;
    if (judging && read != TipRead::kFailed &&
        (tip.tip == bump.pushed.commit || tip.tip == bump.from.tip)) {
      if (tip.tip == bump.from.tip) {
        say_refused(run, refused);
        return Try::kFailed;
      }
      return Try::kPushed;
    }
    if (read == TipRead::kNoFile) {
      say("no file " + run.target.file + " on " + branch_of_remote(run));
    }
    bump.from = tip;
    const Try outcome = read == TipRead::kRead && bump_header(run, bump) && make_commit(run, bump)
                            ? push_commit(run, bump, refused)
                            : Try::kFailed;
    if (outcome != Try::kRefused) {
      return outcome;
    }
    judging = true;
    const unsigned pause = pause_before_try(
        run.git.tries(),
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - try_start).count());
    if (run.git.milliseconds_left() <= pause) {
      say(run.git.gave_up() + ": " + branch_of_remote(run) + " kept moving");
      return Try::kFailed;
    }
    pause_milliseconds(pause);
  }
}

}  // namespace

int run_remote_bump(const RemoteBumpOptions& options, const RemoteBumpSurroundings& surroundings) {
  GitRunner git(options.timeout_seconds, options.answer_seconds);
  const std::optional<Clone> clone = find_clone(git, options);
  if (!clone) {
    return 1;
  }
  complete_environment(git, clone->ssh_command_configured || surroundings.ssh_command_chosen);
  // The header as the run will name it, whatever form --file takes (absolute, "./", repeated
  // "/"): the snapshot may take the place of none of its files. A --file outside the clone is
  // refused later; the snapshot is checked against it as given meanwhile.
  const std::string from_top = path_from_top(clone->options.file, clone->work_tree);
  const std::string working_copy = clone->work_tree.empty() || from_top.empty()
                                       ? clone->options.file
                                       : clone->work_tree + "/" + from_top;
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
  const std::string nonce = random_nonce();
  const Run run{git, *target, options, nonce, "refs/bumpbuild/" + nonce};
  // The turn is held from the look at the clone's header through the backoff, so that the runs
  // of one clone back off as one, to the clone's update, so that the clone ends at its last push.
  Bump bump;
  const std::optional<FileLock> turn = take_turn(run);
  const bool free = turn && header_is_free(git, *target);
  const bool pushed = free && try_until_pushed(run, bump) == Try::kPushed;
  if (free) {
    (void)git.run({"update-ref", "--no-deref", "-d", run.own_ref});
  }
  const bool followed = pushed && follow_push(git, *target, bump.pushed);
  if (turn) {
    unlock_file(*turn);
  }
  const bool written =
      followed && (snapshot.file == kNoFile ||
                   write_file(snapshot.file, bump.header.data(), bump.header.size()));
  if (!written) {
    discard_snapshot(snapshot);
  }
  if (!written || !publish_snapshot(snapshot)) {
    if (followed) {
      say("pushed " + bump.pushed.commit + ", but can't write snapshot " + snapshot.path);
    }
    return 1;
  }
  const std::string line = options.prefix + " " + bump.version + " " + bump.pushed.commit;
  if (std::printf("%s\n", line.c_str()) < 0 || std::fflush(stdout) != 0) {
    say("pushed " + bump.pushed.commit + " (" + options.prefix + " " + bump.version +
        "), but can't write that line to standard output");
    return 1;
  }
  return 0;
}
