#!/usr/bin/env bash
# The main job, as a demo: builds vxuninstall.exe, installs sample packages
# into a throwaway Wine prefix, lists the Velorantix products, removes them,
# and shows what is left. Installs what it needs first.
#
#   bash scripts/demo.sh          x86-64 build under the host's Wine
#   bash scripts/demo.sh arm64    ARM64 build under the arm64 Wine of the
#                                 root that scripts/arm64-root.sh makes
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
case ${1:-x86_64} in
    x86_64)
        bash scripts/build.sh
        python3 scripts/demo.py
        ;;
    arm64)
        bash scripts/build.sh arm64
        bash scripts/arm64-root.sh setup >/dev/null
        VX_TARGET=arm64 VX_ARM64_TOOLCHAIN=$(bash scripts/arm64-toolchain.sh | tail -n 1) \
            bash scripts/arm64-root.sh run -- python3 scripts/demo.py
        ;;
    *)
        echo "usage: bash scripts/demo.sh [x86_64|arm64]" >&2
        exit 2
        ;;
esac
