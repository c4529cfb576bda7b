#!/usr/bin/env bash
# Makes the build tree's private Wine prefix once per test run: the first start of a
# prefix takes a while, and every Windows test shares it afterwards.
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  wineboot -i >/dev/null 2>&1 || true
fi
# A value of the prefix's registry. Setting it again does no harm, so a failure is tried once
# more once the prefix's wine server is gone; a second one is shown, since quiet it would end
# the caller's run with no word of why.
set_value() {
  local output
  output=$(wine reg add "$@" /f 2>&1) && return
  wineserver -w || true
  output=$(wine reg add "$@" /f 2>&1) && return
  echo "wine-prefix-init.sh: could not set $1 $3 in $prefix: $output" >&2
  return 1
}
# An unhandled exception must end the process, not start Wine's debugger and wait.
set_value 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0
set_value 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d ''
set_value 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
wineserver -w
echo "wine prefix ready: $prefix"
