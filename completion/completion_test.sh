#!/usr/bin/env bash
# Drives the bash completion for bumpbuild as bash does on TAB: sets COMP_WORDS and COMP_CWORD,
# calls the function that the script registered for bumpbuild, and compares COMPREPLY with the
# prefixes expected from a scratch version file.
# Usage: completion_test.sh COMPLETION_SCRIPT VERSION_FILE
# VERSION_FILE is the path the script was configured with; this test creates and deletes it.
set -uo pipefail
script=$1
version_file=$2

source "$script" || exit 1
registered=$(complete -p bumpbuild) || { echo "FAIL: nothing completes bumpbuild"; exit 1; }
function=$(sed -n 's/.*-F \([^ ]*\) .*/\1/p' <<<"$registered")

failures=0
# check EXPECTED WORD...: completes the last word after the words before it.
check() {
  local expected=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=(unset)
  "$function"
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')
  if [ "$got" != "$expected" ]; then
    echo "FAIL: bumpbuild ${*:2}<TAB> offered [$got], expected [$expected]"
    failures=$((failures + 1))
  fi
}

mkdir -p "$(dirname "$version_file")"
trap 'rm -f "$version_file"' EXIT

# No version file: nothing to offer.
rm -f "$version_file"
check "" bumpbuild ""

printf '%s\r\n' \
  '#define ABC_VERSION 1,0,0,41' \
  '#define ABC_STRING_VERSION "1.0.0.41"' \
  '#define XYZ_STRING_VERSION "2.3.0.7"' \
  '#define AB_VERSION 3,0,0,1 /* Q_1_VERSION 1 */' \
  '#define LIB_VERSION_MAJOR 4' \
  '#define _VERSION 5' \
  '#define _STRING_VERSION "6"' >"$version_file"
# Prefixes come from either key form, deduplicated, from anywhere in a line; a word that only
# starts with a key (LIB_VERSION_MAJOR) or has nothing before it names no component.
check "AB ABC Q_1 XYZ" bumpbuild ""
check "AB ABC" bumpbuild "AB"
check "ABC" bumpbuild "ABC"
check "XYZ" bumpbuild "X"
check "" bumpbuild "LIB"
check "" bumpbuild "abc"
# bumpbuild takes one argument: nothing after it.
check "" bumpbuild ABC ""
check "" bumpbuild ABC "X"

if [ "$failures" -ne 0 ]; then
  echo "$failures completion case(s) failed"
  exit 1
fi
echo "all completion cases passed"
