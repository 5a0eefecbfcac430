#!/usr/bin/env bash
# Checks the Debian package that `make package` built, and the install rules it shares with
# `make install`:
#   - lintian finds no error and no warning (informational tags are printed, not fatal);
#   - the program unpacked from it runs: --version, test, one tool-server session;
#   - the man page renders without warnings and the user unit passes systemd-analyze verify;
#   - `make install DESTDIR=… PREFIX=/usr` installs exactly the package's files, and an install
#     to another PREFIX the same files below it.
#   scripts/check-package.sh [PACKAGE_BUILD_DIR]   (default build/package)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$ROOT"
package_dir=${1:-build/package}

debs=("$package_dir"/quillon-market-radar_*_*.deb)
if ((${#debs[@]} != 1)) || [[ ! -f ${debs[0]} ]]; then
  echo "check-package: expected one quillon-market-radar_*.deb in $package_dir" >&2
  exit 1
fi
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "check-package: $*" >&2
  exit 1
}

echo "== $deb"
echo "size: $(stat -c %s "$deb") bytes, Installed-Size: $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"

echo "== lintian"
lintian --fail-on error,warning --display-info "$deb"
echo "lintian: no error, no warning"

echo "== the unpacked program"
dpkg-deb -x "$deb" "$work/deb"
program="$work/deb/usr/bin/quillon_market_radar"
[[ $("$program" --version) == "quillon_market_radar $version" ]] || fail "--version does not say $version"
NO_COLOR=1 "$program" test >"$work/test.out" || fail "test ended with status $?"
grep -q '^\[SUCCESS\] All 10 Services Verified' "$work/test.out" || fail "test: $(cat "$work/test.out")"

printf '%s\n' \
  '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{}}' \
  '{"jsonrpc":"2.0","id":2,"method":"tools/list"}' \
  '{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"market_search_products","arguments":{"query":"noise"}}}' |
  "$program" mcp >"$work/mcp.out"
mapfile -t replies <"$work/mcp.out"
((${#replies[@]} == 3)) || fail "mcp: ${#replies[@]} replies to 3 requests"
[[ ${replies[0]} == *'"id":1,'*'"serverInfo":{"name":"quillon_market_radar","version":"'"$version"'"}'* ]] ||
  fail "mcp initialize: ${replies[0]}"
for tool in market_search_products market_review_defects market_jan_aushadhi; do
  [[ ${replies[1]} == *'"id":2,'*"\"name\":\"$tool\""* ]] || fail "mcp tools/list lacks $tool: ${replies[1]}"
done
[[ ${replies[2]} == *'"id":3,'*'B09G9FPHY6'* ]] || fail "mcp tools/call: ${replies[2]}"
echo "--version, test and an mcp session (initialize, tools/list, tools/call): ok"

# Dynamic against Debian's shared libraries, hardened (PIE, full RELRO, bindnow), stripped.
headers=$(readelf -h -l -d -S -W "$program")
grep -q 'Type: *DYN' <<<"$headers" || fail "not a position-independent executable"
grep -q 'GNU_RELRO' <<<"$headers" || fail "no RELRO segment"
grep -q 'BIND_NOW' <<<"$headers" || fail "not linked with -z now"
grep -q 'NEEDED.*libicuuc\.so' <<<"$headers" || fail "ICU is not linked dynamically"
! grep -q ' \.symtab ' <<<"$headers" || fail "not stripped"
echo "dynamic, PIE, RELRO, BIND_NOW, stripped: ok"

man_page="$work/deb/usr/share/man/man1/quillon_market_radar.1.gz"
man_warnings=$(MANWIDTH=80 man --warnings -l "$man_page" 2>&1 >/dev/null)
[[ -z $man_warnings ]] || fail "man page: $man_warnings"
echo "man page renders without warnings: ok"

echo "== make install"
package_files() { dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "/", $6); print $6 }' | sort; }
installed_files() { (cd "$1" && find . ! -type d | sed 's|^\.||' | sort); }

# Into another prefix, where the unit names the program by that prefix's path.
prefix="$work/prefix"
make -s install PACKAGE_DIR="$package_dir" PREFIX="$prefix" >/dev/null
diff <(package_files | sed 's|^/usr/|/|') <(installed_files "$prefix") ||
  fail "make install PREFIX=$prefix: files differ from the package's (< package, > installed)"
unit="$prefix/share/systemd/user/quillon-market-radar.service"
grep -qx "ExecStart=$prefix/bin/quillon_market_radar daemon --port 7577" "$unit" ||
  fail "the unit does not start $prefix/bin/quillon_market_radar"
mkdir -m 700 "$work/runtime"
# verify runs the program's path and `man` on the Documentation= entry.
verify=$(XDG_RUNTIME_DIR="$work/runtime" MANPATH="$prefix/share/man" \
  systemd-analyze verify --user "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
[[ -z $verify ]] || fail "systemd-analyze verify: $verify"
echo "PREFIX=$prefix: the package's files; systemd-analyze verify --user: ok"

# With DESTDIR, as a packager stages it; this leaves the build directory configured for /usr.
make -s install PACKAGE_DIR="$package_dir" DESTDIR="$work/destdir" PREFIX=/usr >/dev/null
diff <(package_files) <(installed_files "$work/destdir") ||
  fail "make install DESTDIR: files differ from the package's (< package, > installed)"
echo "DESTDIR=… PREFIX=/usr: the package's files: ok"

echo "== files"
package_files
