#!/usr/bin/env bash
# Sources the bash completion in a plain bash and calls its function on command lines as bash
# would hand them over (the words, and the index of the word under the cursor).
#   completion_test.sh [COMPLETION_SCRIPT]
set -uo pipefail
script=${1:-"$(dirname "${BASH_SOURCE[0]}")/quillon_market_radar.bash-completion"}
# shellcheck source=quillon_market_radar.bash-completion
source "$script" || exit 1

passed=0
failed=0
# expect 'WORDS AFTER THE PROGRAM NAME' 'EXPECTED CANDIDATES': the last word is the one being
# completed (empty after a trailing space).
expect() {
  local line=$1 want=$2
  read -r -a COMP_WORDS <<<"quillon_market_radar $line"
  [[ $line == *' ' || -z $line ]] && COMP_WORDS+=('')
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _quillon_market_radar
  local got="${COMPREPLY[*]}"
  if [[ $got == "$want" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "not ok: '$line' gave '$got', want '$want'"
  fi
}

registered=$(complete -p quillon_market_radar 2>&1)
if [[ $registered == 'complete -F _quillon_market_radar quillon_market_radar' ]]; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "not ok: registration: $registered"
fi

# The top level: subcommands, or the program's own options.
expect '' 'ui prices daemon mcp test help'
expect 'p' 'prices'
expect 'd' 'daemon'
expect '-' '-h --help -V --version'
expect '--v' '--version'
# Each subcommand's options, and no guess for an option's value.
expect 'ui -' '-p --port -h --help'
expect 'daemon --p' '--port'
expect 'ui -p ' ''
expect 'daemon --port ' ''
expect 'prices ' '-q --query -h --help'
expect 'prices -q ' ''
expect 'prices --query ui -' '-q --query -h --help'
expect 'mcp -' '-h --help'
expect 'test ' '-h --help'
# help names one subcommand.
expect 'help ' 'ui prices daemon mcp test'
expect 'help t' 'test'
expect 'help -' '-h --help'
expect 'help ui ' ''

echo "$passed passed, $failed failed"
((failed == 0))
