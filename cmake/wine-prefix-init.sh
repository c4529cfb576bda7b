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
# An unhandled exception must end the process, not start Wine's debugger and wait.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0 /f >/dev/null 2>&1
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
wineserver -w
echo "wine prefix ready: $prefix"
