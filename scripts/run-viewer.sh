#!/usr/bin/env bash
# The main job: builds the Windows launcher, installs the launcher folder to build/launcher
# with an application library beside it, and runs tavro-gcodeviewer.exe under Wine with the
# arguments given. Until a sample viewer exists, the test application library stands in as
# orviStudio.dll and prints what it received.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh

cmake --preset windows-mingw >/dev/null
cmake --build --preset windows-mingw -j "${LAUNCHER_JOBS:-2}"

stage=$root/build/launcher
rm -rf "$stage"
cmake --install build/windows-mingw --prefix "$stage" >/dev/null
cp build/windows-mingw/fixtures/app/orviStudio.dll "$stage/"

prefix=$root/build/windows-mingw/wineprefix
cmake/wine-prefix-init.sh "$prefix" >/dev/null
echo "launcher folder: $stage"
set +e
LAUNCHER_WINEPREFIX=$prefix cmake/wine-run.sh "$stage/tavro-gcodeviewer.exe" "$@"
code=$?
set -e
echo "tavro-gcodeviewer.exe exited with $code"
exit "$code"
