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

# Every fuzz target briefly from its seed corpus; scripts/fuzz.sh with no argument runs longer.
echo "=== host-fuzz"
bash scripts/fuzz.sh "${LAUNCHER_FUZZ_SECONDS:-5}"
