#!/usr/bin/env bash
# The cache that holds the ARM64 toolchain (scripts/arm64-toolchain.sh) and
# the arm64 root (scripts/arm64-root.sh): where it is, whether it may be
# trusted, the names of what it holds, their locks, and deleting there.
# Sourced by those two scripts; run on its own it has one command:
#
#   bash scripts/cache.sh prune
#
# removes what the current recipes no longer use: every toolchain but the one
# for this machine's clang-14, every arm64 root but the current one, their
# locks and logs, and what unfinished builds left.  It keeps, names and exits
# 1 for anything in use (locked) and deletes nothing that has a mount below
# it.  Needs root.
#
# The cache is VX_CACHE_DIR (default /var/cache/vxuninstall), made absolute.
# Everything in it is run as root, so it is refused unless it and every
# directory above it belong to root and only root can write to them; a
# directory above it that others may write to is accepted when it is sticky
# (as /tmp is), since then nobody but root can rename or remove what root put
# there.
#
# Each toolchain or root NAME in the cache has a lock file .NAME.lock: a use
# (a build with the toolchain, a run in the root) holds it shared, a setup
# that builds the root and its removal exclusively, and prune takes it
# exclusively without waiting.  Toolchain builds, one at a time, hold
# <triple>.lock.

CACHE_DIR=$(realpath -m -- "${VX_CACHE_DIR:-/var/cache/vxuninstall}")
CACHE_SCRIPT=$(realpath -- "${BASH_SOURCE[0]}")
# shellcheck source=contain.sh
source "$(dirname -- "$CACHE_SCRIPT")/contain.sh"

# ---- what is cached, and under which names -------------------------------------

# The arm64 root: its name records its recipe.
readonly ROOT_SUITE=bookworm
readonly ROOT_VARIANT=minbase
readonly ROOT_WINE_SERIES=8.0
readonly ROOT_PACKAGES=(wine wine64)
# Bump when the way the root is built changes, so that a new root is made.
readonly ROOT_RECIPE=2
ROOT_NAME=arm64-root_${ROOT_SUITE}_wine-${ROOT_WINE_SERIES}_$(
    printf '%s\n' "$ROOT_SUITE" arm64 "$ROOT_VARIANT" "${ROOT_PACKAGES[*]}" "$ROOT_RECIPE" |
        sha256sum | cut -c1-8)
readonly ROOT_MARKER=.vx-arm64-root-complete

# The ARM64 toolchain.
readonly TRIPLE=aarch64-w64-mingw32
readonly LLVM_BIN=/usr/lib/llvm-14/bin
# The C runtime the toolchain targets: the Universal CRT, through the
# api-ms-win-crt-* API sets that every Windows 10 and 11 has (ARM64 Windows
# starts at 10). It is the C runtime Windows itself maintains for
# applications, with C99 conformance; msvcrt.dll is kept only for
# compatibility with old programs.
readonly TOOLCHAIN_CRT=ucrt
# Raise when the way the toolchain is built changes, so that cached
# toolchains built the old way are rebuilt.
readonly TOOLCHAIN_RECIPE=2
readonly TOOLCHAIN_MARKER=.vx-toolchain-complete

# Sets TOOLCHAIN_FOR, the last line of the marker of a toolchain that serves
# this machine, and TOOLCHAIN_STEM, the start of its name; the name goes on
# with the versions of the mingw-w64 and llvm-toolchain-14 sources, which
# only a build learns:  STEM_mingw-w64-<version>_llvm-<version>.  Epochs are
# left out of names: a colon would end a PATH entry.
toolchain_identity() {
    local clang
    clang=$(dpkg-query -W -f='${Version}' clang-14) && [[ -n $clang ]] ||
        die "clang-14 is not installed"
    TOOLCHAIN_FOR="for: crt=$TOOLCHAIN_CRT recipe=$TOOLCHAIN_RECIPE clang-14=$clang"
    TOOLCHAIN_FOR+=" resource=$("$LLVM_BIN/clang" -print-resource-dir)"
    TOOLCHAIN_STEM=${TRIPLE}_${TOOLCHAIN_CRT}-r${TOOLCHAIN_RECIPE}_clang-${clang#*:}
}

# The complete toolchain for this machine built from the newest sources, if
# any (toolchain_identity first).
toolchain_find() {
    local dir found=()
    for dir in "$CACHE_DIR/$TOOLCHAIN_STEM"_mingw-w64-*_llvm-*; do
        case $dir in *.partial | *.work) continue ;; esac
        [[ -f $dir/$TOOLCHAIN_MARKER && "$(tail -n 1 "$dir/$TOOLCHAIN_MARKER")" == "$TOOLCHAIN_FOR" ]] &&
            found+=("$dir")
    done
    ((${#found[@]})) && printf '%s\n' "${found[@]}" | sort -V | tail -n 1
}

# ---- trusting the cache ---------------------------------------------------------

# Stops the script unless every existing directory of the path to the cache
# is root's and writable by root alone (above the cache: or sticky).
cache_check() {
    local dir=$CACHE_DIR owner mode
    while :; do
        if [[ -e $dir || -L $dir ]]; then
            [[ -d $dir && ! -L $dir ]] || die "refusing the cache $CACHE_DIR: $dir is not a directory"
            read -r owner mode <<<"$(stat -c '%u %a' -- "$dir")"
            ((owner == 0)) || die "refusing the cache $CACHE_DIR: $dir belongs to user $owner, not root"
            if ((8#$mode & 8#022)) && { [[ $dir == "$CACHE_DIR" ]] || ! ((8#$mode & 8#1000)); }; then
                die "refusing the cache $CACHE_DIR: others can write to $dir (mode $mode)"
            fi
        fi
        [[ $dir != / ]] || return 0
        dir=$(dirname -- "$dir")
    done
}

# Checks the cache, makes it when it is missing, and checks it again.
cache_open() {
    cache_check
    [[ -d $CACHE_DIR ]] || (umask 022 && mkdir -p -- "$CACHE_DIR")
    cache_check
}

# cache_lock FLOCK_OPTION... NAME: takes the lock of NAME in the cache on a
# new descriptor, CACHE_LOCK_FD; returns flock's status (with -n: 1 when it
# is held elsewhere).
cache_lock() {
    exec {CACHE_LOCK_FD}>"$CACHE_DIR/.${*: -1}.lock"
    flock "${@:1:$#-1}" "$CACHE_LOCK_FD"
}

# ---- deleting -------------------------------------------------------------------

# Mount points at DIR or below it in this mount namespace.  Fails, printing
# nothing, when the mount table cannot be read: nothing may then be deleted.
mounts_below() {
    local dir=$1 table target
    table=$(</proc/self/mountinfo) || return 1
    [[ -n $table ]] || return 1
    while read -r _ _ _ _ target _; do
        printf -v target '%b' "${target//\\/\\0}"
        [[ $target == "$dir" || $target == "$dir"/* ]] && printf '%s\n' "$target"
    done <<<"$table"
    return 0
}

# Stops the script unless the mount table shows nothing at or below DIR.
require_unmounted() {
    local dir=$1 mounts
    mounts=$(mounts_below "$dir") || die "not removing $dir: the mount table cannot be read"
    [[ -z $mounts ]] || die "not removing $dir: mounted below it: ${mounts//$'\n'/, }"
}

# Deletes DIR, which must lie in the cache, unless anything is mounted at or
# below it (or the mount table cannot be read).
remove_tree() {
    local dir=$1
    [[ $dir == "$CACHE_DIR"/?* ]] || die "not removing $dir: it is not in $CACHE_DIR"
    [[ -e $dir || -L $dir ]] || return 0
    require_unmounted "$dir"
    rm -rf --one-file-system -- "$dir"
}

# Removes the job directories in JOBS (of setups and runs of a root) whose
# lock is free and whose namespaces are gone: those of jobs that were killed
# before they could remove their own.  Fails when a job is left.
clear_jobs() {
    local job fd left=0
    for job in "$1"/*; do
        [[ -d $job ]] || continue
        exec {fd}<>"$job/lock"
        if ! flock -n "$fd"; then
            left=1
        elif contain_ended "$job/init"; then
            note "removing $job (left by an earlier setup or run)"
            remove_tree "$job"
        else
            note "not removing $job yet: its processes are still ending"
            left=1
        fi
        exec {fd}<&-
    done
    return "$left"
}

# ---- prune ----------------------------------------------------------------------

# Removes NAME and what belongs to it, with its lock held, unless it is in use.
prune_one() {
    local name=$1 dir=$CACHE_DIR/$1
    if ! cache_lock -n -x "$name"; then
        note "keeping $dir: it is in use"
        return 1
    fi
    if [[ $name == arm64-root_* && -d $CACHE_DIR/.$name.jobs ]]; then
        (exec 9>"$CACHE_DIR/.$name.jobs.lock" && flock -x 9 && clear_jobs "$CACHE_DIR/.$name.jobs") || {
            note "keeping $dir: a setup or run of it has not ended yet"
            return 1
        }
        remove_tree "$CACHE_DIR/.$name.jobs"
        rm -f -- "$CACHE_DIR/.$name.jobs.lock"
    fi
    if [[ -e $dir ]]; then
        note "removing $dir"
        remove_tree "$dir"
    fi
    remove_tree "$CACHE_DIR/logs/$name"
    rm -f -- "$CACHE_DIR/.$name.lock"
    exec {CACHE_LOCK_FD}>&-
}

cache_prune() {
    local current entry name status=0
    ((EUID == 0)) || die "must run as root"
    cache_check
    [[ -d $CACHE_DIR ]] || return 0
    toolchain_identity
    current=$(toolchain_find) || current=
    # The lock of toolchain builds: unfinished builds' leftovers go only when
    # no build is running.
    exec 8>"$CACHE_DIR/$TRIPLE.lock"
    if flock -n 8; then
        for entry in "$CACHE_DIR/$TRIPLE"_*.partial "$CACHE_DIR/$TRIPLE"_*.work \
            "$CACHE_DIR/$TRIPLE.downloads"; do
            [[ -e $entry ]] || continue
            note "removing $entry (left by an unfinished build)"
            remove_tree "$entry"
        done
    else
        note "a toolchain build is running: keeping what unfinished builds left"
    fi
    exec 8>&-
    for entry in "$CACHE_DIR/$TRIPLE"_* "$CACHE_DIR"/arm64-root_* "$CACHE_DIR"/.arm64-root_*.jobs; do
        [[ -d $entry ]] || continue
        name=${entry##*/}
        name=${name#.}
        name=${name%.jobs}
        case $name in
            *.partial | *.work | "$ROOT_NAME" | "${current##*/}") continue ;;
        esac
        [[ -e $CACHE_DIR/$name || -e $CACHE_DIR/.$name.jobs ]] || continue
        prune_one "$name" || status=1
    done
    return "$status"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -euo pipefail
    note() { printf 'cache: %s\n' "$*" >&2; }
    die() { printf 'cache: error: %s\n' "$*" >&2; exit 1; }
    case ${1:-} in
        prune) cache_prune ;;
        *) sed -n '2,/^$/p' "$CACHE_SCRIPT" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
    esac
fi
