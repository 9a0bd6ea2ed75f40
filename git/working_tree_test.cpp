#include "git/working_tree.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// check-attr's answer for inc/version.h: text, crlf, eol, ident, filter, working-tree-encoding.
std::string answer(const char* text, const char* crlf = "unspecified",
                   const char* eol = "unspecified", const char* ident = "unspecified",
                   const char* filter = "unspecified", const char* encoding = "unspecified") {
  std::string out;
  const char* names[] = {"text", "crlf", "eol", "ident", "filter", "working-tree-encoding"};
  const char* values[] = {text, crlf, eol, ident, filter, encoding};
  for (int i = 0; i < 6; ++i) {
    out.append("inc/version.h").push_back('\0');
    out.append(names[i]).push_back('\0');
    out.append(values[i]).push_back('\0');
  }
  return out;
}

TEST(AttributesAddByteForByte, OnlyWhereGitConvertsLineEndsAutomaticallyAndNothingElse) {
  // Automatic: text=auto (whatever eol), its old name crlf=auto, or core.autocrlf alone.
  EXPECT_TRUE(attributes_add_byte_for_byte(answer("auto"), false));
  EXPECT_TRUE(attributes_add_byte_for_byte(answer("auto", "unspecified", "crlf"), false));
  EXPECT_TRUE(attributes_add_byte_for_byte(answer("unspecified", "auto"), false));
  EXPECT_TRUE(attributes_add_byte_for_byte(answer("unspecified"), true));
  EXPECT_TRUE(attributes_add_byte_for_byte(
      answer("auto", "unspecified", "unspecified", "unset", "unset"), true));
  // No conversion, or one that always converts (text, eol, crlf=input), stays git's conversion.
  EXPECT_FALSE(attributes_add_byte_for_byte(answer("unspecified"), false));
  EXPECT_FALSE(attributes_add_byte_for_byte(answer("set"), true));
  EXPECT_FALSE(attributes_add_byte_for_byte(answer("unset"), true));
  EXPECT_FALSE(attributes_add_byte_for_byte(answer("unspecified", "input"), true));
  EXPECT_FALSE(attributes_add_byte_for_byte(answer("unspecified", "unspecified", "crlf"), true));
  // Another filter on the way in.
  EXPECT_FALSE(
      attributes_add_byte_for_byte(answer("auto", "unspecified", "unspecified", "set"), true));
  EXPECT_FALSE(attributes_add_byte_for_byte(
      answer("auto", "unspecified", "unspecified", "unspecified", "lfs"), true));
  EXPECT_FALSE(attributes_add_byte_for_byte(
      answer("auto", "unspecified", "unspecified", "unspecified", "unspecified", "UTF-16"), true));
  // An answer that names fewer attributes is no answer.
  const std::string whole = answer("auto");
  EXPECT_FALSE(attributes_add_byte_for_byte(whole.substr(0, whole.size() / 2), true));
  EXPECT_FALSE(attributes_add_byte_for_byte("", true));
}

}  // namespace
