// How long a run waits by default before it gives up, in both programs: bumpbuild for the version
// file's lock (BUMPBUILD_LOCK_WAIT), git-bumpbuild for its whole run (--timeout): ten minutes.
#ifndef BUMPBUILD_UPDATE_DEFAULT_WAIT_H_
#define BUMPBUILD_UPDATE_DEFAULT_WAIT_H_

inline constexpr int kDefaultWaitSeconds = 600;

#endif  // BUMPBUILD_UPDATE_DEFAULT_WAIT_H_
