#include "git/arguments.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

const char* const kRemoteBumpUsage =
    "usage: git bumpbuild [--remote NAME] [--branch NAME] [--file PATH] [--message TEXT]\n"
    "                     [--timeout SECONDS] [--answer-timeout SECONDS] [--for REV] [--show]\n"
    "                     PREFIX\n"
    "\n"
    "Advances PREFIX's build number in a version header kept in a git repository, exactly as\n"
    "bumpbuild does, and pushes that one change as a commit of its own onto the remote's branch,\n"
    "so that runs on any number of machines each get a number of their own. Run it anywhere\n"
    "inside a clone.\n"
    "\n"
    "  --remote NAME      the remote to push to (git config bumpbuild.remote; default origin)\n"
    "  --branch NAME      the branch that holds the header (git config bumpbuild.branch;\n"
    "                     default the remote's default branch)\n"
    "  --file PATH        the header's path from the top of the repository\n"
    "                     (git config bumpbuild.file; required)\n"
    "  --message TEXT     the commit message (default \"PREFIX VERSION [skip ci]\")\n"
    "  --timeout SECONDS  give up after this long (default 600)\n"
    "  --answer-timeout SECONDS\n"
    "                     give up on a remote that says nothing for this long (default 60)\n"
    "  --for REV          one number per commit: answer with the bump already made for REV,\n"
    "                     else bump and record it for REV\n"
    "  --show             print the line for the branch's tip (with --for: for REV's bump);\n"
    "                     push nothing\n"
    "  -h, --help         show this text\n"
    "\n"
    "On success it prints \"PREFIX VERSION COMMIT\" and exits with 0; otherwise it says why on\n"
    "standard error and exits with 1. The manual page git-bumpbuild(1) tells the rest: the\n"
    "working tree's copy, BUMPBUILD_SNAPSHOT, prompts, identity and what a failure leaves.\n";

namespace {

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
    } else if (auto for_commit = option_value("--for", argc, argv, index, error)) {
      options.for_commit = *for_commit;
      if (error.empty() && options.for_commit.empty()) {
        error = "--for needs a commit";
      }
    } else if (argument == "--show") {
      options.show = true;
    } else if (auto timeout = option_value("--timeout", argc, argv, index, error)) {
      if (error.empty() && !read_seconds(*timeout, options.timeout_seconds)) {
        error = "--timeout needs a whole number of seconds, at least 1: " + *timeout;
      }
    } else if (auto answer = option_value("--answer-timeout", argc, argv, index, error)) {
      if (error.empty() && !read_seconds(*answer, options.answer_seconds)) {
        error = "--answer-timeout needs a whole number of seconds, at least 1: " + *answer;
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
