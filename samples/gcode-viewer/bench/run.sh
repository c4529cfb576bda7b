#!/usr/bin/env bash
# Builds the parser benchmark with optimisation and runs it on generated files in a temporary
# folder (removed afterwards). Usage: run.sh [megabytes per file, default 200]
set -euo pipefail
cd "$(dirname "$0")/../../.."
build=build/gcode-parser-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target gcode_parser_bench -j "${LAUNCHER_JOBS:-2}" >/dev/null
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for mode in print padded; do
  "$build/samples/gcode-viewer/gcode_parser_bench" "$tmp" "${1:-200}" "$mode"
done
