#!/usr/bin/env bash
# The main job: builds the Windows launcher and the sample G-code viewer, stages the launcher
# folder at build/launcher as `cmake --install` lays it out with the viewer beside it as
# orviStudio.dll, and runs tavro-gcodeviewer.exe under Wine on a G-code file.
#
#   scripts/run-viewer.sh [launcher switches] [--screenshot OUT.png] [FILE.gcode]
#
# FILE and OUT.png are Unix paths; the script hands Wine its own names for them. Without FILE
# the sample cube is shown. With no display (DISPLAY unset) a virtual one is started and, unless
# --screenshot is given, the viewer draws one frame to build/screenshot.png. The exit code is
# the launcher's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh

cmake --preset windows-mingw >/dev/null
cmake --build --preset windows-mingw -j "${LAUNCHER_JOBS:-2}"

stage=$root/build/launcher
rm -rf "$stage"
cmake --install build/windows-mingw --prefix "$stage" >/dev/null
# The viewer is a sample, installed only on request, never by a plain install.
cmake --install build/windows-mingw --prefix "$stage" --component samples >/dev/null

prefix=$root/build/windows-mingw/wineprefix
cmake/wine-prefix-init.sh "$prefix" >/dev/null

wine_name() {
  WINEPREFIX=$prefix WINEDEBUG=-all winepath -w "$(realpath -m "$1")" 2>/dev/null
}

args=()
file=
screenshot=
while [ $# -gt 0 ]; do
  case $1 in
    --screenshot)
      [ $# -ge 2 ] || { echo "--screenshot needs a file name" >&2; exit 2; }
      screenshot=$2
      shift 2
      ;;
    --size)
      [ $# -ge 2 ] || { echo "--size needs WxH" >&2; exit 2; }
      args+=("$1" "$2")
      shift 2
      ;;
    -*)
      args+=("$1")
      shift
      ;;
    *)
      if [ -z "$file" ]; then file=$1; else args+=("$1"); fi
      shift
      ;;
  esac
done
file=${file:-samples/gcode/calibration-cube.gcode}
if [ -z "${DISPLAY:-}" ] && [ -z "$screenshot" ]; then
  screenshot=build/screenshot.png
fi
if [ -n "$screenshot" ]; then
  mkdir -p "$(dirname "$screenshot")"
  rm -f "$screenshot"
  args+=(--screenshot "$(wine_name "$screenshot")")
fi
args+=("$(wine_name "$file")")

echo "launcher folder: $stage"
run=(cmake/wine-run.sh "$stage/tavro-gcodeviewer.exe" "${args[@]}")
if [ -z "${DISPLAY:-}" ]; then
  # The launcher probes OpenGL before the hand-off and the viewer draws with it: both need an X
  # display. Wine's desktop process must be gone before that display is.
  run=(xvfb-run -a -s "-screen 0 1920x1200x24" sh -c
       '"$@"; code=$?; WINEPREFIX=$LAUNCHER_WINEPREFIX wineserver -w; exit $code' sh "${run[@]}")
fi
set +e
LAUNCHER_WINEPREFIX=$prefix "${run[@]}"
code=$?
set -e
echo "tavro-gcodeviewer.exe exited with $code"
if [ -n "$screenshot" ] && [ -f "$screenshot" ]; then
  echo "screenshot: $(realpath "$screenshot")"
fi
exit "$code"
