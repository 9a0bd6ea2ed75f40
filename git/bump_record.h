// The record of the bumps made for commits (--for): one branch beside the bumped one,
// refs/heads/bumpbuild-for/BRANCH/records, pushed in one atomic push with each bump it records,
// so that a bump and its record land together or not at all. Its tree holds, for each prefix and
// commit, the file "XX/REST PREFIX" (XX the commit's first two hex digits, REST the others): the
// bump's commit on its first line, the header that bump's run left after it. A lookup reads one
// small tree whatever the number of bumps; a fetch or push of the next commit carries the trees
// that changed, and one that starts from nothing at most 64 commits (the record starts a new line
// of commits after 64), never the whole history; shallow and single-branch clones fetch it like any
// branch, and servers that hide refs outside refs/heads/ show it.
#ifndef BUMPBUILD_GIT_BUMP_RECORD_H_
#define BUMPBUILD_GIT_BUMP_RECORD_H_

#include <string>
#include <vector>

#include "git/git_runner.h"
#include "git/header_tree.h"

// The record's branch for bumps of `branch`, as a ref.
std::string record_ref(const std::string& branch);

// Whether `prefix` can name a record: it holds no "/" and no line end.
bool prefix_fits_record(const std::string& prefix);

// What a record at one commit holds for one prefix and commit, and what its next commit needs.
struct Record {
  std::string commit;  // the record's commit; empty when there is none yet
  std::string tree;    // its tree
  int line = 0;        // how many commits of the record come before it in its line
  bool found = false;  // whether the record holds a bump for the commit asked about
  std::string bump;    // that bump's commit
  std::string header;  // the header its run left
};

// The objects read_record reads the record at `ref` from, for `for_commit` (its full hex id):
// the record's commit and its tree of the entries of commits with the same first two digits.
std::vector<std::string> record_objects(const std::string& ref, const std::string& for_commit);

// Reads, for `prefix` and `for_commit`, the record from `objects`, git's answers to the names of
// record_objects in their order (no commit: an empty record), and the entry's file, where it has
// one, with one `git cat-file`. Returns false, having said why, when git failed or the record
// cannot be read.
bool read_record(const GitRunner& git, const std::vector<BatchObject>& objects,
                 const std::string& for_commit, const std::string& prefix, Record& record);

// Makes the record's next commit, with one `git fast-import` that leaves it at `scratch_ref`:
// `record` with the bump `bump` of `prefix`, whose run left `header`, for the commit
// `for_commit`; its parent is the record's commit, unless that ends a line of 64 (or there is
// none): then it has none. Returns it, or nothing, having said why, when git failed.
std::string record_bump(const GitRunner& git, const Record& record, const std::string& scratch_ref,
                        const std::string& for_commit, const std::string& prefix,
                        const std::string& bump, const std::string& header);

#endif  // BUMPBUILD_GIT_BUMP_RECORD_H_
