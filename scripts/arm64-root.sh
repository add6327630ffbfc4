#!/usr/bin/env bash
# An ARM64 Windows for the tests: a Debian 12 (bookworm) arm64 root that holds
# Debian's arm64 Wine 8, run on this x86-64 machine through qemu-user-static
# and binfmt_misc.  Needs root.
#
# Usage: bash scripts/arm64-root.sh COMMAND [ARGS]
#
#   setup       Builds the root once into the cache with mmdebstrap (about 3
#               to 4 minutes); later runs take well under a second.  Prints
#               the root's path as its last line of standard output (all
#               progress goes to standard error).  Each build step logs to
#               $VX_CACHE_DIR/logs/<root name>/<step>.log; a failing step
#               names itself and its log and shows the log's tail.  The root
#               is published, whole, only after its last step; an
#               interrupted or failed build is thrown away.
#   path        Prints the root's path; exits 1 when there is no complete root.
#   run -- CMD [ARG]...
#               Runs CMD with proc, sysfs (read-only), /dev and an empty /tmp
#               of its own mounted into the root.  CMD gets VX_ARM64_ROOT=<root>
#               and exits with CMD's exit code (130/143/129 when the run is
#               interrupted; SIGINT, SIGTERM and SIGHUP reach it as SIGTERM).
#               Several runs can share the root at the same time.
#   remove      Deletes the root.  Refuses while a setup or a run uses it.
#               The logs stay.
#
# Every mount that setup and run make lives in a mount namespace of their own,
# with a PID namespace (scripts/contain.sh): the rest of the machine never
# sees the mounts, and they end, with every process started inside, when the
# command ends, also when it is killed.  Files are deleted only once the
# namespaces that could have mounted something below them are gone, and only
# when this namespace's mount table, which must be readable, shows nothing
# mounted there.  binfmt_misc is mounted inside these namespaces too.
#
# The aarch64 interpreter (the qemu-aarch64 handler of binfmt_misc) belongs to
# the whole machine.  When it is missing, setup and run register it, from
# qemu-user-static's configuration, and the last setup or run that needs it
# removes it again when it ends: every setup and run holds
# /run/vxuninstall/binfmt.lock (shared) while it may start aarch64 programs,
# and /run/vxuninstall/binfmt.ours records that the handler is one of ours.
# A handler or a binfmt_misc that is disabled is never enabled: setup and run
# stop and say how to enable it.
#
# The Debian packages it needs (qemu-user-static, mmdebstrap, arch-test,
# debian-archive-keyring) are installed by scripts/install-deps.sh; this
# script only says which are missing.
#
# Environment:
#   VX_CACHE_DIR       where roots are kept (default /var/cache/vxuninstall;
#                      see scripts/cache.sh, which also prunes old roots)
#   VX_DEBIAN_MIRROR   Debian mirror for building (default: the one this
#                      machine's apt uses, see scripts/debian-mirror.sh)
#
# Running Wine inside (as root, in a run; /usr/lib/wine is not on PATH inside;
# the launcher is /usr/lib/wine/wine64, the server /usr/lib/wine/wineserver;
# make the HOME directory first):
#   env -i PATH=/usr/bin:/bin HOME=/tmp/h WINEPREFIX=/tmp/pfx WINEDEBUG=-all \
#       WINEDLLOVERRIDES='mscoree,mshtml=' \
#       /usr/sbin/chroot "$VX_ARM64_ROOT" /usr/lib/wine/wine64 wineboot -i
# The prefix and HOME are paths inside the root (host: $VX_ARM64_ROOT/tmp/pfx).
# Only ARM64 Windows programs run there; x86 and x64 ones do not.
set -euo pipefail

readonly HOST_PACKAGES=(qemu-user-static mmdebstrap arch-test debian-archive-keyring)
readonly BINFMT_DIR=/proc/sys/fs/binfmt_misc
readonly BINFMT_NAME=qemu-aarch64
readonly BINFMT_CONF=/usr/lib/binfmt.d/qemu-aarch64.conf
# The machine's, as the handler is, and like it gone at the next boot.
readonly BINFMT_STATE=/run/vxuninstall

SELF=$(realpath -- "${BASH_SOURCE[0]}")
HERE=$(dirname -- "$SELF")
note() { printf 'arm64-root: %s\n' "$*" >&2; }
die() { printf 'arm64-root: error: %s\n' "$*" >&2; exit 1; }
# shellcheck source=cache.sh
source "$HERE/cache.sh"

NAME=$ROOT_NAME
ROOT=$CACHE_DIR/$NAME
LOG_DIR=$CACHE_DIR/logs/$NAME
# One directory for each setup or run: its lock, the record of its
# namespaces, and the root being built or the run's /tmp.
JOBS=$CACHE_DIR/.$NAME.jobs
readonly SELF HERE NAME ROOT LOG_DIR JOBS

usage() {
    sed -n '2,/^set -euo/p' "$SELF" | sed '$d; s/^# \{0,1\}//' >&2
}

require_root() {
    ((EUID == 0)) || die "must run as root"
}

require_host_packages() {
    bash "$HERE/install-deps.sh" --check "${HOST_PACKAGES[@]}" || exit 1
}

is_complete() {
    [[ -d $ROOT && -f $ROOT/$ROOT_MARKER ]]
}

require_complete() {
    is_complete || die "no complete root at $ROOT; run: bash scripts/arm64-root.sh setup"
}

# ---- jobs ---------------------------------------------------------------------

# JOBS is changed only under its own lock: a job directory is never seen
# without its lock file.
jobs_locked() {
    local fd status=0
    mkdir -p "$JOBS"
    exec {fd}>"$JOBS.lock"
    flock -x "$fd"
    "$@" || status=$?
    exec {fd}>&-
    return "$status"
}

# A new job directory in JOB, locked for as long as this process and its
# children live, after removing those of setups and runs that were killed
# (clear_jobs).  KIND is build, run or removed.
JOB=
begin_job() {
    local fd
    clear_jobs "$JOBS" || true
    JOB=$(mktemp -d "$JOBS/$1.XXXXXX")
    exec {fd}>"$JOB/lock"
    flock -x "$fd"
}

# Runs "$SELF INNER JOB ARG..." in the job's namespaces; returns its status.
# Inner commands check that they were given a job directory of this root.
in_job_namespace() {
    local inner=$1
    shift
    contain --record "$JOB/init" -- "$BASH" "$SELF" "$inner" "$JOB" "$@"
}

# Inner commands work only inside their job's namespaces, on a job
# directory of their kind: their mounts must never reach the caller's.
require_job() {
    local job=$1 kind=$2
    contain_inside || die "the $kind step runs only inside the namespaces that setup and run make"
    [[ -n $job && $job == "$JOBS/$kind".* && $job != */../* && -d $job && ! -L $job ]] ||
        die "$job is not a $kind job directory below $JOBS"
}

# ---- inside the namespaces ----------------------------------------------------

# Every setup and run holds the handler (binfmt.lock, shared) from before its
# namespaces start until they have ended.
binfmt_hold() {
    mkdir -p -m 755 "$BINFMT_STATE"
    exec 8>"$BINFMT_STATE/binfmt.lock"
    flock -s 8
}

# Mounts this namespace's binfmt_misc and takes the lock under which the
# handler is checked, registered and removed.  The namespace's /proc is new:
# a binfmt_misc that the machine mounts (systemd does) lies on its old one,
# hidden, and shows in the mount table all the same.  So the files decide.
binfmt_open() {
    if [[ ! -e $BINFMT_DIR/register ]]; then
        mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" || die "cannot mount $BINFMT_DIR"
    fi
    exec 7>"$BINFMT_STATE/binfmt.change.lock"
    flock -x 7
}

# Makes aarch64 programs start through qemu.  The binfmt_misc mount is this
# namespace's; the handler is the machine's.
ensure_binfmt() {
    local entry=$BINFMT_DIR/$BINFMT_NAME interpreter flags
    [[ -x /usr/bin/qemu-aarch64-static ]] || die "qemu-user-static is not installed"
    binfmt_open
    [[ $(cat "$BINFMT_DIR/status") == enabled ]] ||
        die "binfmt_misc is disabled on this machine; enable it with: echo 1 > $BINFMT_DIR/status"
    if [[ ! -e $entry ]]; then
        [[ -f $BINFMT_CONF ]] || die "$BINFMT_CONF is missing (qemu-user-static)"
        grep -v '^[#;]' "$BINFMT_CONF" | grep -m1 . >"$BINFMT_DIR/register" ||
            die "cannot register $BINFMT_CONF with binfmt_misc"
        : >"$BINFMT_STATE/binfmt.ours"
    fi
    [[ $(head -n1 "$entry") == enabled ]] ||
        die "the binfmt_misc handler $BINFMT_NAME is disabled; enable it with: echo 1 > $entry"
    exec 7>&-
    interpreter=$(sed -n 's/^interpreter //p' "$entry")
    flags=$(sed -n 's/^flags: *//p' "$entry")
    [[ -x $interpreter ]] || die "the aarch64 interpreter $interpreter is missing"
    # With F the kernel opens the interpreter at registration, so it need not
    # exist inside the root.
    [[ $flags == *F* ]] ||
        die "$entry lacks the F flag (flags: $flags); remove it (echo -1 > $entry)" \
            "and run again"
}

# After a setup or run: lets go of the handler and, when it is ours and no
# other setup or run holds it, removes it (in namespaces of its own).
binfmt_release() {
    exec 8>&-
    [[ -e $BINFMT_STATE/binfmt.ours ]] || return 0
    contain -- "$BASH" "$SELF" __binfmt_release ||
        { note "could not remove the binfmt_misc handler $BINFMT_NAME"; return 1; }
}

inner_binfmt_release() {
    contain_inside || die "__binfmt_release runs only inside namespaces of its own"
    binfmt_open
    exec 8>"$BINFMT_STATE/binfmt.lock"
    flock -n -x 8 || return 0
    [[ -e $BINFMT_STATE/binfmt.ours ]] || return 0
    if [[ -e $BINFMT_DIR/$BINFMT_NAME ]]; then
        echo -1 >"$BINFMT_DIR/$BINFMT_NAME"
        note "removed the binfmt_misc handler $BINFMT_NAME (registered for the arm64 root)"
    fi
    rm -f -- "$BINFMT_STATE/binfmt.ours"
}

# A path inside the root DIR, refused when a symbolic link on the way would
# lead out of it.
inner_path() {
    local path=$1$2
    [[ $(realpath -m -- "$path") == "$path" ]] ||
        die "$path leads outside the root (symbolic link); not mounting there"
    printf '%s\n' "$path"
}

# proc (of this PID namespace), read-only sysfs (Wine reads the processor
# topology there) and /dev into the root DIR; with TMP, also TMP on /tmp.
# The namespace's mounts are private, so the copies of /dev are too.
mount_into() {
    local dir=$1 tmp=${2:-}
    mount -t proc -o nosuid,nodev,noexec proc "$(inner_path "$dir" /proc)"
    mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$(inner_path "$dir" /sys)"
    mount --rbind /dev "$(inner_path "$dir" /dev)"
    if [[ -n $tmp ]]; then
        mount --bind "$tmp" "$(inner_path "$dir" /tmp)"
    fi
}

STEP_NO=0
run_step() {  # run_step NAME FUNCTION [ARG]...: one build step, with its own log
    local name=$1 log start=$SECONDS rc
    shift
    STEP_NO=$((STEP_NO + 1))
    log=$LOG_DIR/$STEP_NO-$name.log
    note "step $name (log: $log)"
    set +e
    (set -euxo pipefail; "$@") </dev/null >"$log" 2>&1
    rc=$?
    set -e
    if ((rc)); then
        note "step '$name' failed (exit code $rc); log: $log"
        echo "---- last lines of $log ----" >&2
        tail -n 25 "$log" >&2
        echo "----" >&2
        exit 1
    fi
    note "step $name done ($((SECONDS - start)) s)"
}

build_with_mmdebstrap() {
    local dir=$1 mirror=$2
    # Its temporary files go with the job, also when it is interrupted.
    export TMPDIR=$dir.tmp
    mkdir "$TMPDIR"
    # mmdebstrap's unshare mode does its own mounts in namespaces of its own.
    mmdebstrap --mode=unshare --variant="$ROOT_VARIANT" --arch=arm64 \
        --include="$(IFS=,; echo "${ROOT_PACKAGES[*]}")" \
        --aptopt='APT::Install-Recommends "false"' \
        --aptopt='APT::Install-Suggests "false"' \
        --aptopt='Acquire::Languages "none"' \
        --dpkgopt='path-exclude=/usr/share/doc/*' \
        --dpkgopt='path-include=/usr/share/doc/*/copyright' \
        --dpkgopt='path-exclude=/usr/share/man/*' \
        --dpkgopt='path-exclude=/usr/share/info/*' \
        --dpkgopt='force-unsafe-io' \
        --customize-hook='rm -f "$1/etc/resolv.conf"' \
        "$ROOT_SUITE" "$dir" "$mirror"
}

check_root() {
    local dir=$1 version
    [[ -x $dir/usr/lib/wine/wine64 && -x $dir/usr/lib/wine/wineserver ]]
    # The kernel opened the interpreter itself (F flag): no copy inside.
    [[ ! -e $dir$(sed -n 's/^interpreter //p' "$BINFMT_DIR/$BINFMT_NAME") ]]
    mount_into "$dir"
    version=$(env -i PATH=/usr/bin:/bin HOME=/tmp WINEDEBUG=-all \
        /usr/sbin/chroot "$dir" /usr/lib/wine/wine64 --version)
    echo "wine64 --version: $version"
    [[ $version == "wine-$ROOT_WINE_SERIES"* ]]
    {
        echo "name=$NAME"
        echo "suite=$ROOT_SUITE"
        echo "variant=$ROOT_VARIANT"
        echo "packages=${ROOT_PACKAGES[*]}"
        echo "wine=$version"
        echo "built=$(date -u +%Y-%m-%dT%H:%M:%SZ)"
    } >"$dir/$ROOT_MARKER"
}

# __build JOB MIRROR: builds JOB/root, in the job's namespaces.
inner_build() {
    local job=$1 mirror=$2
    require_job "$job" build
    ensure_binfmt
    run_step mmdebstrap build_with_mmdebstrap "$job/root" "$mirror"
    run_step check check_root "$job/root"
}

# __run JOB CMD...: mounts into the root and becomes CMD.
inner_run() {
    local job=$1
    shift
    require_job "$job" run
    ensure_binfmt
    mount_into "$ROOT" "$job/tmp"
    export VX_ARM64_ROOT=$ROOT
    exec "$@"
}

# ---- commands -----------------------------------------------------------------

cmd_setup() {
    require_root
    cache_open
    require_host_packages
    if ! is_complete; then
        if ! cache_lock -n -x "$NAME"; then
            note "waiting for the root's lock (another setup or a run holds it)"
            flock -x "$CACHE_LOCK_FD"
        fi
        if ! is_complete; then
            [[ ! -e $ROOT ]] || die "$ROOT exists but is not marked complete; run remove first"
            build_root
        fi
        exec {CACHE_LOCK_FD}>&-
    fi
    printf '%s\n' "$ROOT"
}

build_root() {
    local start=$SECONDS mirror rc=0
    mirror=$(bash "$HERE/debian-mirror.sh")
    jobs_locked begin_job build
    mkdir -p "$LOG_DIR"
    rm -f "$LOG_DIR"/*.log
    note "building $ROOT from $mirror"
    binfmt_hold
    in_job_namespace __build "$mirror" || rc=$?
    # The namespaces are gone now, and with them every mount made there.
    binfmt_release || ((rc)) || rc=1
    if ((rc == 0)); then
        [[ -f $JOB/root/$ROOT_MARKER ]] || die "the build ended without marking the root complete"
        mv -T -- "$JOB/root" "$ROOT"
    else
        note "removing the unfinished build"
    fi
    remove_tree "$JOB"
    ((rc == 0)) || exit "$rc"
    note "built $ROOT in $((SECONDS - start)) s"
}

cmd_path() {
    cache_check
    is_complete || { note "no complete root at $ROOT"; exit 1; }
    printf '%s\n' "$ROOT"
}

cmd_remove() {
    require_root
    cache_open
    cache_lock -n -x "$NAME" || die "the root is in use (a run or a setup holds its lock); not removing"
    jobs_locked begin_job removed
    if [[ -e $ROOT ]]; then
        # Out of the way first, so that a removal cut short never leaves a
        # root that looks complete.
        require_unmounted "$ROOT"
        mv -T -- "$ROOT" "$JOB/root"
        note "removing $ROOT"
    fi
    remove_tree "$JOB"
}

cmd_run() {
    require_root
    [[ ${1:-} == -- ]] && shift
    (($#)) || die "run: no command given (run -- CMD [ARG]...)"
    cache_open
    require_host_packages
    cache_lock -s "$NAME"
    require_complete
    jobs_locked begin_job run
    mkdir -m 1777 "$JOB/tmp"
    local rc=0
    binfmt_hold
    in_job_namespace __run "$@" || rc=$?
    binfmt_release || ((rc)) || rc=1
    remove_tree "$JOB"
    exit "$rc"
}

main() {
    local command=${1:-}
    (($#)) && shift
    case $command in
        setup) cmd_setup "$@" ;;
        path) cmd_path "$@" ;;
        run) cmd_run "$@" ;;
        remove) cmd_remove "$@" ;;
        __build) inner_build "$@" ;;
        __run) inner_run "$@" ;;
        __binfmt_release) inner_binfmt_release ;;
        -h | --help | help) usage ;;
        *) usage; exit 2 ;;
    esac
}

main "$@"
