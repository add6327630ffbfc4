#!/usr/bin/env bash
# Builds through the presets in CMakePresets.json. Each word names a build:
#   (none)    build/windows/vxuninstall.exe   Windows x86-64, mingw-w64 g++
#   host      build/windows as well, and build/host: the host tests and the
#             fuzzer over the simulated Windows (clang, sanitizers)
#   windows   build/windows only
#   arm64     build/arm64/vxuninstall.exe     Windows ARM64, with the clang
#             toolchain of scripts/arm64-toolchain.sh (built on first use)
# Several words may be given: scripts/build.sh host arm64
set -euo pipefail
cd "$(dirname "$0")/.."

builds=()
add() {
    local build
    for build in "${builds[@]}"; do
        [[ $build == "$1" ]] && return
    done
    builds+=("$1")
}
(($#)) || add windows
for word in "$@"; do
    case $word in
        host) add windows; add host ;;
        windows | arm64) add "$word" ;;
        *) echo "usage: scripts/build.sh [host] [windows] [arm64]" >&2; exit 2 ;;
    esac
done

# The compilers' temporary files go below build/: windres leaves two empty
# ones behind on every full build.
tmp=$PWD/build/tmp
mkdir -p "$tmp"

for build in "${builds[@]}"; do
    # The arm64 build runs with the toolchain's prefix in VX_ARM64_TOOLCHAIN,
    # holding it (so that nothing prunes it meanwhile).
    with=() fresh=()
    if [[ $build == arm64 ]]; then
        with=(bash scripts/arm64-toolchain.sh exec --)
        # A build directory keeps the tools it was first configured with: one
        # that names another toolchain (an older recipe, a pruned one) is
        # configured afresh.
        toolchain=$(bash scripts/arm64-toolchain.sh | tail -n 1)
        if [[ -f build/arm64/CMakeCache.txt ]] &&
            sed -n 's/^[^#/][^=]*=//p' build/arm64/CMakeCache.txt | grep '/aarch64-w64-mingw32_' |
            grep -qvF "$toolchain"; then
            fresh=(--fresh)
        fi
    fi
    TMPDIR=$tmp "${with[@]}" cmake --preset "$build" "${fresh[@]}" >/dev/null
    TMPDIR=$tmp "${with[@]}" cmake --build --preset "$build" -j"$(nproc)"
done
