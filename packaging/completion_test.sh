#!/usr/bin/env bash
# Sources the bash completion in a plain bash and calls its function on command lines as bash
# would hand them over (the words, and the index of the word under the cursor). The expected
# words come from the program's own help: a subcommand or option the completion lacks fails here.
#   completion_test.sh PROGRAM [COMPLETION_SCRIPT]
set -uo pipefail
program=$1
script=${2:-"$(dirname "${BASH_SOURCE[0]}")/quillon_market_radar.bash-completion"}
# shellcheck source=quillon_market_radar.bash-completion
source "$script" || exit 1

passed=0
failed=0
sorted() { tr ' ' '\n' | sed '/^$/d' | sort | tr '\n' ' '; }
# expect 'WORDS AFTER THE PROGRAM NAME' 'EXPECTED CANDIDATES', in any order: the last word is the
# one being completed (empty after a trailing space).
expect() {
  read -r -a COMP_WORDS <<<"quillon_market_radar $1"
  [[ $1 == *' ' || -z $1 ]] && COMP_WORDS+=('')
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _quillon_market_radar
  local got want
  got=$(sorted <<<"${COMPREPLY[*]}")
  want=$(sorted <<<"$2")
  if [[ $got == "$want" ]]; then passed=$((passed + 1)); else
    failed=$((failed + 1))
    echo "not ok: '$1' gave '$got', want '$want'"
  fi
}

# The entries of a help section, short and long forms apart ("-q,--query QUERY" gives -q --query);
# with `valued`, only the options that take a value, whose entry names its type in capitals. A
# description too long for the entry's line is on a line of its own, which names no entry.
section() {
  awk -v s="$1" -v valued="${2:-}" '$0 == s { on = 1; next } /^$/ { on = 0 }
    on && /^  [^ ]/ && (!valued || $2 ~ /^[A-Z][A-Z0-9_:=]*$/) { gsub(",", " ", $1); printf "%s ", $1 }'
}

help_text=$("$program" --help) || exit 1
subcommands=$(section 'Subcommands:' <<<"$help_text")
[[ -n $subcommands ]] || { echo "not ok: no subcommands in the program's help"; exit 1; }
registered=$(complete -p quillon_market_radar 2>&1)
[[ $registered == 'complete -F _quillon_market_radar quillon_market_radar' ]] ||
  { echo "not ok: registration: $registered"; exit 1; }

# The top level: subcommands (a prefix narrows them), or the program's own options.
expect '' "$subcommands"
expect '-' "$(section 'Options:' <<<"$help_text")"
for command in $subcommands; do
  expect "${command:0:1}" "$(tr ' ' '\n' <<<"$subcommands" | grep "^${command:0:1}")"
done
# Each subcommand's options, no guess for an option's value but a file's name, and the options
# again after it.
for command in $subcommands; do
  sub_help=$("$program" "$command" --help) || exit 1
  options=$(section 'Options:' <<<"$sub_help")
  expect "$command -" "$options"
  paths=$(awk '$2 == "PATH" { printf "%s ", $1 }' <<<"$sub_help")
  folders=$(awk '$2 == "DIR" { printf "%s ", $1 }' <<<"$sub_help")
  for option in $(section 'Options:' valued <<<"$sub_help"); do
    # A file's name is completed as a file's, a folder's as a folder's; every other value is free
    # text.
    if [[ " $paths " == *" $option "* ]]; then
      expect "$command $option /et" "$(compgen -f -- /et)"
    elif [[ " $folders " == *" $option "* ]]; then
      expect "$command $option /etc/s" "$(compgen -d -- /etc/s)"
    else
      expect "$command $option " ''
    fi
    expect "$command $option x -" "$options"
  done
done
# help names one subcommand other than itself, and nothing after it.
expect 'help ' "$(tr ' ' '\n' <<<"$subcommands" | grep -vx help)"
expect 'help ui ' ''

echo "$passed passed, $failed failed"
((failed == 0))
