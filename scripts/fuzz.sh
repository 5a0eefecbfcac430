#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer, and runs
# each for a bounded time on a copy of its seed corpus. A finding leaves its input in
# build/fuzz/findings/ and fails the run.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 60)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds=${1:-60}
build="$ROOT/build/fuzz"
fuzz_src="$ROOT/apps/quillon_market_radar/tests/fuzz"

cmake -S "$ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DQMR_BUILD_TESTS=OFF -DQMR_FUZZ=ON -DQMR_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
mapfile -t targets < <(sed -n 's/^add_qmr_fuzzer(\([a-z_]*\) .*/\1/p' "$fuzz_src/CMakeLists.txt")
cmake --build "$build" -j "$JOBS" --target "${targets[@]}" >/dev/null

mkdir -p "$build/findings"
status=0
for target in "${targets[@]}"; do
  corpus_name=${target%_fuzz}
  work="$build/corpus/$corpus_name"
  mkdir -p "$work"
  echo "== $target: ${seconds}s"
  if ! "$build/apps/quillon_market_radar/tests/fuzz/$target" -max_total_time="$seconds" \
      -print_final_stats=1 -artifact_prefix="$build/findings/$target-" -timeout=10 -rss_limit_mb=2048 \
      "$work" "$fuzz_src/corpus/$corpus_name" 2>"$build/$target.log"; then
    status=1
    tail -n 40 "$build/$target.log"
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/$target.log" || true
  grep -E '^#[0-9]+ *DONE' "$build/$target.log" || true
done
exit $status
