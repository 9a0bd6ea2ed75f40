#include "git/git_runner.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

namespace {

constexpr const char* kBuildIdentityName = "git-bumpbuild";
constexpr const char* kBuildIdentityEmail = "git-bumpbuild@localhost";

// `messages` as a terminal shows them, less the finished meters of git's progress
// ("Receiving objects: 100% (5/5), done."), which --progress asks for so that a live transfer is
// never silent: of each line, what follows its last CR.
std::string without_progress(const std::string& messages) {
  std::string kept;
  std::size_t at = 0;
  while (at < messages.size()) {
    std::size_t end = messages.find('\n', at);
    end = end == std::string::npos ? messages.size() : end + 1;
    std::string_view line = std::string_view(messages).substr(at, end - at);
    at = end;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    const std::size_t cr = line.rfind('\r');
    line.remove_prefix(cr == std::string_view::npos ? 0 : cr + 1);
    std::string_view text = line;
    while (!text.empty() && text.back() == ' ') {
      text.remove_suffix(1);
    }
    if (!text.ends_with(", done.")) {
      kept.append(line).push_back('\n');
    }
  }
  return kept;
}

}  // namespace

GitRunner::GitRunner(std::int64_t timeout_seconds, std::int64_t answer_seconds)
    : timeout_seconds_(timeout_seconds),
      answer_seconds_(answer_seconds),
      start_(std::chrono::steady_clock::now()),
      deadline_(start_ + std::chrono::seconds(timeout_seconds)),
      // Nothing may wait for a person: no terminal prompt, no askpass program (an empty
      // GIT_ASKPASS stops git looking for one), no Git Credential Manager dialog.
      environment_{"GIT_TERMINAL_PROMPT=0",
                   "GIT_ASKPASS=", "SSH_ASKPASS=", "SSH_ASKPASS_REQUIRE=never",
                   "GCM_INTERACTIVE=never"} {}

void GitRunner::add_environment(std::string entry) {
  environment_.push_back(std::move(entry));
}

GitResult GitRunner::run(const std::vector<std::string>& arguments, FileHandle input,
                         FileHandle output, const std::vector<std::string>& extra) const {
  ProcessOptions process;
  process.arguments = {"git", "-c", "credential.interactive=never"};
  process.arguments.insert(process.arguments.end(), arguments.begin(), arguments.end());
  process.environment = environment_;
  process.environment.insert(process.environment.end(), extra.begin(), extra.end());
  process.input = input;
  GitResult result;
  const FileHandle captured = output == kNoFile ? create_scratch_file() : kNoFile;
  const FileHandle errors = create_scratch_file();
  if (errors == kNoFile || (output == kNoFile && captured == kNoFile)) {
    result.not_run = "can't create a temporary file for git's output";
  } else {
    process.output = output == kNoFile ? captured : output;
    process.errors = errors;
    process.timeout_ms = milliseconds_left();
    process.silence_ms = answer_seconds_ * 1000;
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

GitResult GitRunner::run_fed(const std::vector<std::string>& arguments, std::string_view input,
                             const std::vector<std::string>& extra) const {
  const FileHandle fed = create_scratch_file();
  if (fed == kNoFile || !write_file(fed, input.data(), input.size()) || !rewind_file(fed)) {
    close_file(fed);
    GitResult result;
    result.not_run = "can't write git's input to a temporary file";
    return result;
  }
  GitResult result = run(arguments, fed, kNoFile, extra);
  close_file(fed);
  return result;
}

void GitRunner::say_failed(const std::string& what, const GitResult& result,
                           const std::string& remote, const std::string& waited_for) const {
  if (!result.not_run.empty()) {
    say(result.not_run);
    return;
  }
  const std::string answer_bound = std::to_string(answer_seconds_);
  if (result.status == kProcessSilent) {
    say(remote.empty() ? what + ": git said nothing for " + answer_bound +
                             " seconds (--answer-timeout " + answer_bound + ")"
                       : remote + " did not answer: git heard nothing for " + answer_bound +
                             " seconds while it waited for " + waited_for + " (--answer-timeout " +
                             answer_bound + ")");
    return;
  }
  if (result.status == kProcessTimedOut) {
    say(remote.empty()
            ? what + ": " + gave_up()
            : remote + " did not answer in time: git waited for " + waited_for + "; " + gave_up());
    return;
  }
  say(what);
  std::string messages = without_progress(result.errors);
  while (!messages.empty() && messages.back() == '\n') {
    messages.pop_back();
  }
  if (!messages.empty()) {
    (void)std::fprintf(stderr, "%s\n", messages.c_str());
  }
}

std::int64_t GitRunner::milliseconds_left() const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline_ - std::chrono::steady_clock::now())
                        .count();
  return std::max<std::int64_t>(left, 0);
}

std::string GitRunner::gave_up() const {
  const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start_)
                          .count() /
                      100;
  return "gave up after " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
         " seconds and " + std::to_string(tries_) + (tries_ == 1 ? " try" : " tries") +
         " (--timeout " + std::to_string(timeout_seconds_) + ")";
}

void complete_environment(GitRunner& git, bool ssh_command_chosen) {
  if (!ssh_command_chosen) {
    git.add_environment("GIT_SSH_COMMAND=ssh -o BatchMode=yes");
  }
  // Most CI runners know no identity for authors or committers.
  for (const char* role : {"AUTHOR", "COMMITTER"}) {
    if (git.run({"var", std::string("GIT_") + role + "_IDENT"}).status != 0) {
      git.add_environment(std::string("GIT_") + role + "_NAME=" + kBuildIdentityName);
      git.add_environment(std::string("GIT_") + role + "_EMAIL=" + kBuildIdentityEmail);
    }
  }
}

void say(const std::string& message) {
  (void)std::fprintf(stderr, "git-bumpbuild: %s\n", message.c_str());
}

std::string without_credentials(const std::string& url) {
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) {
    return url;
  }
  const std::size_t host_start = scheme_end + 3;
  const std::size_t at = url.find('@', host_start);
  if (at == std::string::npos || at > url.find('/', host_start)) {
    return url;
  }
  return url.substr(0, host_start) + url.substr(at + 1);
}

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

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
