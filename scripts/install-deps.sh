#!/usr/bin/env bash
# Installs every Debian package that building, the demo, the tests and the
# benchmark need; the other scripts only check for theirs and point here.
# Runs apt-get only when something is missing; needs root for that.
#
#   bash scripts/install-deps.sh                   installs what is missing
#   bash scripts/install-deps.sh --check PKG...    only says which of PKG are
#                                                  missing (exit status 1)
#
#   packages         the builds (mingw-w64 g++, clang-14, lld-14 and llvm-14
#                    with what scripts/arm64-toolchain.sh needs to build the
#                    ARM64 toolchain from Debian's source packages), the host
#                    tests, Wine, msitools and tmux; with their recommended
#                    packages
#   arm64_packages   the arm64 root of scripts/arm64-root.sh: qemu-user,
#                    mmdebstrap and arch-test; without recommended packages
#                    (binfmt-support, fakechroot, uidmap ...), which nothing
#                    here uses
set -euo pipefail

packages=(
    cmake make g++ clang libclang-rt-14-dev libgtest-dev googletest
    g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-x86-64
    clang-14 lld-14 llvm-14 ninja-build dpkg-dev xz-utils bzip2
    wine wine64 msitools wixl python3 tmux
)
arm64_packages=(qemu-user-static mmdebstrap arch-test debian-archive-keyring)

missing_of() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            echo "$package"
    done
}
if [[ ${1:-} == --check ]]; then
    shift
    mapfile -t missing < <(missing_of "$@")
    ((${#missing[@]} == 0)) && exit 0
    echo "missing Debian packages: ${missing[*]}; install them with: bash scripts/install-deps.sh" >&2
    exit 1
fi

mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t arm64_missing < <(missing_of "${arm64_packages[@]}")
((${#missing[@]} + ${#arm64_missing[@]})) || exit 0

echo "Installing: ${missing[*]} ${arm64_missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
if ((${#missing[@]})); then
    apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" </dev/null
fi
if ((${#arm64_missing[@]})); then
    apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${arm64_missing[@]}" </dev/null
fi
