#!/usr/bin/env bash
# The main job, as a demo: builds vxuninstall.exe, installs sample packages
# into a throwaway Wine prefix, lists the Velorantix products, removes them,
# and shows what is left. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
python3 scripts/demo.py
