#!/usr/bin/env bash
# The main job: builds the Windows launcher and the sample G-code viewer, stages the launcher
# folder at build/launcher as `cmake --install` lays it out with the viewer beside it as
# orviStudio.dll, and runs tavro-gcodeviewer.exe under Wine on a G-code file.
#
#   scripts/run-viewer.sh [launcher switches] [--screenshot OUT.png] [FILE.gcode]
#
# FILE and OUT.png are Unix paths, relative ones taken from the folder the script is run in; the
# script hands Wine its own names for them, and stops with a line when Wine has none. Without
# FILE the sample cube is shown. With no display (DISPLAY unset) a virtual one is started and,
# unless --screenshot is given, the viewer draws one frame to build/screenshot.png. The exit
# code is the launcher's, or 2 when a name is empty or has no Wine name.
#
# For the tests, which run it on the tree they have built:
#   LAUNCHER_VIEWER_NO_BUILD=1  take build/windows-mingw as it is: no package check, no build
#   LAUNCHER_WINEPREFIX=DIR     the Wine prefix (default build/windows-mingw/wineprefix)
set -euo pipefail

usage_error() {
  echo "run-viewer.sh: $1" >&2
  exit 2
}

# Names are resolved here, before anything changes the current folder.
absolute() {
  [ -n "$1" ] || usage_error "$2 is empty"
  realpath -m -- "$1"
}

args=()
file=
screenshot=
while [ $# -gt 0 ]; do
  case $1 in
    --screenshot)
      [ $# -ge 2 ] || usage_error "--screenshot needs a file name"
      screenshot=$(absolute "$2" "the --screenshot file name")
      shift 2
      ;;
    --size)
      [ $# -ge 2 ] || usage_error "--size needs WxH"
      args+=("$1" "$2")
      shift 2
      ;;
    -*)
      args+=("$1")
      shift
      ;;
    *)
      if [ -z "$file" ]; then file=$(absolute "$1" "the G-code file name"); else args+=("$1"); fi
      shift
      ;;
  esac
done
prefix=
if [ -n "${LAUNCHER_WINEPREFIX:-}" ]; then
  prefix=$(absolute "$LAUNCHER_WINEPREFIX" LAUNCHER_WINEPREFIX)
fi

cd "$(dirname "$0")/.."
root=$PWD
prefix=${prefix:-$root/build/windows-mingw/wineprefix}
file=${file:-$root/samples/gcode/calibration-cube.gcode}
if [ -z "${DISPLAY:-}" ] && [ -z "$screenshot" ]; then
  screenshot=$root/build/screenshot.png
fi

if [ -z "${LAUNCHER_VIEWER_NO_BUILD:-}" ]; then
  bash scripts/install-deps.sh
  cmake --preset windows-mingw >/dev/null
  cmake --build --preset windows-mingw -j "${LAUNCHER_JOBS:-2}"
fi

stage=$root/build/launcher
rm -rf "$stage"
cmake --install build/windows-mingw --prefix "$stage" >/dev/null
# The viewer is a sample, installed only on request, never by a plain install.
cmake --install build/windows-mingw --prefix "$stage" --component samples >/dev/null
if [ -n "$screenshot" ]; then
  mkdir -p "$(dirname "$screenshot")"
  rm -f "$screenshot"
fi

# Wine's name for a Unix path, checked by converting it back: winepath cuts a long name at 260
# characters, and turns bytes that are not UTF-8 into U+FFFD and a backslash into a separator.
wine_name() {
  local name back
  name=$(WINEPREFIX=$prefix WINEDEBUG=-all winepath -w "$1" 2>/dev/null) || name=
  back=$(WINEPREFIX=$prefix WINEDEBUG=-all winepath -u "$name" 2>/dev/null) || back=
  if [ -z "$name" ] || [ "$back" != "$1" ]; then
    echo "run-viewer.sh: Wine has no name for $1" >&2
    return 1
  fi
  printf '%s\n' "$name"
}

# Every Wine process of the prefix runs in the display of the launch. The first one starts the
# prefix's wine server and desktop process, which keep the display they were started with, and
# each later one joins them: a name converted before the display existed left the launch with
# no OpenGL.
launch() {
  if ! cmake/wine-prefix-init.sh "$prefix" >/dev/null; then
    echo "run-viewer.sh: the Wine prefix $prefix could not be prepared" >&2
    return 1
  fi
  local names=() name
  if [ -n "$screenshot" ]; then
    name=$(wine_name "$screenshot") || return 2
    names+=(--screenshot "$name")
  fi
  name=$(wine_name "$file") || return 2
  names+=("$name")
  echo "launcher folder: $stage"
  LAUNCHER_WINEPREFIX=$prefix cmake/wine-run.sh "$stage/tavro-gcodeviewer.exe" "${args[@]}" \
    "${names[@]}"
  local code=$?
  echo "tavro-gcodeviewer.exe exited with $code"
  if [ -n "$screenshot" ] && [ -f "$screenshot" ]; then
    echo "screenshot: $screenshot"
  fi
  return "$code"
}

set +e
if [ -n "${DISPLAY:-}" ]; then
  launch
  code=$?
else
  # A wine server still up from an earlier run in the prefix keeps the display that run had.
  [ ! -d "$prefix" ] || WINEPREFIX=$prefix wineserver -w
  # The launcher probes OpenGL before the hand-off and the viewer draws with it: both need an X
  # display. Wine's desktop process must be gone before that display is.
  # xvfb-run ends without a word when setting up its server or authority file fails (it runs
  # under set -e): the launch has not begun then, so it is tried again.
  begun=$(mktemp -u "${TMPDIR:-/tmp}/run-viewer.XXXXXX")
  for attempt in 1 2 3; do
    xvfb-run -a -s "-screen 0 1920x1200x24" bash -c \
      "$(declare -p prefix stage file screenshot args begun; declare -f wine_name launch)"'
       : >"$begun"; launch; code=$?; WINEPREFIX=$prefix wineserver -w; exit $code'
    code=$?
    [ ! -e "$begun" ] || break
    echo "run-viewer.sh: xvfb-run ended with $code before the launch began (try $attempt of 3)" >&2
  done
  rm -f "$begun"
fi
exit "$code"
