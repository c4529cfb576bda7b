#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, only when one is missing.
# Runs as root on the build machines; nothing else may rely on a package installed by hand.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-format
  libboost-dev libgtest-dev googletest
  # binutils' addr2line and nm also name a report's frames for scripts/read-report.py
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth libgl1-mesa-dri libglx-mesa0 x11-utils
  python3 python3-pytest
  python3-pil
  # the uploads' https test makes its certificates
  openssl
  libstb-dev
  nlohmann-json3-dev
  # fuzzing: -fsanitize=fuzzer needs libclang-rt, only a recommendation of clang's packages
  clang libclang-rt-14-dev
  # the 32-bit DLL of the bad-input matrix
  g++-mingw-w64-i686-posix
  # breakpad's minidump reader and sentry-cli come from the npm registry (below)
  npm
)

missing=()
for p in "${packages[@]}"; do
  # npm may be the registry's own, installed over Debian's
  [ "$p" = npm ] && command -v npm >/dev/null && continue
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# From the npm registry into build/tools, both in one install (an install that names one
# package drops what an earlier one put there unsaved):
# - breakpad's minidump_stackwalk, which the crash tests read the reports' minidumps with: the
#   npm package ships it built for Linux. Its install script builds breakpad again; not needed.
# - sentry-cli, which the tests read the images' and the debug files' identifiers with, as the
#   crash reporting service does: @sentry/cli picks its platform's binary package at install;
#   that package (its optional dependency for Linux x86-64) is the program itself.
tools=$(cd "$(dirname "$0")/.." && pwd)/build/tools
if [ ! -x "$tools/node_modules/minidump/bin/linux-x64/minidump_stackwalk" ] ||
   [ ! -x "$tools/node_modules/@sentry/cli-linux-x64/bin/sentry-cli" ]; then
  mkdir -p "$tools"
  npm install --prefix "$tools" --no-audit --no-fund --ignore-scripts --no-save \
    minidump@0.26.0 @sentry/cli-linux-x64@3.8.2
fi
