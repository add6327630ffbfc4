#!/usr/bin/env bash
# Runs every test: the host tests over the simulated Windows (GoogleTest with
# AddressSanitizer and UBSan), a bounded libFuzzer run over argument lists,
# and the end-to-end tests of vxuninstall.exe under Wine with real Windows
# Installer packages. Installs what it needs first. Ends with one line
# "tests: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || exit 1
bash scripts/build.sh host || exit 1

passed=0
failed=0

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

echo "== end-to-end tests under Wine"
python3 tests/wine/run_tests.py 2>&1 | tee build/wine-tests.log
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed' build/wine-tests.log | tail -n 1)
if [[ -z "$summary" ]]; then
    failed=$((failed + 1))
else
    passed=$((passed + $(sed -E 's/^([0-9]+) passed.*/\1/' <<<"$summary")))
    failed=$((failed + $(sed -E 's/^[0-9]+ passed, ([0-9]+) failed.*/\1/' <<<"$summary")))
fi

echo "tests: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
