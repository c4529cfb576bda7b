#!/usr/bin/env bash
# Builds and runs every test of both builds: the host unit tests (plain, then with
# AddressSanitizer and UndefinedBehaviorSanitizer) and the Windows build under Wine, then each
# fuzz target for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=${LAUNCHER_JOBS:-2}
for preset in host host-asan windows-mingw; do
  echo "=== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# The start-up benchmark, once with a single round: only so scripts/bench.sh keeps working.
# No figure is checked; timings are for a quiet machine (docs/performance.md).
echo "=== bench (one round, not a measurement)"
BENCH_WINEPREFIX=$PWD/build/windows-mingw/wineprefix bash scripts/bench.sh --rounds 1 --step-runs 1
# Every fuzz target briefly from its seed corpus; scripts/fuzz.sh with no argument runs longer.
echo "=== host-fuzz"
bash scripts/fuzz.sh "${LAUNCHER_FUZZ_SECONDS:-5}"
