// The clone's own copy of the header: no run may lose an edit of the user's, and after the push
// the clone is left as the user's next git step needs it.
#ifndef BUMPBUILD_GIT_WORKING_TREE_H_
#define BUMPBUILD_GIT_WORKING_TREE_H_

#include <string>
#include <string_view>

#include "git/git_runner.h"
#include "git/target.h"

// The commit a run pushed, and what it changed.
struct PushedBump {
  std::string tip;     // its parent: the branch's tip it was made on
  std::string commit;  // the commit
  std::string mode;    // the header's mode
  std::string blob;    // the header's blob
};

// Whether the header may be replaced: returns false, having said which file and how to go on,
// when the index holds another header than HEAD, or git (as `git status`, with the index's stat
// information and its line-end rules) finds the working tree's another than the index's that is
// not the one a run wrote there (refs/worktree/bumpbuild-header names it); false, having said
// why, when git cannot tell. True without a working tree.
bool header_is_free(const GitRunner& git, const Target& target);

// Whether `git add` would store the header, stored with CR LF at the tip it replaces, byte for
// byte: git converts its line ends only automatically (text=auto, or core.autocrlf true or input
// where neither text nor eol is set), which leaves a file stored with CR LF as it is, and no other
// attribute changes it on its way in (ident, filter, working-tree-encoding). False also when git
// cannot tell: the header then goes through git's conversions.
bool adds_byte_for_byte(const GitRunner& git, const Target& target);

// The same, from the answer of `git check-attr -z text crlf eol ident filter
// working-tree-encoding -- FILE` and whether core.autocrlf is true or input; false for an answer
// that does not name those six.
bool attributes_add_byte_for_byte(std::string_view attributes, bool autocrlf);

// Brings the clone along after the push of `bump`: the remote-tracking branch (a remote's name)
// to the commit; a clone on the branch at the tip as after a commit and a push there (the branch,
// index and working tree at the commit); a detached HEAD on the branch's line the pushed header
// in its working tree alone (checkout form: smudged, line ends converted), recorded as the run's
// own; any other clone as it stands, with one line on standard error that says so and why.
// Returns false, having said that the bump was pushed, when git or the working tree failed.
bool follow_push(const GitRunner& git, const Target& target, const PushedBump& bump);

#endif  // BUMPBUILD_GIT_WORKING_TREE_H_
