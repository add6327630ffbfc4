#!/usr/bin/env bash
# An ARM64 Windows for the tests: a Debian 12 (bookworm) arm64 root that holds
# Debian's arm64 Wine 8, run on this x86-64 machine through qemu-user-static
# and binfmt_misc.  Needs root.
#
# Usage: bash scripts/arm64-root.sh COMMAND [ARGS]
#
#   setup       Installs the host packages it needs when missing
#               (qemu-user-static, debootstrap), mounts binfmt_misc and enables
#               the aarch64 interpreter, and builds the root once into the
#               cache (about 3 to 5 minutes); later runs take well under a
#               second.  Prints the root's path as its last line of standard
#               output (all progress goes to standard error).  Each build step
#               logs to $VX_CACHE_DIR/logs/<root name>/NN-<step>.log; a
#               failing step names itself and its log and shows the log's
#               tail.
#   path        Prints the root's path; exits 1 when there is no complete root.
#   run [--bind DIR]... -- CMD [ARG]...
#               Runs CMD in a private mount namespace in which proc, sysfs
#               (read-only), /dev (with /dev/pts and /dev/shm) and every
#               --bind DIR are mounted into the root.  The mounts exist only
#               for CMD and its children: the rest of the machine never sees
#               them, and they go away with the namespace even when this
#               script is killed.  Each run also gets its own empty /tmp in
#               the root (a directory in the cache, removed afterwards), so
#               several runs can share the root at the same time and nothing
#               they leave in /tmp stays in the cached root; files put into
#               <root>/tmp before `run` are not seen there (use --bind;
#               --bind /tmp puts the machine's own /tmp there instead).  When
#               CMD ends, processes it left running inside the root (a
#               wineserver, say) are stopped.  Exits with CMD's exit code
#               (130/143/129 when the run is interrupted; SIGINT and SIGTERM
#               reach CMD as SIGTERM).  CMD gets VX_ARM64_ROOT=<root>.
#               Note: a tmux server that CMD starts lives in the namespace
#               only when CMD uses its own socket (tmux -S/-L); an already
#               running server would start its panes without the mounts.
#   mount [--bind DIR]...
#               The same mounts, in the machine's own mount namespace, until
#               `unmount`.  Idempotent.  Prints the root's path.  Callers
#               must undo them even when they fail, e.g.
#                   root=$(bash scripts/arm64-root.sh mount)
#                   trap 'bash scripts/arm64-root.sh unmount' EXIT
#               Here /tmp in the root is the cached root's own, shared by
#               every such caller.  `run` is the safer choice; use this one
#               only when no two callers use the root at once.
#   unmount     Stops processes still running inside the root (in this mount
#               namespace), unmounts everything below the root, deepest first
#               (lazily when busy), and checks that nothing is left mounted
#               there; exits non-zero with the list otherwise.  Idempotent.
#   remove      Unmounts as `unmount` does and then deletes the root (and any
#               unfinished build).  Refuses while a `run` uses the root or
#               while anything is still mounted below it.  The downloaded
#               packages and the logs in the cache stay.
#
# --bind DIR mounts the host directory DIR at the same path inside the root, so
# that a path means the same file on both sides (e.g. --bind /tmp, or a test
# run's own directory).  Without it, the host path <root>/X is X inside.
#
# Environment:
#   VX_CACHE_DIR       where roots are kept (default /var/cache/vxuninstall)
#   VX_DEBIAN_MIRROR   Debian mirror for building (default
#                      http://deb.debian.org/debian)
#
# Running Wine inside (as root; /usr/lib/wine is not on PATH inside; the
# launcher is /usr/lib/wine/wine64, the server /usr/lib/wine/wineserver; make
# the HOME directory first):
#   env -i PATH=/usr/bin:/bin HOME=/tmp/h WINEPREFIX=/tmp/pfx WINEDEBUG=-all \
#       WINEDLLOVERRIDES='mscoree,mshtml=' \
#       /usr/sbin/chroot "$root" /usr/lib/wine/wine64 wineboot -i
# The prefix and HOME are paths inside the root (host: $root/tmp/pfx).  Only
# ARM64 Windows programs run there; x86 and x64 ones do not.
set -euo pipefail

readonly SUITE=bookworm
readonly VARIANT=minbase
readonly WINE_SERIES=8.0
readonly PACKAGES=(wine wine64)
# Bump when the way the root is built changes, so that a new root is made.
readonly RECIPE_REVISION=1
readonly HOST_PACKAGES=(qemu-user-static debootstrap debian-archive-keyring)
readonly BINFMT_DIR=/proc/sys/fs/binfmt_misc
readonly BINFMT_NAME=qemu-aarch64
readonly BINFMT_CONF=/usr/lib/binfmt.d/qemu-aarch64.conf
readonly MARKER_NAME=.vx-arm64-root-complete

SELF=$(realpath -- "${BASH_SOURCE[0]}")
CACHE_DIR=$(realpath -m -- "${VX_CACHE_DIR:-/var/cache/vxuninstall}")
MIRROR=${VX_DEBIAN_MIRROR:-http://deb.debian.org/debian}
RECIPE_HASH=$(printf '%s\n' "$SUITE" arm64 "$VARIANT" "${PACKAGES[*]}" "$RECIPE_REVISION" |
    sha256sum | cut -c1-8)
NAME=arm64-root_${SUITE}_wine-${WINE_SERIES}_${RECIPE_HASH}
ROOT=$CACHE_DIR/$NAME
LOCK_FILE=$CACHE_DIR/.$NAME.lock
LOG_DIR=$CACHE_DIR/logs/$NAME
DEB_CACHE=$CACHE_DIR/debs/${SUITE}_arm64
BUILD_PREFIX=$CACHE_DIR/.$NAME.building-
RUN_TMP_PREFIX=$CACHE_DIR/.$NAME.run-tmp-
readonly SELF CACHE_DIR MIRROR NAME ROOT LOCK_FILE LOG_DIR DEB_CACHE BUILD_PREFIX RUN_TMP_PREFIX

note() { printf 'arm64-root: %s\n' "$*" >&2; }
die() { printf 'arm64-root: error: %s\n' "$*" >&2; exit 1; }

usage() {
    sed -n '2,/^set -euo/p' "$SELF" | sed '$d; s/^# \{0,1\}//' >&2
}

require_root() {
    ((EUID == 0)) || die "must run as root"
}

is_complete() {
    [[ -d $ROOT && -f $ROOT/$MARKER_NAME ]]
}

require_complete() {
    is_complete || die "no complete root at $ROOT; run: bash scripts/arm64-root.sh setup"
}

# Mount points at DIR or below it in this mount namespace, deepest first.
mounts_below() {
    local dir=$1 target slashes
    while read -r _ _ _ _ target _; do
        printf -v target '%b' "${target//\\/\\0}"
        if [[ $target == "$dir" || $target == "$dir"/* ]]; then
            slashes=${target//[!\/]/}
            printf '%s\t%s\n' "${#slashes}" "$target"
        fi
    done </proc/self/mountinfo | sort -t $'\t' -k1,1nr -s | cut -f2-
}

is_mount_point() {
    local dir=$1 target
    while read -r _ _ _ _ target _; do
        printf -v target '%b' "${target//\\/\\0}"
        [[ $target == "$dir" ]] && return 0
    done </proc/self/mountinfo
    return 1
}

# Processes whose root directory is DIR, in this mount namespace only (runs in
# other namespaces are left alone).
processes_in() {
    local dir=$1 own_ns proc root pid
    own_ns=$(readlink /proc/self/ns/mnt)
    find /proc/[0-9]*/root -maxdepth 0 -printf '%p\t%l\n' 2>/dev/null |
        while IFS=$'\t' read -r proc root; do
            [[ $root == "$dir" ]] || continue
            proc=${proc%/root}
            pid=${proc#/proc/}
            [[ $pid =~ ^[0-9]+$ ]] || continue
            [[ $(readlink "$proc/ns/mnt" 2>/dev/null) == "$own_ns" ]] || continue
            echo "$pid"
        done
}

stop_processes_in() {
    local dir=$1 pids i
    mapfile -t pids < <(processes_in "$dir")
    ((${#pids[@]})) || return 0
    note "stopping processes still running in $dir: ${pids[*]}"
    kill -TERM "${pids[@]}" 2>/dev/null || true
    for ((i = 0; i < 25; i++)); do
        sleep 0.2
        mapfile -t pids < <(processes_in "$dir")
        ((${#pids[@]})) || return 0
        # Newcomers (started while the others were ending) get the same.
        kill -TERM "${pids[@]}" 2>/dev/null || true
    done
    note "killing: ${pids[*]}"
    kill -KILL "${pids[@]}" 2>/dev/null || true
    sleep 0.2
}

# Unmounts everything at or below DIR; fails when something stays mounted.
unmount_below() {
    local dir=$1 mounts target pass
    for ((pass = 0; pass < 10; pass++)); do
        mapfile -t mounts < <(mounts_below "$dir")
        ((${#mounts[@]})) || return 0
        for target in "${mounts[@]}"; do
            umount "$target" 2>/dev/null || umount -l "$target" 2>/dev/null || true
        done
    done
    mapfile -t mounts < <(mounts_below "$dir")
    ((${#mounts[@]} == 0)) && return 0
    printf 'arm64-root: error: still mounted below %s:\n' "$dir" >&2
    printf '    %s\n' "${mounts[@]}" >&2
    return 1
}

# Refuses a path inside DIR that would leave it (a symbolic link on the way).
inner_path() {
    local dir=$1 inner=$2 path
    path=$dir$inner
    [[ $(realpath -m -- "$path") == "$path" ]] ||
        die "$path leads outside the root (symbolic link); not mounting there"
    printf '%s\n' "$path"
}

# proc, sysfs, /dev (with everything mounted below it), PRIVATE_TMP (when
# set) on /tmp, and the --bind directories.
PRIVATE_TMP=
mount_into() {
    local dir=$1 bind target
    shift
    target=$(inner_path "$dir" /proc)
    is_mount_point "$target" || mount -t proc proc "$target"
    # Read-only sysfs: without it Wine cannot read the processor topology.
    target=$(inner_path "$dir" /sys)
    is_mount_point "$target" || mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$target"
    target=$(inner_path "$dir" /dev)
    if ! is_mount_point "$target"; then
        mount --rbind /dev "$target"
        # Unmounting below it must never reach the machine's own /dev.
        mount --make-rslave "$target"
    fi
    target=$(inner_path "$dir" /tmp)
    mkdir -p "$target"
    chmod 1777 "$target"
    if [[ -n $PRIVATE_TMP ]] && ! is_mount_point "$target"; then
        mount --bind "$PRIVATE_TMP" "$target"
    fi
    for bind in "$@"; do
        target=$(inner_path "$dir" "$bind")
        is_mount_point "$target" && continue
        if [[ -d $bind ]]; then
            mkdir -p -- "$target"
        else
            mkdir -p -- "$(dirname -- "$target")"
            [[ -e $target ]] || : >"$target"
        fi
        mount --rbind -- "$bind" "$target"
        mount --make-rslave -- "$target"
    done
}

parse_binds() {  # sets BINDS and REST
    BINDS=()
    REST=()
    local dir
    while (($#)); do
        case $1 in
            --bind)
                (($# >= 2)) || die "--bind needs a directory"
                [[ -e $2 ]] || die "--bind $2: no such file or directory"
                dir=$(realpath -- "$2")
                case $dir in
                    / | /proc | /proc/* | /dev | /dev/* | /sys | /sys/*)
                        die "--bind $2: not allowed" ;;
                esac
                BINDS+=("$dir")
                shift 2 ;;
            --bind=*)
                set -- --bind "${1#--bind=}" "${@:2}" ;;
            --)
                shift
                REST=("$@")
                return 0 ;;
            *)
                REST=("$@")
                return 0 ;;
        esac
    done
}

# ---- binfmt_misc -------------------------------------------------------------

ensure_binfmt() {
    local entry interpreter flags
    [[ -x /usr/bin/qemu-aarch64-static ]] ||
        die "qemu-user-static is not installed; run: bash scripts/arm64-root.sh setup"
    if ! mountpoint -q "$BINFMT_DIR"; then
        mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" || die "cannot mount $BINFMT_DIR"
    fi
    [[ $(cat "$BINFMT_DIR/status") == enabled ]] || echo 1 >"$BINFMT_DIR/status"
    entry=$BINFMT_DIR/$BINFMT_NAME
    if [[ ! -e $entry ]]; then
        [[ -f $BINFMT_CONF ]] || die "$BINFMT_CONF is missing (qemu-user-static)"
        grep -v '^[#;]' "$BINFMT_CONF" | grep -m1 . >"$BINFMT_DIR/register" ||
            die "cannot register $BINFMT_CONF with binfmt_misc"
    fi
    [[ $(head -n1 "$entry") == enabled ]] || echo 1 >"$entry"
    interpreter=$(sed -n 's/^interpreter //p' "$entry")
    flags=$(sed -n 's/^flags: *//p' "$entry")
    [[ -x $interpreter ]] || die "the aarch64 interpreter $interpreter is missing"
    # With F the kernel opens the interpreter at registration, so it need not
    # exist inside the root.
    [[ $flags == *F* ]] ||
        die "$entry lacks the F flag (flags: $flags);" \
            "remove it (echo -1 > $entry) and run setup again"
}

# ---- building ----------------------------------------------------------------

STEP_NO=0
STEP_PID=
BUILD=

run_step() {  # run_step NAME: runs "__build-step NAME BUILD" with its own log
    local name=$1 log rc=0 start=$SECONDS
    STEP_NO=$((STEP_NO + 1))
    log=$LOG_DIR/$(printf '%02d' "$STEP_NO")-$name.log
    note "step $name (log: $log)"
    # The step keeps the lock open: should this script be killed outright, the
    # next setup waits for the orphaned step before discarding its work.
    setsid "$BASH" "$SELF" __build-step "$name" "$BUILD" </dev/null >"$log" 2>&1 &
    STEP_PID=$!
    wait "$STEP_PID" || rc=$?
    STEP_PID=
    if ((rc)); then
        note "step '$name' failed (exit code $rc); log: $log"
        echo "---- last lines of $log ----" >&2
        tail -n 25 "$log" >&2
        echo "----" >&2
        exit 1
    fi
    note "step $name done ($((SECONDS - start)) s)"
}

# Removes an unfinished build: unmounts below it first, refuses while
# anything stays mounted there.
discard_build() {
    local dir=$1
    [[ -e $dir ]] || return 0
    stop_processes_in "$dir"
    unmount_below "$dir" || die "not removing $dir: something is still mounted below it"
    rm -rf --one-file-system -- "$dir"
}

build_cleanup() {
    local rc=$?
    trap - EXIT INT TERM HUP
    if [[ -n $STEP_PID ]]; then
        kill -TERM -- "-$STEP_PID" 2>/dev/null || true
        wait "$STEP_PID" 2>/dev/null || true
    fi
    if [[ -n $BUILD && -e $BUILD ]]; then
        note "removing the unfinished build $BUILD"
        discard_build "$BUILD" || rc=1
    fi
    exit "$rc"
}

build_root() {
    local leftover
    mkdir -p "$LOG_DIR" "$DEB_CACHE"
    for leftover in "$BUILD_PREFIX"*; do
        [[ -e $leftover ]] || continue
        note "removing an unfinished earlier build: $leftover"
        discard_build "$leftover"
    done
    rm -f "$LOG_DIR"/*.log
    BUILD=$BUILD_PREFIX$$
    trap build_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    mkdir "$BUILD"
    run_step debootstrap
    run_step configure
    mount_into "$BUILD"
    run_step install-wine
    run_step tidy
    run_step check
    unmount_below "$BUILD" || die "cannot unmount below $BUILD"
    mv -T -- "$BUILD" "$ROOT"
    BUILD=
    trap - EXIT INT TERM HUP
}

# The build steps, each run in its own process (see run_step).
build_step() {
    local name=$1 dir=$2
    set -x
    case $name in
        debootstrap)
            # No fsync after every file: a half-built root is thrown away anyway.
            DPKG_FORCE=unsafe-io debootstrap --arch=arm64 --variant="$VARIANT" \
                --cache-dir="$DEB_CACHE" "$SUITE" "$dir" "$MIRROR"
            # The kernel opened the interpreter itself (F flag): no copy inside.
            [[ ! -e $dir$(sed -n 's/^interpreter //p' "$BINFMT_DIR/$BINFMT_NAME") ]]
            /usr/sbin/chroot "$dir" /bin/true
            ;;
        configure)
            printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
            chmod 755 "$dir/usr/sbin/policy-rc.d"
            cat >"$dir/etc/apt/apt.conf.d/90vx-arm64-root" <<'EOF'
APT::Install-Recommends "false";
APT::Install-Suggests "false";
Acquire::Languages "none";
Dpkg::Use-Pty "false";
EOF
            cat >"$dir/etc/dpkg/dpkg.cfg.d/90vx-arm64-root" <<'EOF'
path-exclude /usr/share/doc/*
path-include /usr/share/doc/*/copyright
path-exclude /usr/share/man/*
path-exclude /usr/share/info/*
force-unsafe-io
EOF
            printf 'deb %s %s main\n' "$MIRROR" "$SUITE" >"$dir/etc/apt/sources.list"
            ;;
        install-wine)
            local env=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8
                DEBIAN_FRONTEND=noninteractive)
            "${env[@]}" /usr/sbin/chroot "$dir" apt-get update
            "${env[@]}" /usr/sbin/chroot "$dir" apt-get install -y "${PACKAGES[@]}"
            ;;
        tidy)
            env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /usr/sbin/chroot "$dir" apt-get clean
            rm -rf "$dir"/var/lib/apt/lists/* "$dir"/tmp/* "$dir"/tmp/.[!.]* "$dir"/root/.cache
            rm -f "$dir/etc/resolv.conf"
            chmod 1777 "$dir/tmp"
            ;;
        check)
            local version
            [[ -x $dir/usr/lib/wine/wine64 && -x $dir/usr/lib/wine/wineserver ]]
            version=$(env -i PATH=/usr/bin:/bin HOME=/tmp WINEDEBUG=-all \
                /usr/sbin/chroot "$dir" /usr/lib/wine/wine64 --version)
            echo "wine64 --version: $version"
            [[ $version == "wine-$WINE_SERIES"* ]]
            {
                echo "name=$NAME"
                echo "suite=$SUITE"
                echo "variant=$VARIANT"
                echo "packages=${PACKAGES[*]}"
                echo "wine=$version"
                echo "built=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
            } >"$dir/$MARKER_NAME"
            ;;
        *)
            echo "unknown build step $name" >&2
            return 1 ;;
    esac
}

install_host_packages() {
    local package missing=()
    for package in "${HOST_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    ((${#missing[@]})) || return 0
    mkdir -p "$LOG_DIR"
    local log=$LOG_DIR/00-host-packages.log
    note "installing host packages: ${missing[*]} (log: $log)"
    if ! {
        DEBIAN_FRONTEND=noninteractive apt-get update -q &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
                "${missing[@]}"
    } </dev/null >"$log" 2>&1; then
        note "installing host packages failed; log: $log"
        tail -n 25 "$log" >&2
        exit 1
    fi
}

# ---- commands ----------------------------------------------------------------

cmd_setup() {
    require_root
    install_host_packages
    ensure_binfmt
    if ! is_complete; then
        mkdir -p "$CACHE_DIR"
        exec 9>"$LOCK_FILE"
        if ! flock -n -x 9; then
            note "waiting for the lock $LOCK_FILE (another setup or a run holds it)"
            flock -x 9
        fi
        if ! is_complete; then
            [[ ! -e $ROOT ]] || die "$ROOT exists but is not marked complete; run remove first"
            local start=$SECONDS
            note "building $ROOT"
            build_root
            note "built $ROOT in $((SECONDS - start)) s"
        fi
        exec 9>&-
    fi
    printf '%s\n' "$ROOT"
}

cmd_path() {
    is_complete || { note "no complete root at $ROOT"; exit 1; }
    printf '%s\n' "$ROOT"
}

cmd_mount() {
    require_root
    require_complete
    parse_binds "$@"
    ((${#REST[@]} == 0)) || die "mount: unexpected argument ${REST[0]}"
    ensure_binfmt
    mount_into "$ROOT" "${BINDS[@]}"
    printf '%s\n' "$ROOT"
}

cmd_unmount() {
    require_root
    stop_processes_in "$ROOT"
    unmount_below "$ROOT"
}

cmd_remove() {
    require_root
    mkdir -p "$CACHE_DIR"
    exec 9>"$LOCK_FILE"
    flock -n -x 9 || die "the root is in use (a run or a setup holds $LOCK_FILE); not removing"
    local dir
    if [[ -e $ROOT ]]; then
        stop_processes_in "$ROOT"
        unmount_below "$ROOT" || die "not removing $ROOT: something is still mounted below it"
        # Out of the way first, so that a removal cut short never leaves a
        # root that looks complete.
        mv -T -- "$ROOT" "${BUILD_PREFIX}removed-$$"
    fi
    for dir in "$BUILD_PREFIX"*; do
        [[ -e $dir ]] || continue
        note "removing $dir"
        discard_build "$dir"
    done
    discard_stale_run_tmps
}

cmd_run() {
    require_root
    parse_binds "$@"
    ((${#REST[@]})) || die "run: no command given (run [--bind DIR]... -- CMD [ARG]...)"
    require_complete
    ensure_binfmt
    exec 9>"$LOCK_FILE"
    flock -s 9
    require_complete
    discard_stale_run_tmps
    local args=() bind
    for bind in "${BINDS[@]}"; do
        args+=(--bind "$bind")
    done
    exec unshare --mount --propagation private -- \
        "$BASH" "$SELF" __run-in-namespace "${args[@]}" -- "${REST[@]}"
}

# In the new mount namespace: mount, run the command, stop what it left.
RUN_PID=
run_in_namespace() {
    parse_binds "$@"
    local bind
    PRIVATE_TMP=$RUN_TMP_PREFIX$$
    for bind in "${BINDS[@]}"; do
        [[ $bind == /tmp ]] && PRIVATE_TMP=
    done
    if [[ -n $PRIVATE_TMP ]]; then
        mkdir -p "$PRIVATE_TMP"
        chmod 1777 "$PRIVATE_TMP"
    fi
    mount_into "$ROOT" "${BINDS[@]}"
    export VX_ARM64_ROOT=$ROOT
    local rc=0
    # CMD runs in the background so that these traps fire at once; such a job
    # starts with SIGINT ignored, so an interrupt is passed on as SIGTERM.
    trap 'run_signal TERM 143' TERM
    trap 'run_signal TERM 130' INT
    trap 'run_signal HUP 129' HUP
    "${REST[@]}" <&0 9>&- &
    RUN_PID=$!
    wait "$RUN_PID" || rc=$?
    RUN_PID=
    run_finish "$rc"
}

run_signal() {
    trap - TERM INT HUP
    if [[ -n $RUN_PID ]]; then
        kill "-$1" "$RUN_PID" 2>/dev/null || true
        wait "$RUN_PID" 2>/dev/null || true
    fi
    run_finish "$2"
}

run_finish() {
    stop_processes_in "$ROOT"
    if unmount_below "$ROOT"; then
        [[ -z $PRIVATE_TMP ]] || discard_run_tmp "$PRIVATE_TMP"
    else
        note "leaving $PRIVATE_TMP behind"
    fi
    exit "$1"
}

discard_run_tmp() {
    local dir=$1
    [[ -e $dir ]] || return 0
    if [[ -n $(mounts_below "$dir") ]]; then
        note "not removing $dir: something is mounted below it"
        return 0
    fi
    rm -rf --one-file-system -- "$dir" || note "could not remove all of $dir"
}

# The /tmp of runs that were killed before they could remove it.
discard_stale_run_tmps() {
    local dir pid
    for dir in "$RUN_TMP_PREFIX"*; do
        [[ -d $dir ]] || continue
        pid=${dir##*-}
        [[ $pid =~ ^[0-9]+$ ]] || continue
        kill -0 "$pid" 2>/dev/null && continue
        note "removing $dir (left by an earlier run)"
        discard_run_tmp "$dir"
    done
}

main() {
    local command=${1:-}
    (($#)) && shift
    case $command in
        setup) cmd_setup "$@" ;;
        path) cmd_path "$@" ;;
        run) cmd_run "$@" ;;
        mount) cmd_mount "$@" ;;
        unmount | umount) cmd_unmount "$@" ;;
        remove) cmd_remove "$@" ;;
        __build-step) build_step "$@" ;;
        __run-in-namespace) run_in_namespace "$@" ;;
        -h | --help | help) usage ;;
        *) usage; exit 2 ;;
    esac
}

main "$@"
