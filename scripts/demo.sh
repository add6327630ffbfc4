#!/usr/bin/env bash
# The main job, as a demo: builds vxuninstall.exe, installs sample packages
# into a throwaway Wine prefix, lists the Velorantix products, removes them,
# and shows what is left. Installs what it needs first. Exits non-zero, with
# one line saying what, when anything it shows is not what it should be.
#
#   bash scripts/demo.sh          x86-64 build under the host's Wine
#   bash scripts/demo.sh arm64    ARM64 build under the arm64 Wine of the
#                                 root that scripts/arm64-root.sh makes
#
# Either way it runs in mount and PID namespaces of its own
# (scripts/contain.sh, or arm64-root.sh run), so nothing it starts, Wine
# included, outlives it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
case ${1:-x86_64} in
    x86_64)
        bash scripts/build.sh
        bash scripts/contain.sh -- python3 scripts/demo.py
        ;;
    arm64)
        bash scripts/build.sh arm64
        bash scripts/arm64-root.sh setup >/dev/null
        VX_TARGET=arm64 bash scripts/arm64-toolchain.sh exec -- \
            bash scripts/arm64-root.sh run -- python3 scripts/demo.py
        ;;
    *)
        echo "usage: bash scripts/demo.sh [x86_64|arm64]" >&2
        exit 2
        ;;
esac
