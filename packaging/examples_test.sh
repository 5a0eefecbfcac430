#!/usr/bin/env bash
# The README's example files of "Your own data" (an Amazon listings excerpt and the competitor
# template) and the template `make release` ships: the README's template is the shipped file, and
# each of the three imports cleanly with `import --dry-run`, every row of it added.
#   examples_test.sh PROGRAM README TEMPLATE
set -uo pipefail
program=$1
readme=$2
template=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Writes the code blocks of the README's "Your own data" section to $work/block-1, -2, ...
awk -v dir="$work" '/^## / { on = ($0 == "## Your own data") } on && /^```/ { inside = !inside;
  if (inside) { n++; file = dir "/block-" n; printf "" > file }; next }
  on && inside { print > file }' "$readme"

failed=0
not_ok() { echo "not ok: $*"; failed=$((failed + 1)); }

if ! cmp -s <(tr -d '\r' <"$template") "$work/block-2"; then
  not_ok "the README's template is not $template: $(diff <(tr -d '\r' <"$template") "$work/block-2")"
fi
# Each file, its kind and rows.
cases=(
  "$work/block-1|Amazon listings|3"
  "$work/block-2|competitor prices|2"
  "$template|competitor prices|2"
)
for case in "${cases[@]}"; do
  IFS='|' read -r file kind rows <<<"$case"
  out=$("$program" import --data "$work/data" --dry-run "$file" 2>&1)
  want="$file (dry run, nothing written): $kind, $rows rows read: $rows added, 0 updated, 0 unchanged, 0 rejected"
  if grep -qxF "$want" <<<"$out"; then echo "ok: $file"; else not_ok "$file gave: $out"; fi
done
[[ ! -e $work/data ]] || not_ok "a dry run made the data folder"
((failed == 0))
