#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#endif

namespace {

TEST(WindowsCommandLine, QuotesWhatCommandLineToArgvWWouldSplitOrTakeApart) {
  EXPECT_EQ(windows_command_line({L"git", LR"(C:\dir\)", LR"(a\\b)"}), LR"(git C:\dir\ a\\b)");
  EXPECT_EQ(windows_command_line({L"", L"two words", L"tab\there"}),
            L"\"\" \"two words\" \"tab\there\"");
  // The backslashes before a quote are doubled, also before the closing one, and only there.
  EXPECT_EQ(windows_command_line({LR"(say "hi")", LR"(a\"b)", LR"(a\\"b)"}),
            LR"("say \"hi\"" "a\\\"b" "a\\\\\"b")");
  EXPECT_EQ(windows_command_line({LR"(C:\my dir\)", LR"(\\host\a b\\)"}),
            LR"("C:\my dir\\" "\\host\a b\\\\")");
}

TEST(ChildProcess, AMissingProgramIsNotStarted) {
  ProcessOptions options;
  options.arguments = {"bumpbuild-test-no-such-program"};
  options.timeout_ms = 10'000;
  ChildProcess child;
  EXPECT_FALSE(child.start(options));
  EXPECT_EQ(child.wait(), kProcessKilled);
}

#ifndef _WIN32

// Runs `arguments` with the environment overrides; returns its standard output.
std::string output_of(const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment) {
  ProcessOptions options;
  options.arguments = arguments;
  options.environment = environment;
  options.output = create_scratch_file();
  options.timeout_ms = 30'000;
  ChildProcess child;
  EXPECT_TRUE(child.start(options));
  EXPECT_EQ(child.wait(), 0);
  std::string text;
  char block[4096];
  std::ptrdiff_t count = rewind_file(options.output) ? 1 : 0;
  while (count > 0 && (count = read_file(options.output, block, sizeof block)) > 0) {
    text.append(block, static_cast<std::size_t>(count));
  }
  close_file(options.output);
  return text;
}

TEST(ChildProcess, GetsItsArgumentsExactly) {
  EXPECT_EQ(output_of({"sh", "-c", R"(printf '[%s]' "$@")", "sh", "two words", "", R"(say "hi")",
                       R"(back\slash)", "*", "$HOME", " "},
                      {}),
            R"([two words][][say "hi"][back\slash][*][$HOME][ ])");
}

TEST(ChildProcess, SeesTheOverridesInPlaceOfTheVariablesTheyName) {
  ASSERT_EQ(::setenv("PROCESS_TEST_SET", "old", 1), 0);
  ASSERT_EQ(::setenv("PROCESS_TEST_EMPTIED", "old", 1), 0);
  ASSERT_EQ(::setenv("PROCESS_TEST_KEPT", "kept", 1), 0);
  // env prints the environment as the child got it, each entry as often as it was given.
  std::istringstream lines(output_of(
      {"env"}, {"PROCESS_TEST_SET=new", "PROCESS_TEST_EMPTIED=", "PROCESS_TEST_NEW=a=b"}));
  std::vector<std::string> seen;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("PROCESS_TEST_")) {
      seen.push_back(line);
    }
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"PROCESS_TEST_EMPTIED=", "PROCESS_TEST_KEPT=kept",
                                            "PROCESS_TEST_NEW=a=b", "PROCESS_TEST_SET=new"}));
}

TEST(ChildProcess, TheNullDeviceStandsForEveryStreamNotGiven) {
  ProcessOptions options;
  options.arguments = {
      "sh", "-c",
      "for fd in 0 1 2; do [ /dev/fd/$fd -ef /dev/null ] || exit $((fd + 1)); done; exit 7"};
  options.timeout_ms = 30'000;
  ChildProcess child;
  ASSERT_TRUE(child.start(options));
  EXPECT_EQ(child.wait(), 7);
}

// True when every process that holds the write end of the pipe at `read_end` has ended within ten
// seconds: only then does the read end meet the end of the data.
bool writers_ended(int read_end) {
  pollfd readable{read_end, POLLIN, 0};
  char byte = 0;
  return ::poll(&readable, 1, 10'000) == 1 && ::read(read_end, &byte, 1) == 0;
}

TEST(ChildProcess, IsKilledWithEverythingItStartedAtItsTimeoutOrWhenLeft) {
  ProcessOptions options;
  options.arguments = {"sh", "-c", "sleep 30 & echo started; sleep 30"};
  for (const bool waited : {true, false}) {
    int pipe[2] = {-1, -1};
    ASSERT_EQ(::pipe(pipe), 0);
    options.output = pipe[1];
    options.timeout_ms = waited ? 500 : 60'000;
    {
      ChildProcess child;
      ASSERT_TRUE(child.start(options));
      char started[8] = {};
      EXPECT_EQ(::read(pipe[0], started, sizeof started), 8);  // the grandchild runs
      if (waited) {
        EXPECT_EQ(child.wait(), kProcessTimedOut);
      }
    }
    ::close(pipe[1]);
    EXPECT_TRUE(writers_ended(pipe[0])) << waited;
    ::close(pipe[0]);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << waited;  // reaped, no zombie left
    EXPECT_EQ(errno, ECHILD);
  }
}

// A child that writes nothing for its silence bound is killed; one that keeps writing, to its
// output or its errors, runs past it to its end.
TEST(ChildProcess, IsKilledWhenSilentForItsSilenceBound) {
  ProcessOptions options;
  options.timeout_ms = 60'000;
  options.silence_ms = 1000;
  options.output = create_scratch_file();
  options.errors = create_scratch_file();
  for (const char* script :
       {"echo a; sleep 30", "for i in 1 2 3 4 5 6; do echo $i; sleep 0.2; done",
        "for i in 1 2 3 4 5 6; do echo $i >&2; sleep 0.2; done"}) {
    options.arguments = {"sh", "-c", script};
    ChildProcess child;
    ASSERT_TRUE(child.start(options));
    EXPECT_EQ(child.wait(), script[0] == 'e' ? kProcessSilent : 0) << script;
  }
  close_file(options.output);
  close_file(options.errors);
}

#endif

}  // namespace
