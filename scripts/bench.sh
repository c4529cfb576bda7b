#!/usr/bin/env bash
# The start-up benchmark: builds the Windows launcher and the programs of bench/, stages them
# in one launcher folder with the measuring orviStudio.dll, and runs them alternating under
# Wine and one Xvfb server (bench/run_bench.py). Prints a markdown table: medians, the
# launcher / reference ratio, the probe's cost against a bare GL context, the peak working sets
# and the launcher's time per step.
#   scripts/bench.sh [--rounds N] [--step-runs N]   (BENCH_ROUNDS sets the default rounds)
# Timings need a quiet machine; the test command runs it with very few rounds only to keep it
# working.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

rounds=${BENCH_ROUNDS:-101}
step_runs=${BENCH_STEP_RUNS:-21}
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --step-runs) step_runs=$2; shift 2 ;;
    *) echo "usage: $0 [--rounds N] [--step-runs N]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh
cmake --preset windows-mingw >/dev/null
cmake --build --preset windows-mingw -j "${LAUNCHER_JOBS:-2}" --target tavro-gcodeviewer \
  sentry_lite bench_application bench_reference_launcher bench_bare_context bench_launch_steps \
  fixture_plugin >/dev/null

folder=$root/build/bench-run
rm -rf "$folder"
cmake --install build/windows-mingw --prefix "$folder" >/dev/null
cp build/windows-mingw/bench/*.exe build/windows-mingw/bench/orviStudio.dll "$folder/"
# The same folder with the test plugin, which hands the launcher a DSN, for the rows of the
# crash reporter's upload queue.
rm -rf "$folder-queue"
cp -r "$folder" "$folder-queue"
cp build/windows-mingw/fixtures/plugin/TavroPlugin.dll "$folder-queue/"
# And once more with the real SDK's sentry.dll in place of the lite one (its crash handler
# beside it, when it has one), when LAUNCHER_SENTRY_SDK_PREFIX names an SDK install.
sdk_bin=${LAUNCHER_SENTRY_SDK_PREFIX:+$LAUNCHER_SENTRY_SDK_PREFIX/bin}
rm -rf "$folder-sdk"
sdk_args=()
if [ -f "$sdk_bin/sentry.dll" ]; then
  cp -r "$folder-queue" "$folder-sdk"
  cp "$sdk_bin/sentry.dll" "$folder-sdk/sentry.dll"
  if [ -f "$sdk_bin/crashpad_handler.exe" ]; then
    cp "$sdk_bin/crashpad_handler.exe" "$folder-sdk/"
  fi
  sdk_args=(--sdk-folder "$folder-sdk")
elif [ -n "$sdk_bin" ]; then
  echo "bench: no sentry.dll in $sdk_bin; the lite against SDK rows are skipped" >&2
else
  echo "bench: LAUNCHER_SENTRY_SDK_PREFIX names no SDK install; the lite against SDK rows are skipped" >&2
fi

# A prefix of its own, so a test run in the build's prefix cannot disturb it (or be disturbed).
export WINEPREFIX=${BENCH_WINEPREFIX:-$root/build/bench-wineprefix}
cmake/wine-prefix-init.sh "$WINEPREFIX" >/dev/null
# A wine server still up from earlier runs (a test run just before, in the same prefix) keeps
# the display those were started with, and the programs here would fail on a display gone.
wineserver -w
# One Xvfb server for every run, so the probe and the bare context find Mesa's driver, and
# the runs without a probe pay for the same display connection. A persistent wine server keeps
# its start-up out of every run.
xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" sh -c '
  wineserver -p
  python3 bench/run_bench.py "$@"; code=$?
  wineserver -k; wineserver -w
  exit $code' sh "$folder" --rounds "$rounds" --step-runs "$step_runs" \
    --queue-folder "$folder-queue" "${sdk_args[@]}"
