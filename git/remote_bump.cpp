#include "git/remote_bump.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "git/bump_record.h"
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
  std::string for_commit;            // --for's commit, its full id; empty without --for
  // Where each try fetches the record to, with --for: a bump keeps it (refs/bumpbuild/record/
  // BRANCH/records), so that the next run's fetch checks only what changed since; --show, which
  // takes no turn, fetches to a ref of its own.
  std::string own_record_ref;
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

// What one try came to: a bump pushed, or found in the record (--for).
enum class Try { kPushed, kFound, kRefused, kFailed };

// What a try made: the tip it started from, the header it pushed, its version, the commit; with
// --for, the record it read and the record's next commit. A bump found in the record fills
// the header, the version and the commit alone. Whether git adds the header byte for byte is
// asked once in a run, by the first try that needs to know.
struct Bump {
  TipHeader from;
  std::string header;
  std::string version;
  PushedBump pushed;
  Record record;
  std::string record_commit;
  std::optional<bool> adds_byte_for_byte;
};

// Fetches the branch's tip from where the push goes into the run's own ref, and with --for the
// record's branch, where there is one, into another: no branch, remote-tracking branch (an empty
// --refmap), FETCH_HEAD or tag of the clone changes. A pattern fetches the record, so that a
// branch without one is no error; --prune drops the run's copy when the record is gone.
bool fetch_tip(const Run& run) {
  // Appended, not "+" + ...: GCC 12 warns, falsely, that such a sum's copies overlap.
  const std::string refspec =
      std::string("+").append(branch_ref(run)).append(":").append(run.own_ref);
  // --progress, so that a transfer that goes on is never silent for long.
  std::vector<std::string> arguments{"fetch",
                                     "--quiet",
                                     "--progress",
                                     "--no-write-fetch-head",
                                     "--no-tags",
                                     "--no-recurse-submodules",
                                     run.for_commit.empty() ? "--no-prune" : "--prune",
                                     "--no-auto-gc",
                                     "--refmap=",
                                     run.target.push_url,
                                     refspec};
  if (!run.for_commit.empty()) {
    const std::string records = record_ref(run.target.branch);
    const std::string own = run.own_record_ref;
    arguments.push_back(std::string("+")
                            .append(records.substr(0, records.rfind('/')))
                            .append("/*:")
                            .append(own.substr(0, own.rfind('/')))
                            .append("/*"));
  }
  const GitResult fetched = run.git.run(arguments);
  if (fetched.status != 0) {
    run.git.say_failed("can't fetch " + branch_of_remote(run), fetched, run.target.shown_remote,
                       "the tip of " + run.target.branch);
    return false;
  }
  return true;
}

// Reads the fetched tip's header into `tip` and, with --for, the fetched record into `record`,
// in one git where the record holds no bump for the commit (two where it does).
TipRead read_tip(const Run& run, TipHeader& tip, Record& record) {
  const std::vector<std::string> also = run.for_commit.empty()
                                            ? std::vector<std::string>()
                                            : record_objects(run.own_record_ref, run.for_commit);
  std::vector<BatchObject> also_read;
  const TipRead read =
      read_tip_header(run.git, run.own_ref, run.target.file, tip, also, &also_read);
  if (read != TipRead::kFailed && !run.for_commit.empty() &&
      !read_record(run.git, also_read, run.for_commit, run.options.prefix, record)) {
    return TipRead::kFailed;
  }
  return read;
}

// How `git add` would store the bumped header over the tip's: through its clean filter and
// line-end conversion, or byte for byte where git leaves the CR LF of a header stored with them
// (one that checks out at the size it is stored at, CR LF in it).
std::string how_to_store(const Run& run, Bump& bump) {
  const TipHeader& from = bump.from;
  if (from.stored_size != from.header.size() || from.header.find("\r\n") == std::string::npos) {
    return "--path=" + run.target.file;
  }
  if (!bump.adds_byte_for_byte) {
    bump.adds_byte_for_byte = adds_byte_for_byte(run.git, run.target);
  }
  return *bump.adds_byte_for_byte ? "--no-filters" : "--path=" + run.target.file;
}

// Bumps the header of the tip in `bump.from` and stores the blob that `git add` would store
// for it.
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
                at_top(run.target, {"hash-object", "-w", "--stdin", how_to_store(run, bump)}),
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
  if (!run.for_commit.empty()) {
    arguments.back() += "\nBumpbuild-For: " + run.for_commit;
  }
  if (run.target.sign_commits) {
    arguments.emplace_back("-S");
  }
  const GitResult made = run.git.run(arguments);
  if (made.status != 0) {
    run.git.say_failed("can't make the commit", made);
    return false;
  }
  bump.pushed.commit = first_line(made.output);
  if (run.for_commit.empty()) {
    return true;
  }
  bump.record_commit = record_bump(run.git, bump.record, run.own_ref + "-record", run.for_commit,
                                   run.options.prefix, bump.pushed.commit, bump.header);
  return !bump.record_commit.empty();
}

// Takes the bump that the record holds for --for's commit as this run's answer.
void take_recorded_bump(const Run& run, Bump& bump) {
  bump.header = bump.record.header;
  bump.pushed.commit = bump.record.bump;
  bump.version = version_in_header(bump.header, run.options.prefix);
  if (bump.version.empty()) {
    bump.version.push_back('-');
  }
}

// Pushes the commit so that the server takes it only while the branch points at the tip; with
// --for, together with the record's next commit in one atomic push, taken only while the record
// is the one read. A refusal is judged by the next try's fetch, for git's words differ with the
// transport and with where two pushes met: `refused` keeps what git said.
Try push_commit(const Run& run, const Bump& bump, GitResult& refused) {
  const std::string destination = branch_ref(run);
  std::vector<std::string> arguments{"push",
                                     "--porcelain",
                                     "--progress",
                                     "--no-follow-tags",
                                     "--recurse-submodules=no",
                                     "--force-with-lease=" + destination + ":" + bump.from.tip};
  std::string records;
  if (!run.for_commit.empty()) {
    records = record_ref(run.target.branch);
    arguments.emplace_back("--atomic");
    arguments.push_back("--force-with-lease=" + records + ":" + bump.record.commit);
  }
  arguments.push_back(run.target.push_url);
  arguments.push_back(bump.pushed.commit + ":" + destination);
  if (!records.empty()) {
    arguments.push_back(bump.record_commit + ":" + records);
  }
  refused = run.git.run(arguments);
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
// meeting up to 8 (an exponential backoff, as Ethernet's), so that runs that met spread out and
// take turns at the branch instead of meeting again. A wider bound meets less often but leaves
// the last runs of a burst waiting long after the others are done.
unsigned pause_before_try(int tries, std::int64_t try_ms) {
  static std::minstd_rand random{std::random_device{}()};
  const std::int64_t slot = std::clamp<std::int64_t>(try_ms, 10, 2000);
  const std::int64_t window = slot << std::min(tries - 1, 3);
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
    const TipRead read = fetch_tip(run) ? read_tip(run, tip, bump.record) : TipRead::kFailed;
    if (judging && read != TipRead::kFailed &&
        (tip.tip == bump.pushed.commit || tip.tip == bump.from.tip)) {
      if (tip.tip == bump.from.tip) {
        say_refused(run, refused);
        return Try::kFailed;
      }
      return Try::kPushed;
    }
    if (read != TipRead::kFailed && bump.record.found) {
      if (bump.record.bump == bump.pushed.commit) {
        return Try::kPushed;
      }
      take_recorded_bump(run, bump);
      return Try::kFound;
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

// Deletes the refs the run fetched and made its record's commit to, but the record it keeps for
// the next run.
void drop_own_refs(const Run& run) {
  std::string deletions = "delete " + run.own_ref + "\n";
  if (!run.for_commit.empty()) {
    deletions +=
        "delete " + (run.options.show ? run.own_record_ref : run.own_ref + "-record") + "\n";
  }
  (void)run.git.run_fed({"update-ref", "--no-deref", "--stdin"}, deletions);
}

// The line of --show, with the answer in `bump`: the version at the branch's tip and the tip,
// or with --for the bump the record holds for the commit. Returns false, having said why, when
// git failed, the tip holds no header or no key of the prefix, or the record no such bump.
bool show_bump(const Run& run, Bump& bump) {
  run.git.count_try();
  const TipRead read = fetch_tip(run) ? read_tip(run, bump.from, bump.record) : TipRead::kFailed;
  drop_own_refs(run);
  if (read == TipRead::kFailed) {
    return false;
  }
  if (!run.for_commit.empty()) {
    if (!bump.record.found) {
      say("no bump of " + run.options.prefix + " for " + run.for_commit + " on " +
          branch_of_remote(run));
      return false;
    }
    take_recorded_bump(run, bump);
    return true;
  }
  const ComponentKeys keys = component_keys(run.options.prefix);
  if (read == TipRead::kNoFile || (bump.from.header.find(keys.number_key) == std::string::npos &&
                                   bump.from.header.find(keys.string_key) == std::string::npos)) {
    say(read == TipRead::kNoFile ? "no file " + run.target.file + " on " + branch_of_remote(run)
                                 : "unknown parameter");
    return false;
  }
  bump.header = bump.from.header;
  bump.pushed.commit = bump.from.tip;
  bump.version = version_in_header(bump.header, run.options.prefix);
  if (bump.version.empty()) {
    bump.version.push_back('-');
  }
  return true;
}

// --for's commit as the clone resolves it, its full id (a full id in lower case as it stands);
// empty, having said why, when it does not.
std::string resolve_for_commit(const GitRunner& git, const RemoteBumpOptions& options) {
  if (!prefix_fits_record(options.prefix)) {
    say("--for needs a PREFIX without \"/\" or a line end");
    return {};
  }
  // A full id, as CI gives it, needs no git: the record is found by the id alone.
  const std::string& name = options.for_commit;
  if ((name.size() == 40 || name.size() == 64) &&
      name.find_first_not_of("0123456789abcdef") == std::string::npos) {
    return name;
  }
  const GitResult resolved = git.run(
      {"rev-parse", "--verify", "--quiet", "--end-of-options", options.for_commit + "^{commit}"});
  if (resolved.status != 0) {
    git.say_failed("--for " + options.for_commit + " names no commit of this clone", resolved);
    return {};
  }
  return first_line(resolved.output);
}

// Prints the answer's line. Returns false, having said what it `did` ("pushed", "found"), when
// it cannot be written.
bool print_line(const RemoteBumpOptions& options, const Bump& bump, const char* did) {
  const std::string line = options.prefix + " " + bump.version + " " + bump.pushed.commit;
  if (std::printf("%s\n", line.c_str()) < 0 || std::fflush(stdout) != 0) {
    say(did + (" " + bump.pushed.commit) + " (" + options.prefix + " " + bump.version +
        "), but can't write that line to standard output");
    return false;
  }
  return true;
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
  // --show touches no file.
  const Snapshot snapshot = start_snapshot(options.show ? nullptr : surroundings.snapshot_file,
                                           working_copy, clone->turn_file);
  if (snapshot.refused) {
    say(std::string("can't write snapshot ") + snapshot.path);
    return 1;
  }
  const std::optional<Target> target = resolve_target(git, *clone);
  if (!target) {
    discard_snapshot(snapshot);
    return 1;
  }
  const std::string for_commit =
      options.for_commit.empty() ? std::string() : resolve_for_commit(git, options);
  if (!options.for_commit.empty() && for_commit.empty()) {
    discard_snapshot(snapshot);
    return 1;
  }
  const std::string nonce = random_nonce();
  const Run run{git,
                *target,
                options,
                nonce,
                "refs/bumpbuild/" + nonce,
                for_commit,
                options.show ? "refs/bumpbuild/" + nonce + "-for/records"
                             : "refs/bumpbuild/record/" + target->branch + "/records"};
  Bump bump;
  if (options.show) {
    return show_bump(run, bump) && print_line(options, bump, "found") ? 0 : 1;
  }
  // The turn is held from the look at the clone's header through the backoff, so that the runs
  // of one clone back off as one, to the clone's update, so that the clone ends at its last push.
  const std::optional<FileLock> turn = take_turn(run);
  const bool free = turn && header_is_free(git, *target);
  const Try outcome = free ? try_until_pushed(run, bump) : Try::kFailed;
  if (free) {
    drop_own_refs(run);
  }
  // A bump found in the record leaves the clone as a run that pushed nothing.
  const bool followed =
      outcome == Try::kFound || (outcome == Try::kPushed && follow_push(git, *target, bump.pushed));
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
      say((outcome == Try::kPushed ? "pushed " : "found ") + bump.pushed.commit +
          ", but can't write snapshot " + snapshot.path);
    }
    return 1;
  }
  return print_line(options, bump, outcome == Try::kPushed ? "pushed" : "found") ? 0 : 1;
}
