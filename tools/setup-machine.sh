#!/usr/bin/env bash
# Installs what building and testing need on Debian 12. Safe to run again:
# it only calls apt-get when a package is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ googletest libgtest-dev clang libclang-rt-14-dev
    g++-mingw-w64-x86-64-posix
    wine64 xvfb xdotool imagemagick icoutils
    python3 python3-pytest
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
