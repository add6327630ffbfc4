#!/usr/bin/env bash
# Runs every test: the host tests over the simulated Windows (GoogleTest with
# AddressSanitizer and UBSan), a bounded libFuzzer run over argument lists,
# the tests of the scripts that run the end-to-end tests, and the end-to-end
# tests under Wine with real Windows Installer packages, once for each
# target: build/windows/vxuninstall.exe (x86-64) under the host's Wine and
# build/arm64/vxuninstall.exe (ARM64) under the arm64 Wine of an arm64 Debian
# root. Installs what it needs first, and makes the ARM64 toolchain and the
# root on first use. Ends with one line "tests: N passed, N failed".
#
# A suite counts only from the summary line that its runner prints once it
# has finished, and only when the runner also exits with 0: a runner that
# dies or is killed counts as a failure. The end-to-end suites run in PID
# namespaces of their own, so nothing they start outlives them.
#
#   VX_FUZZ_SECONDS   length of the fuzzing run (30)
#   VX_WINE_JOBS      end-to-end test modules run at once, per target (5)
set -uo pipefail
cd "$(dirname "$0")/.."
mkdir -p build

bash scripts/install-deps.sh || exit 1
bash scripts/build.sh host arm64 || exit 1
bash scripts/arm64-root.sh setup >/dev/null || exit 1

passed=0
failed=0

# summary LOG PATTERN: the last line of LOG that matches the extended regular
# expression PATTERN, or nothing.
summary() {
    grep -E "$2" "$1" | tail -n 1
}

# add LOG STATUS PASSED FAILED: adds a suite's counts to the totals. Without
# counts (no summary line) the suite counts as one failure, and so does a
# non-zero exit STATUS when the counts name no failure.
add() {
    local log=$1 status=$2 p=$3 f=$4
    if [[ -z $p || -z $f ]]; then
        echo "== no summary line in $log (exit status $status): counted as a failure"
        failed=$((failed + 1))
        return
    fi
    passed=$((passed + p))
    failed=$((failed + f))
    if ((status != 0 && f == 0)); then
        echo "== $log: exit status $status: counted as a failure"
        failed=$((failed + 1))
    fi
}

echo "== host tests"
ctest --test-dir build/host --output-on-failure -j"$(nproc)" 2>&1 | tee build/host-tests.log
status=${PIPESTATUS[0]}
# "100% tests passed, 0 tests failed out of 228"
line=$(summary build/host-tests.log '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+')
total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
bad=$(sed -nE 's/.* ([0-9]+) tests failed.*/\1/p' <<<"$line")
add build/host-tests.log "$status" "${line:+$((total - bad))}" "$bad"

echo "== fuzzing the argument handling for ${VX_FUZZ_SECONDS:-30} s"
corpus=$(mktemp -d)
if build/host/tests/fuzz/fuzz_arguments -max_total_time="${VX_FUZZ_SECONDS:-30}" -max_len=4096 \
        -print_final_stats=0 "$corpus" >build/fuzz.log 2>&1; then
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

echo "tests: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
