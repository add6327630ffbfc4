#!/usr/bin/env bash
# Installs the Debian packages that building, the demo and the tests need
# (clang-14, lld-14, llvm-14 and the rest for the ARM64 toolchain that
# scripts/arm64-toolchain.sh builds from Debian's source packages).
# Runs apt-get only when something is missing; needs root for that.
set -euo pipefail

packages=(
    cmake make g++ clang libclang-rt-14-dev libgtest-dev googletest
    g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-x86-64
    clang-14 lld-14 llvm-14 ninja-build dpkg-dev xz-utils bzip2
    wine wine64 msitools wixl python3 tmux
)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" </dev/null
fi
