#!/usr/bin/env bash
# Builds the host-fuzz preset and runs every fuzz target it holds (each *_fuzzer in
# build/host-fuzz) for the given number of seconds each (default 60), starting from its seed
# corpus in tests/fuzz/corpus/<target>/. What a run finds is kept in build/host-fuzz/fuzz-work:
# new inputs in corpus/<target>/, failing inputs as artifacts/<target>-*. Exits non-zero when
# any target fails, after running them all.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [seconds per target]" >&2
  exit 2
fi

bash scripts/install-deps.sh
cmake --preset host-fuzz >/dev/null
cmake --build --preset host-fuzz -j "${LAUNCHER_JOBS:-2}"

build=build/host-fuzz
work=$build/fuzz-work
mkdir -p "$work/artifacts"

mapfile -t targets < <(find "$build" -maxdepth 1 -type f -perm -u+x -name '*_fuzzer' | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no *_fuzzer in $build" >&2
  exit 1
fi

failed=()
for target in "${targets[@]}"; do
  name=$(basename "$target")
  seeds=tests/fuzz/corpus/$name
  [ -d "$seeds" ] || seeds=tests/fuzz/corpus/${name%_fuzzer}
  if [ ! -d "$seeds" ]; then
    echo "=== $name: no seed corpus (tests/fuzz/corpus/$name/)" >&2
    failed+=("$name")
    continue
  fi
  # New inputs go to the first folder, so the seeds in the repository stay as they are.
  corpus=$work/corpus/$name
  mkdir -p "$corpus"
  log=$work/$name.log
  echo "=== $name ($seconds s)"
  if "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/$name-" "$corpus" "$seeds" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$name: ${runs:-?} executions, no failure"
  else
    tail -n 40 "$log"
    echo "$name: FAILED (log: $log)"
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi
