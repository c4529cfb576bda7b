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
run=(cmake/wine-run.sh "$stage/tavro-gcodeviewer.exe" "$@")
if [ -z "${DISPLAY:-}" ]; then
  # The launcher probes OpenGL before the hand-off; on a machine without a display it would
  # find none and stop at its renderer warning, so give it a virtual one. Wine's desktop
  # process must be gone before that display is.
  run=(xvfb-run -a sh -c '"$@"; code=$?; WINEPREFIX=$LAUNCHER_WINEPREFIX wineserver -w; exit $code'
       sh "${run[@]}")
fi
set +e
LAUNCHER_WINEPREFIX=$prefix "${run[@]}"
code=$?
set -e
echo "tavro-gcodeviewer.exe exited with $code"
exit "$code"
