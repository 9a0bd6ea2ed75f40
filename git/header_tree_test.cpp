#include "git/header_tree.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace {

// A tree as git stores it, the id of its k-th entry (from 1) `id_bytes` bytes of value k.
std::string tree_of(std::initializer_list<const char*> names, std::size_t id_bytes) {
  std::string tree;
  char number = 1;
  for (const char* name : names) {
    tree.append("100644 ").append(name).push_back('\0');
    tree.append(id_bytes, number++);
  }
  return tree;
}

std::string repeated(const char* hex, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) {
    text += hex;
  }
  return text;
}

TEST(EntryId, FindsTheWholeNameOnlyWithEitherIdLength) {
  for (const int id_bytes : {20, 32}) {
    const std::string tree = tree_of({"0a1b ABC", "0a1b ABCD", "0a1b XYZ"}, id_bytes);
    EXPECT_EQ(entry_id(tree, id_bytes, "0a1b ABC"), repeated("01", id_bytes));
    EXPECT_EQ(entry_id(tree, id_bytes, "0a1b ABCD"), repeated("02", id_bytes));
    EXPECT_EQ(entry_id(tree, id_bytes, "0a1b XYZ"), repeated("03", id_bytes));
    EXPECT_EQ(entry_id(tree, id_bytes, "0a1b AB"), "");
    EXPECT_EQ(entry_id(tree, id_bytes, "0a1b"), "");
    // An entry cut short within its id is none.
    EXPECT_EQ(entry_id(tree.substr(0, tree.size() - 1), id_bytes, "0a1b XYZ"), "");
  }
  EXPECT_EQ(entry_id("", 20, "0a1b ABC"), "");
}

}  // namespace
