#!/usr/bin/python3
"""Run every tests/wine/test_*.py with unittest.

Usage: run_tests.py [-v] [-k PATTERN] [test_module ...]

Ends with one line "N passed, N failed, N skipped" (errors count as failed)
and exits non-zero when anything failed.  Timings of the harness's expensive
steps are printed before it.
"""

import argparse
import sys
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402


class CountingResult(unittest.TextTestResult):
    """Also counts passed tests; a test with a failing subtest has not passed."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.passed = 0
        self._subtest_failed = set()

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        if err is not None:
            self._subtest_failed.add(test.id())

    def addSuccess(self, test):
        super().addSuccess(test)
        if test.id() not in self._subtest_failed:
            self.passed += 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("-k", dest="patterns", action="append",
                        help="only tests whose name contains this text")
    parser.add_argument("modules", nargs="*", help="test modules (default: all test_*.py)")
    opts = parser.parse_args()

    loader = unittest.TestLoader()
    if opts.patterns:
        loader.testNamePatterns = [f"*{p}*" for p in opts.patterns]
    if opts.modules:
        suite = unittest.TestSuite(loader.loadTestsFromName(Path(m).stem) for m in opts.modules)
    else:
        suite = loader.discover(str(HERE), pattern="test_*.py", top_level_dir=str(HERE))

    start = time.monotonic()
    runner = unittest.TextTestRunner(verbosity=2 if opts.verbose else 1,
                                     resultclass=CountingResult, stream=sys.stdout)
    result = runner.run(suite)
    total = time.monotonic() - start

    print("\nTimings:")
    for label, seconds in harness.TIMINGS:
        if not label.startswith("run ") or opts.verbose:
            print(f"  {seconds:7.2f}s  {label}")
    runs = [s for label, s in harness.TIMINGS if label.startswith("run ")]
    if runs:
        print(f"  {sum(runs):7.2f}s  {len(runs)} program runs")
    print(f"  {total:7.2f}s  whole run")

    # A failing subtest counts once, as its test.
    failed = len({getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors})
    skipped = len(result.skipped)
    print(f"{result.passed} passed, {failed} failed, {skipped} skipped")
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
