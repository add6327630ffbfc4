#!/usr/bin/env bash
# Benchmark of the listing run: what does vxuninstall.exe cost, without
# options, over the bare Windows Installer walk that it cannot avoid?
#
# It builds vxuninstall.exe when it is missing and compiles bench/bare_walk.c
# (the walk alone: the same msi.dll calls by ordinal, nothing else), makes a
# throwaway 64-bit Wine prefix, builds BENCH_PRODUCTS (200) small packages
# with wixl (half of them by Velorantix, half by other makers) and installs
# them, then times `wine vxuninstall.exe` (standard output to /dev/null) and
# `wine bare_walk.exe` interleaved, BENCH_REPS (15) times each, with one
# persistent wineserver so that both pay the same Wine start-up: once with the
# wineserver and the timed processes pinned to CPU BENCH_CPU (the main
# figures, see the note at the timing below) and once unpinned. It prints the
# medians and the ratio listing / bare walk (the target is at most 1.05). The
# prefix is removed at the end, also on failure or Ctrl+C.
#
# With "arm64" both programs are built for ARM64 (build/arm64/vxuninstall.exe
# and bare_walk.c with the toolchain of scripts/arm64-toolchain.sh) and run
# under the arm64 Wine of the root that scripts/arm64-root.sh makes, through
# qemu-user: the whole benchmark then runs inside `arm64-toolchain.sh exec`
# and `arm64-root.sh run`, so that both stay held while it runs and the
# root's mounts end with it. Emulation slows both sides alike; the ratio is
# the figure to read.
#
#   bash bench/listing.sh [x86_64|arm64]
#   BENCH_REPS=31 BENCH_CPU=3 bash bench/listing.sh
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-x86_64}
case $target in
    x86_64)
        build=windows
        root=
        wine=("$(command -v wine)")
        wineserver=("$(command -v wineserver)")
        cc=(x86_64-w64-mingw32-gcc)
        dlltool=(x86_64-w64-mingw32-dlltool)
        ;;
    arm64)
        build=arm64
        if [[ -z ${VX_ARM64_ROOT:-} ]]; then
            bash scripts/arm64-root.sh setup >/dev/null
            exec bash scripts/arm64-toolchain.sh exec -- \
                bash scripts/arm64-root.sh run -- bash bench/listing.sh arm64
        fi
        [[ -n ${VX_ARM64_TOOLCHAIN:-} ]] ||
            exec bash scripts/arm64-toolchain.sh exec -- bash bench/listing.sh arm64
        root=$VX_ARM64_ROOT
        toolchain=$VX_ARM64_TOOLCHAIN
        wine=(chroot "$root" /usr/lib/wine/wine64)
        wineserver=(chroot "$root" /usr/lib/wine/wineserver)
        cc=("$toolchain/bin/aarch64-w64-mingw32-clang")
        dlltool=("$toolchain/bin/aarch64-w64-mingw32-dlltool" -m arm64)
        ;;
    *)
        echo "usage: bash bench/listing.sh [x86_64|arm64]" >&2
        exit 2
        ;;
esac
exe=build/$build/vxuninstall.exe
# Without address randomisation: a randomised heap start sometimes takes the
# page Wine needs for its shared user data, and Wine then ends at once.
wine() { setarch -R "${wine[@]}" "$@"; }
wineserver() { setarch -R "${wineserver[@]}" "$@"; }
# The path by which Wine sees a file of the work directory, and its Windows
# form on drive Z: (for cmd, which would take a leading / for a switch).
wpath() { echo "${1#"$root"}"; }
zpath() { local p; p=$(wpath "$1"); echo "Z:${p//\//\\}"; }

REPS=${BENCH_REPS:-15}
COUNT=${BENCH_PRODUCTS:-200}
ONE_BY_ONE=${BENCH_ONE_BY_ONE:-8}   # installed singly, to compare with the batch
TARGET=1.05

now_us() { echo "${EPOCHREALTIME//[!0-9]/}"; }
secs() { python3 -c 'import sys; print(f"{int(sys.argv[1]) / 1e6:.2f}")' "$1"; }

run_start=$(now_us)

work=$(mktemp -d "$root/tmp/vxbench.XXXXXX")
export WINEPREFIX="$(wpath "$work/prefix")"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export HOME="$(wpath "$work/home")"
export LANG=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$work/home" "$work/bin" "$work/pkgs"

cleanup() {
    if [[ -d "$work/prefix" ]]; then
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== machine"
echo "target: $target"
echo "nproc: $(nproc)"
echo "cpu: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "wine: $(wine --version 2>/dev/null)"
if [[ $target == arm64 ]]; then
    echo "emulation: $(qemu-aarch64-static --version | head -n 1), arm64 Debian root $root"
fi
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== programs"
if [[ ! -x "$exe" ]]; then
    echo "building $exe"
    bash scripts/build.sh "$build"
fi
"${dlltool[@]}" -d src/uninstall/msi_ordinals.def -l "$work/bin/libmsi_ordinals.a"
"${cc[@]}" -O2 -Wall -Wextra -o "$work/bin/bare_walk.exe" bench/bare_walk.c \
    "$work/bin/libmsi_ordinals.a"
# Both programs are started from the work directory, where Wine can see them.
cp "$exe" "$work/bin/vxuninstall.exe"
echo "$exe: $(stat -c %s "$exe") bytes; bare_walk.exe: $(stat -c %s "$work/bin/bare_walk.exe") bytes"
exe=$(wpath "$work/bin/vxuninstall.exe")
bare=$(wpath "$work/bin/bare_walk.exe")

echo "== $COUNT packages"
t=$(now_us)
python3 bench/make_products.py "$work/pkgs" "$COUNT" >"$work/pkgs/list.txt"
# wixl wants the payload's path relative to where it runs
(cd "$work/pkgs" && xargs -P "$(nproc)" -n 1 sh -c 'wixl -a x64 -o "$1.msi" "$1.wxs"' sh <list.txt)
built=$(find "$work/pkgs" -name 'p*.msi' | wc -l)
[[ $built -eq $COUNT ]] || { echo "wixl built $built of $COUNT packages" >&2; exit 1; }
echo "built with wixl in $(secs $(($(now_us) - t))) s"

echo "== prefix"
t=$(now_us)
wine wineboot -i >/dev/null 2>&1
wineserver -w
echo "wineboot -i in $(secs $(($(now_us) - t))) s"
# one server for everything from here on: no process pays its start-up
wineserver -p

echo "== installing"
mapfile -t names <"$work/pkgs/list.txt"
single=$(( ONE_BY_ONE < COUNT ? ONE_BY_ONE : COUNT ))
t=$(now_us)
for ((i = 0; i < single; i++)); do
    wine msiexec /i "$(zpath "$work/pkgs/${names[i]}.msi")" /qn \
        || { echo "msiexec /i ${names[i]}.msi failed" >&2; exit 1; }
done
t_single=$(($(now_us) - t))
if ((single > 0)); then
    echo "$single one by one (wine msiexec each): $(secs $t_single) s," \
         "$(secs $((t_single / single))) s per package"
fi
rest=$((COUNT - single))
if ((rest > 0)); then
    {
        printf '@echo off\r\n'
        for ((i = single; i < COUNT; i++)); do
            printf 'msiexec /i %s /qn\r\n' "$(zpath "$work/pkgs/${names[i]}.msi")"
            printf 'if errorlevel 1 echo FAILED %s\r\n' "${names[i]}"
        done
    } >"$work/pkgs/install.cmd"
    t=$(now_us)
    out=$(wine cmd /c "$(zpath "$work/pkgs/install.cmd")" 2>&1)
    t_batch=$(($(now_us) - t))
    if grep -q FAILED <<<"$out"; then
        echo "$out" >&2
        exit 1
    fi
    echo "$rest in one 'wine cmd /c' batch: $(secs $t_batch) s," \
         "$(secs $((t_batch / rest))) s per package"
fi

# The walk must see every product, and the listing every Velorantix one.
seen=$(wine "$bare" | tr -d '\r')
[[ "$seen" == "$COUNT" ]] || { echo "the installer reports $seen products, not $COUNT" >&2; exit 1; }
listed=$(wine "$exe" | tr -d '\r' | grep -c '^- ' || true)
expected=$(((COUNT + 1) / 2))
[[ "$listed" == "$expected" ]] || { echo "vxuninstall listed $listed products, not $expected" >&2; exit 1; }
echo "installer reports $seen products; vxuninstall lists $listed"

# Every product query is a round trip to the wineserver. On this kind of
# machine a round trip between two CPUs can cost several times one on the same
# CPU, and which one a run gets is the scheduler's whim: unpinned runs of the
# same program jump between two levels (about 0.25 s and 1.1 s for 200
# products here), in runs of several, so the medians of two short series may
# come from different levels. The main series therefore pins the wineserver
# and every timed process to one CPU (BENCH_CPU, by default the last one); the
# second series repeats the comparison unpinned, for reference.
elapsed=0
time_one() {   # time_one EXE: sets elapsed (microseconds); stops the run on a non-zero exit
    local s
    s=$(now_us)
    if ! "${pin[@]}" "${wine[@]}" "$1" >/dev/null 2>&1; then
        echo "wine $1 failed" >&2
        exit 1
    fi
    elapsed=$(($(now_us) - s))
}
measure() {   # measure TITLE [CPU]: restarts the wineserver (pinned to CPU if given) and times
    pin=()
    [[ -n "${2:-}" ]] && pin=(taskset -c "$2")
    echo "== timing, $1: $REPS runs each, interleaved (after 2 warm-up runs each)"
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    "${pin[@]}" "${wineserver[@]}" -p
    for _ in 1 2; do time_one "$exe"; time_one "$bare"; done
    local listing=() walk=() r
    for ((r = 0; r < REPS; r++)); do
        # alternate the order, so that neither side always runs second
        if ((r % 2 == 0)); then
            time_one "$exe"; listing+=("$elapsed")
            time_one "$bare"; walk+=("$elapsed")
        else
            time_one "$bare"; walk+=("$elapsed")
            time_one "$exe"; listing+=("$elapsed")
        fi
    done
    python3 bench/stats.py "$TARGET" "${listing[*]}" "${walk[*]}"
}
CPU=${BENCH_CPU:-$(($(nproc) - 1))}
measure "pinned to CPU $CPU (wineserver and every timed process)" "$CPU"
measure "unpinned, for reference"

echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "whole run: $(secs $(($(now_us) - run_start))) s"
