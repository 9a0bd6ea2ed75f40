# bash completion for git-bumpbuild, and for `git bumpbuild` once git's own completion is loaded
# (it calls _git_bumpbuild): offers the options, the remotes, and the component prefixes of the
# header that bumpbuild.file names in the working tree.

_git_bumpbuild() {
  COMPREPLY=()
  local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD - 1]}
  case "$previous" in
    --remote) COMPREPLY=($(compgen -W "$(git remote 2>/dev/null)" -- "$current")); return ;;
    --branch | --message | --timeout | --answer-timeout) return ;;
    --file) COMPREPLY=($(compgen -f -- "$current")); return ;;
  esac
  if [[ "$current" == -* ]]; then
    COMPREPLY=($(compgen -W "--remote --branch --file --message --timeout --answer-timeout --help" -- "$current"))
    return
  fi
  local top file
  top=$(git rev-parse --show-toplevel 2>/dev/null) || return
  file=$(git config bumpbuild.file 2>/dev/null) || return
  [ -r "$top/$file" ] || return
  COMPREPLY=($(compgen -W "$(LC_ALL=C grep -aoE '\b[A-Za-z0-9_]+_VERSION\b' -- "$top/$file" |
    LC_ALL=C sed -e 's/_STRING_VERSION$//' -e 's/_VERSION$//' | LC_ALL=C sort -u)" -- "$current"))
}
complete -F _git_bumpbuild git-bumpbuild
