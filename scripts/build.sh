#!/usr/bin/env bash
# Builds the Windows program (build/windows/vxuninstall.exe) and, with
# "host", the host tests over the simulated Windows (build/host).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/windows -j"$(nproc)"

if [[ "${1:-}" == host ]]; then
    CXX=clang++ cmake -S . -B build/host -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build build/host -j"$(nproc)"
fi
