#!/usr/bin/env bash
# Runs a command in a mount namespace and a PID namespace of its own, so that
# whatever it mounts is never seen by the rest of the machine and whatever it
# starts ends with it.  Needs root.
#
#   bash scripts/contain.sh [--record FILE] -- CMD [ARG]...
#
# or, sourced by another script, the function `contain` with the same
# arguments.  CMD starts with the mounts of the caller, made private (nothing
# mounted on either side reaches the other), a /proc of its own and, when the
# machine has a /run/user, an empty one of its own (a tmpfs), so that nothing
# inside (Wine's server directories, say) uses or fills the machine's login
# sessions' runtime directories.
#
# The namespaces end when CMD ends: the kernel then stops every process still
# running in them (a daemon CMD started, say) and drops their mounts.  They
# also end when the caller dies, even by SIGKILL: unshare gets SIGKILL when its
# parent dies, and the namespace's first process when unshare dies.  SIGTERM,
# SIGINT and SIGHUP sent to the caller reach every process in the namespace as
# SIGTERM; whatever has not ended 30 s later is killed (the 30 s are counted
# by a sleep that dies with the caller, and the caller itself kills, so a
# caller killed meanwhile leaves no timer behind).  `contain` returns, and
# the command exits, only after every process of the namespace has ended,
# with CMD's exit status (130, 143 or 129 when interrupted).
#
# --record FILE writes "PID START" of the namespace's first process (its
# process ID outside and its start time) to FILE before anything is mounted.
# `contain_ended FILE` (or `bash scripts/contain.sh --ended FILE`) then
# succeeds when those namespaces are certainly gone, or never had a mount:
# after a caller was killed, the files it used may be removed then.
# `contain_inside` succeeds only when called inside such namespaces.

# How long processes get to end after SIGTERM before they are killed.
CONTAIN_GRACE=30
CONTAIN_SCRIPT=$(realpath -- "${BASH_SOURCE[0]}")

contain() {
    local record=
    if [[ ${1:-} == --record ]]; then
        record=$2
        shift 2
    fi
    [[ ${1:-} == -- ]] && shift
    (($#)) || { echo "contain: no command given" >&2; return 2; }

    setpriv --pdeathsig KILL -- \
        unshare --mount --propagation private --pid --fork --kill-child -- \
        "$BASH" "$CONTAIN_SCRIPT" __init "$record" "$@" <&0 &
    local unshare_pid=$! status ended interrupted= timer=
    # The namespace's first process, unshare's only child: its ID stays its
    # own while it is listed there (unshare, not yet waited for here, has not
    # reaped it).
    _contain_first() {
        local first=
        read -r first _ 2>/dev/null <"/proc/$unshare_pid/task/$unshare_pid/children" || true
        printf '%s' "$first"
    }
    _contain_stop() {
        interrupted=${interrupted:-$1}
        [[ -z $timer ]] || return 0
        local first
        first=$(_contain_first)
        if [[ -z $first ]]; then
            # Not started yet: unshare ends, and its child with it.
            timer=none
            kill -KILL "$unshare_pid" 2>/dev/null || true
            return 0
        fi
        kill -TERM "$first" 2>/dev/null || true
        # The grace: a sleep that gets SIGKILL when this shell dies.
        setpriv --pdeathsig KILL -- sleep "$CONTAIN_GRACE" &
        timer=$!
    }
    trap '_contain_stop 143' TERM
    trap '_contain_stop 130' INT
    trap '_contain_stop 129' HUP
    # wait returns early for each trapped signal, and when the grace is over;
    # unshare is gone only when its child, and so every process of the
    # namespace, has ended.
    while :; do
        status=0 ended=
        if [[ $timer == [0-9]* ]]; then
            wait -n -p ended "$unshare_pid" "$timer" || status=$?
        else
            wait -n -p ended "$unshare_pid" || status=$?
        fi
        [[ ${ended:-} != "$unshare_pid" ]] || break
        if [[ -n ${ended:-} ]]; then
            timer=over
            local first
            first=$(_contain_first)
            [[ -z $first ]] || kill -KILL "$first" 2>/dev/null || true
        fi
    done
    trap - TERM INT HUP
    [[ $timer != [0-9]* ]] || kill "$timer" 2>/dev/null || true
    return "${interrupted:-$status}"
}

contain_ended() {
    local record=$1 pid start stat fields
    [[ -e $record ]] || return 0
    read -r pid start <"$record" || return 1
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    read -r stat 2>/dev/null <"/proc/$pid/stat" || return 0
    # The fields after "(command)": state first, the start time 20th.
    read -ra fields <<<"${stat##*) }"
    # Another process with the same ID, or the first process has exited
    # (a zombie): the kernel ends the namespace's other processes before that.
    [[ ${fields[19]} != "$start" || ${fields[0]} == Z ]]
}

# Succeeds only inside namespaces that `contain` made: the first process of
# this PID namespace is contain's, in this mount namespace.
contain_inside() {
    local cmdline
    [[ /proc/1/ns/mnt -ef /proc/self/ns/mnt ]] || return 1
    cmdline=$(tr '\0' ' ' </proc/1/cmdline) 2>/dev/null || return 1
    [[ $cmdline == *" $CONTAIN_SCRIPT __init "* ]]
}

# The namespace's first process: records itself, mounts its own /proc, runs
# CMD and passes signals on to everything in the namespace.
_contain_init() {
    local record=$1 stat fields cmd status
    shift
    # kill -1 below must reach this namespace only.
    (($$ == 1)) || { echo "contain: not the first process of a PID namespace" >&2; exit 1; }
    if [[ -n $record ]]; then
        # /proc is still the caller's here, so this is the ID seen outside.
        read -r stat </proc/self/stat
        read -ra fields <<<"${stat##*) }"
        printf '%s %s\n' "${stat%% *}" "${fields[19]}" >"$record.tmp"
        mv -f -- "$record.tmp" "$record"
    fi
    mount -t proc -o nosuid,nodev,noexec proc /proc
    if [[ -d /run/user ]]; then
        mount -t tmpfs -o nosuid,nodev,noexec,mode=0755,size=64m tmpfs /run/user
    fi
    # A background job would start with standard input on /dev/null.
    "$@" <&0 &
    cmd=$!
    # kill -1 from the first process reaches every other process of the
    # namespace.
    trap 'kill -TERM -1 2>/dev/null' TERM INT HUP
    while :; do
        status=0
        wait "$cmd" || status=$?
        kill -0 "$cmd" 2>/dev/null || break
    done
    exit "$status"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -euo pipefail
    case ${1:-} in
        __init) shift; _contain_init "$@" ;;
        --ended) contain_ended "$2" ;;
        *) contain "$@" ;;
    esac
fi
