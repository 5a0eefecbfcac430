#!/usr/bin/env bash
# CI for the Windows build: the program and its tests cross-built with mingw-w64 (ICU from
# Debian's source, scripts/mingw-root.sh), the .exe checked with file(1) and objdump (Windows' own
# DLLs only) and held to its stripped size; then under Wine: the code-point test against the
# Linux build's line, the unit tests, and the process tests of the console, the tool server and
# the dashboard (its load tests included) with the real MCP clients. The browser test is the
# Linux build's: it would drive the same page from a browser of the build machine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

bash "$ROOT/scripts/install-deps.sh" --windows
started=$SECONDS

program=$(program_of windows)
work=$(mktemp -d)
trap 'rm -rf "$work"; stop_wine' EXIT

# Wine first: the build's test discovery runs each test program under it.
start_wine
echo "wine prefix ready in $((SECONDS - started)) s"

configure_arch windows
build_arch windows
echo "windows built in $((SECONDS - started)) s"

check_windows_exe "$program"
strip_program windows "$work/program.exe"
check_size "$work/program.exe"
echo "windows: $(file -b "$program" | cut -d, -f1), imports $(objdump -p "$program" |
  sed -n 's/^\s*DLL Name: //p' | paste -sd ' '); $(stat -c %s "$work/program.exe") bytes stripped"
run_on windows "$program" --version

# The code points: the Linux stand-alone build's line is the reference.
configure_arch x86_64
build_arch x86_64 unicode_digest_standalone
linux_digest=$("$(build_dir x86_64)/apps/quillon_market_radar/tests/unicode_digest_standalone")
windows_digest=$(run_on windows "$(build_dir windows)/apps/quillon_market_radar/tests/unicode_digest_standalone.exe")
# The line comes from printf, whose standard output is in text mode there: CR LF.
windows_digest=${windows_digest%$'\r'}
if [[ $windows_digest != "$linux_digest" ]]; then
  printf 'the code-point digests differ:\n  linux:   %s\n  windows: %s\n' \
    "$linux_digest" "$windows_digest" >&2
  exit 1
fi
echo "code points on Windows as on Linux: $windows_digest"

# Not the browser's page nor the inspector's protocol shapes: both are the Linux run's.
ctest --test-dir "$(build_dir windows)" --output-on-failure -j "$JOBS" \
  -E '^(e2e_browser|e2e_official_cli)$'
echo "windows build and checks took $((SECONDS - started)) s"
