#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's private prefix.
# LAUNCHER_WINEPREFIX overrides the prefix; otherwise it sits next to this build's CMakeCache.
set -euo pipefail
if [ -z "${LAUNCHER_WINEPREFIX:-}" ]; then
  dir=$PWD
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  LAUNCHER_WINEPREFIX=$dir/wineprefix
fi
export WINEPREFIX=$LAUNCHER_WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec wine "$@"
