#!/usr/bin/env bash
# Runs every test: the host tests over the simulated Windows (GoogleTest with
# AddressSanitizer and UBSan), a bounded libFuzzer run over argument lists,
# and the end-to-end tests under Wine with real Windows Installer packages,
# once for each target: build/windows/vxuninstall.exe (x86-64) under the
# host's Wine and build/arm64/vxuninstall.exe (ARM64) under the arm64 Wine of
# an arm64 Debian root. Installs what it needs first, and makes the ARM64
# toolchain and the root on first use. Ends with one line
# "tests: N passed, N failed".
#
#   VX_FUZZ_SECONDS   length of the fuzzing run (30)
#   VX_WINE_JOBS      end-to-end test modules run at once, per target (5)
set -uo pipefail
cd "$(dirname "$0")/.."
mkdir -p build

bash scripts/install-deps.sh || exit 1
bash scripts/build.sh host arm64 || exit 1

root=$(bash scripts/arm64-root.sh setup | tail -n 1) || exit 1

passed=0
failed=0

# count LOG: adds the "N passed, N failed" of the end-to-end log's last
# summary line to the totals; a log without one counts as one failure.
count() {
    local summary
    summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$1" | tail -n 1)
    if [[ -z "$summary" ]]; then
        failed=$((failed + 1))
        return
    fi
    passed=$((passed + $(sed -E 's/^([0-9]+) passed.*/\1/' <<<"$summary")))
    failed=$((failed + $(sed -E 's/^[0-9]+ passed, ([0-9]+) failed.*/\1/' <<<"$summary")))
}

echo "== host tests"
ctest --test-dir build/host --output-on-failure -j"$(nproc)" 2>&1 | tee build/host-tests.log
summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' build/host-tests.log | tail -n 1)
if [[ -z "$summary" ]]; then
    failed=$((failed + 1))
else
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
fi

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

jobs=${VX_WINE_JOBS:-5}
echo "== end-to-end tests under Wine, x86-64"
python3 tests/wine/run_tests.py --target x86_64 -j "$jobs" 2>&1 | tee build/wine-tests-x86_64.log
count build/wine-tests-x86_64.log

echo "== end-to-end tests under Wine, ARM64 (in $root)"
# The root's mounts exist only in the private mount namespace of this run and
# end with it, also when the tests fail or are killed.
VX_ARM64_TOOLCHAIN=$(bash scripts/arm64-toolchain.sh | tail -n 1) \
    bash scripts/arm64-root.sh run -- \
    python3 tests/wine/run_tests.py --target arm64 -j "$jobs" 2>&1 | tee build/wine-tests-arm64.log
count build/wine-tests-arm64.log

echo "tests: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
