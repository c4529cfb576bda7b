#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, only when one is missing.
# Runs as root on the build machines; nothing else may rely on a package installed by hand.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-format
  libboost-dev libgtest-dev googletest
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth libgl1-mesa-dri libglx-mesa0 x11-utils
  python3 python3-pytest
  python3-pil
  libstb-dev
  nlohmann-json3-dev
  # fuzzing: -fsanitize=fuzzer needs libclang-rt, only a recommendation of clang's packages
  clang libclang-rt-14-dev
  # the 32-bit DLL of the bad-input matrix
  g++-mingw-w64-i686-posix
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
