// The header at a branch's fetched tip, read with one git process, and the tree of a commit that
// changes only the header.
#ifndef BUMPBUILD_GIT_HEADER_TREE_H_
#define BUMPBUILD_GIT_HEADER_TREE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "git/git_runner.h"

// What a commit that changes only the header at a tip needs to know of that tip.
struct TipHeader {
  std::string tip;              // the commit
  std::string mode;             // the header's mode in its tree
  std::string header;           // its bytes as a checkout writes them: smudged, line ends converted
  std::size_t stored_size = 0;  // its size as stored
  // The trees from the top down to the header's directory, each as git stores it.
  std::vector<std::string> trees;
};

enum class TipRead { kRead, kNoFile, kFailed };

// One answer of `git cat-file --batch`: an object, or none by the name asked for.
struct BatchObject {
  bool found = false;
  std::string id;
  std::string type;
  std::string bytes;
  std::size_t size = 0;  // as git gives it: with --filters, the size before the filter
};

// Reads the commit at `ref`, its trees along `file` (from the top of the repository, "/" between
// its parts) and the header there, with one `git cat-file --batch --filters` (two gits where the
// path holds white space); and first, in the same git, the objects named in `also` (names
// without white space), whose answers it appends to `also_read` (given whenever `also` names
// any) in their order.
// Returns kNoFile when the tip holds no file at that path; kFailed, having said why, when git
// failed.
TipRead read_tip_header(const GitRunner& git, const std::string& ref, const std::string& file,
                        TipHeader& header, const std::vector<std::string>& also = {},
                        std::vector<BatchObject>* also_read = nullptr);

// The id, in hex, of the entry `name` of `tree` (as git stores it, ids of `id_bytes` bytes);
// empty when it has none.
std::string entry_id(std::string_view tree, std::size_t id_bytes, std::string_view name);

// Writes the trees of the tip with the header at `file` replaced by `blob`, with one
// `git mktree` per directory from the header's up. Returns the top tree, or nothing, having said
// why, when git failed.
std::string tree_with_blob(const GitRunner& git, const TipHeader& tip, const std::string& file,
                           const std::string& blob);

#endif  // BUMPBUILD_GIT_HEADER_TREE_H_
