#!/usr/bin/env bash
# Installs every Debian package that building, the demo, the tests and the
# benchmark need; the other scripts only check for theirs and point here.
# Runs apt-get only when something is missing; needs root for that.
#
#   bash scripts/install-deps.sh                   installs what is missing
#   bash scripts/install-deps.sh --check PKG...    only says which of PKG are
#                                                  missing (exit status 1)
#
# Recommended packages are never installed: on this package set they would
# bring systemd-sysv (replacing another init system), dbus and binfmt-support.
# Every package needed is named here. apt's plan is read first, and the
# install is refused, with nothing changed, when the plan would remove any
# package.
#
#   the builds       cmake, make, g++, clang and its sanitizer runtimes,
#                    GoogleTest; mingw-w64 g++ for x86-64; clang-14, lld-14,
#                    llvm-14, ninja, dpkg-dev, xz-utils and bzip2 for the
#                    ARM64 toolchain that scripts/arm64-toolchain.sh makes
#   the tests        Wine (wine, wine64), msitools and wixl for the packages,
#                    python3, tmux for the console tests
#   the arm64 root   qemu-user-static, mmdebstrap, arch-test and Debian's
#                    archive keyring (scripts/arm64-root.sh)
set -euo pipefail

packages=(
    cmake make g++ clang libclang-rt-14-dev libgtest-dev googletest
    g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-x86-64
    clang-14 lld-14 llvm-14 ninja-build dpkg-dev xz-utils bzip2
    wine wine64 msitools wixl python3 tmux
    qemu-user-static mmdebstrap arch-test debian-archive-keyring
)

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
((${#missing[@]})) || exit 0

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt_install=(apt-get install -y -o DPkg::Lock::Timeout=600 --no-install-recommends)
apt-get update -qq
# The plan first: apt-get -s changes nothing. Any "Remv" line is a package
# this install would take away from the machine.
plan=$("${apt_install[@]}" -s "${missing[@]}" </dev/null) || {
    echo "install-deps: apt-get cannot plan the install of: ${missing[*]}" >&2
    exit 1
}
mapfile -t removed < <(awk '$1 == "Remv" { print $2 }' <<<"$plan")
if ((${#removed[@]})); then
    echo "install-deps: refused: installing ${missing[*]} would remove these packages: ${removed[*]}" >&2
    echo "install-deps: nothing was changed; install the packages by hand if that is wanted" >&2
    exit 1
fi
"${apt_install[@]}" -qq "${missing[@]}" </dev/null
