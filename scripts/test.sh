#!/usr/bin/env bash
# Runs every test: the host tests over the simulated Windows (GoogleTest with
# AddressSanitizer and UBSan), a bounded libFuzzer run over argument lists,
# the tests of the scripts that run the end-to-end tests, and the end-to-end
# tests under Wine with real Windows Installer packages, once for each
# target: build/windows/vxuninstall.exe (x86-64) under the host's Wine and
# build/arm64/vxuninstall.exe (ARM64) under the arm64 Wine of an arm64 Debian
# root. Installs what it needs first, and makes the ARM64 toolchain and the
# root on first use. Ends with one line "tests: N passed, N failed, N skipped".
#
# A suite counts only from the summary line that its runner prints once it
# has finished, and only when the runner also exits with 0: a runner that
# dies or is killed counts as a failure, and so does a suite that ran no
# test. Skipped tests are counted apart (ctest's own summary counts them as
# passed). The end-to-end suites run in PID namespaces of their own, so
# nothing they start outlives them.
#
# The suites run in a process group of their own: SIGINT, SIGTERM or SIGHUP
# sent to this script sends them SIGTERM and waits for them to end (a second
# such signal kills them), and the script's own temporary files go with it.
#
#   VX_FUZZ_SECONDS   length of the fuzzing run (30)
#   VX_WINE_JOBS      end-to-end test modules run at once, per target (5)
set -uo pipefail

passed=0
failed=0
skipped=0

# summary LOG PATTERN: the last line of LOG that matches the extended regular
# expression PATTERN, or nothing.
summary() {
    grep -E "$2" "$1" | tail -n 1
}

# add LOG STATUS PASSED FAILED [SKIPPED]: adds a suite's counts to the
# totals; without SKIPPED, the skips are those of LOG's last "<what>: N
# passed, N failed, N skipped" line. Without counts (no summary line) the
# suite counts as one failure, and so does a suite that ran no test, and a
# non-zero exit STATUS when the counts name no failure.
add() {
    local log=$1 status=$2 p=$3 f=$4 s=${5-}
    if [[ -z $p || -z $f ]]; then
        echo "== no summary line in $log (exit status $status): counted as a failure"
        failed=$((failed + 1))
        return
    fi
    if [[ $# -lt 5 ]]; then
        s=$(sed -nE 's/^[^:]*: [0-9]+ passed, [0-9]+ failed, ([0-9]+) skipped$/\1/p' "$log" |
            tail -n 1)
    fi
    s=${s:-0}
    passed=$((passed + p))
    failed=$((failed + f))
    skipped=$((skipped + s))
    if ((p + f + s == 0)); then
        echo "== $log: no test ran: counted as a failure"
        failed=$((failed + 1))
    elif ((status != 0 && f == 0)); then
        echo "== $log: exit status $status: counted as a failure"
        failed=$((failed + 1))
    fi
}

# host_suite BUILD LOG: runs the ctest suite of the build directory BUILD
# with its output also in LOG, and adds its counts. ctest's line
# "100% tests passed, 0 tests failed out of 228" counts the skipped tests
# (GTEST_SKIP, marked Skipped through the discovered tests'
# SKIP_REGULAR_EXPRESSION) as passed, and leaves disabled ones out; both are
# listed below "The following tests did not run:".
host_suite() {
    local build=$1 log=$2 status line total bad skips disabled
    ctest --test-dir "$build" --output-on-failure -j"$(nproc)" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    line=$(summary "$log" '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+')
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -nE 's/.* ([0-9]+) tests failed.*/\1/p' <<<"$line")
    skips=$(not_run "$log" Skipped)
    disabled=$(not_run "$log" Disabled)
    add "$log" "$status" "${line:+$((total - bad - skips))}" "$bad" "$((skips + disabled))"
}

# not_run LOG WHY: how many tests ctest's LOG lists as not run for WHY.
not_run() {
    sed -n '/^The following tests did not run:$/,/^$/p' "$1" |
        grep -cE "^[[:space:]]+[0-9]+ - .* \\($2\\)\$"
}

closing_line() {
    echo "tests: $passed passed, $failed failed, $skipped skipped"
}

# supervise CMD...: runs CMD in a process group (and session) of its own,
# with VX_TEST_TMP, a temporary directory that is removed when CMD has
# ended. SIGINT, SIGTERM and SIGHUP send SIGTERM to the group and wait for
# CMD (which waits for what it runs, see end_on_signals); a second one sends
# SIGKILL. Exits with CMD's status, or 128 + the signal's number.
supervise() {
    local tmp pid status signalled=
    tmp=$(mktemp -d "${TMPDIR:-/tmp}/vx-test-sh.XXXXXX") || exit 1
    VX_TEST_TMP=$tmp setsid "$@" &
    pid=$!
    _supervise_stop() {
        if [[ -z $signalled ]]; then
            signalled=$1
            kill -TERM -- "-$pid" 2>/dev/null
        else
            kill -KILL -- "-$pid" 2>/dev/null
        fi
    }
    trap '_supervise_stop 130' INT
    trap '_supervise_stop 143' TERM
    trap '_supervise_stop 129' HUP
    # wait returns early for each trapped signal; the group's leader is
    # waited for here, so its ID is not reused while the loop runs.
    while :; do
        status=0
        wait "$pid" || status=$?
        kill -0 "$pid" 2>/dev/null || break
    done
    trap - INT TERM HUP
    rm -rf -- "$tmp"
    exit "${signalled:-$status}"
}

# In the suites' shell: on a signal the suite that is running ends (its
# processes get the signal too), then the script, with 128 + the signal's
# number. A trapped signal only runs its trap once the command in the
# foreground has ended, and the commands started get the signal's default.
end_on_signals() {
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
}

# Every suite's output goes through tee, which ignores the signals that end
# the suites: it writes what they print while they end, and ends after them.
# A tee killed first would make a runner's last words (and the clean-up that
# follows) fail on a closed pipe.
tee() {
    (trap '' INT TERM HUP; exec tee "$@")
}

# Sourced (by the tests of the test machinery): the functions only.
[[ ${BASH_SOURCE[0]} == "$0" ]] || return 0

cd "$(dirname "$0")/.."
if [[ ${1:-} != __suites ]]; then
    supervise "$BASH" scripts/test.sh __suites
fi
end_on_signals
mkdir -p build

bash scripts/install-deps.sh || exit 1
bash scripts/build.sh host arm64 || exit 1
bash scripts/arm64-root.sh setup >/dev/null || exit 1

echo "== host tests"
host_suite build/host build/host-tests.log

echo "== fuzzing the argument handling for ${VX_FUZZ_SECONDS:-30} s"
# Its corpus is temporary; a crash, leak or time-out input is kept in
# build/fuzz-artifacts/ (libFuzzer writes it into the current directory
# otherwise).
corpus=$(mktemp -d "$VX_TEST_TMP/fuzz-corpus.XXXXXX")
mkdir -p build/fuzz-artifacts
if build/host/tests/fuzz/fuzz_arguments -max_total_time="${VX_FUZZ_SECONDS:-30}" -max_len=4096 \
        -print_final_stats=0 -artifact_prefix="$PWD/build/fuzz-artifacts/" \
        "$corpus" >build/fuzz.log 2>&1; then
    passed=$((passed + 1))
    tail -n 1 build/fuzz.log
else
    failed=$((failed + 1))
    tail -n 40 build/fuzz.log
fi
rm -rf "$corpus"

# Counts of a runner's "<what>: N passed, N failed[, N skipped]" line.
counts_of() {
    local line
    line=$(summary "$1" "^$2: [0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?\$")
    sed -nE 's/^[^:]*: ([0-9]+) passed, ([0-9]+) failed.*/\1 \2/p' <<<"$line"
}

echo "== the test machinery"
python3 tests/machinery/run.py 2>&1 | tee build/machinery-tests.log
status=${PIPESTATUS[0]}
read -r p f < <(counts_of build/machinery-tests.log machinery) || true
add build/machinery-tests.log "$status" "${p:-}" "${f:-}"

jobs=${VX_WINE_JOBS:-5}

echo "== end-to-end tests under Wine, x86-64"
bash scripts/contain.sh -- python3 tests/wine/run_tests.py --target x86_64 -j "$jobs" 2>&1 |
    tee build/wine-tests-x86_64.log
status=${PIPESTATUS[0]}
read -r p f < <(counts_of build/wine-tests-x86_64.log "all modules") || true
add build/wine-tests-x86_64.log "$status" "${p:-}" "${f:-}"

echo "== end-to-end tests under Wine, ARM64"
bash scripts/arm64-toolchain.sh exec -- bash scripts/arm64-root.sh run -- \
    python3 tests/wine/run_tests.py --target arm64 -j "$jobs" 2>&1 | tee build/wine-tests-arm64.log
status=${PIPESTATUS[0]}
read -r p f < <(counts_of build/wine-tests-arm64.log "all modules") || true
add build/wine-tests-arm64.log "$status" "${p:-}" "${f:-}"

closing_line
[[ $failed -eq 0 ]]
