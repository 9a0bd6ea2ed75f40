#include "git/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Reads `words` as git-bumpbuild's arguments after its name.
ArgumentsResult read(std::vector<const char*> words, RemoteBumpOptions& options,
                     std::string& error) {
  words.insert(words.begin(), "git-bumpbuild");
  return read_remote_bump_arguments(static_cast<int>(words.size()), words.data(), options, error);
}

TEST(RemoteBumpArguments, TakesOptionsInBothFormsAndExactlyOnePrefix) {
  RemoteBumpOptions options;
  std::string error;
  ASSERT_EQ(read({"--file=inc/version h", "--remote", "up", "--timeout", "7", "--answer-timeout=3",
                  "--for=HEAD~1", "--show", "--", "-ABC"},
                 options, error),
            ArgumentsResult::kRun)
      << error;
  EXPECT_EQ(options.file, "inc/version h");
  EXPECT_EQ(options.remote, "up");
  EXPECT_EQ(options.timeout_seconds, 7);
  EXPECT_EQ(options.answer_seconds, 3);
  EXPECT_EQ(options.for_commit, "HEAD~1");
  EXPECT_TRUE(options.show);
  EXPECT_EQ(options.prefix, "-ABC");
  EXPECT_EQ(options.branch, "");  // left for the configuration

  for (const std::vector<const char*>& wrong : {std::vector<const char*>{},
                                                {"ABC", "XYZ"},
                                                {"--branch"},
                                                {"--timeout", "0", "ABC"},
                                                {"--timeout=1s", "ABC"},
                                                {"--answer-timeout", "0", "ABC"},
                                                {"--for=", "ABC"},
                                                {"--fiel", "x", "ABC"}}) {
    RemoteBumpOptions ignored;
    error.clear();
    EXPECT_EQ(read(wrong, ignored, error), ArgumentsResult::kError) << wrong.size();
    EXPECT_NE(error, "");
  }
  error.clear();
  EXPECT_EQ(read({"ABC", "--help"}, options, error), ArgumentsResult::kHelp);
}

}  // namespace
