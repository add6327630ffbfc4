#!/usr/bin/python3
"""Run every tests/wine/test_*.py with unittest.

Usage: run_tests.py [--target x86_64|arm64] [-j N] [-v] [-k PATTERN] [test_module ...]

--target picks the Wine that runs the program (it sets VX_TARGET; arm64 also
needs VX_ARM64_ROOT and VX_ARM64_TOOLCHAIN, see harness.py).  With -j N the
test modules run as N processes at a time, each with its own run directory
and prefixes; their outputs are printed whole, one module after the other.

Ends with one line "N passed, N failed, N skipped" (errors count as failed)
and exits non-zero when anything failed.  Timings of the harness's expensive
steps are printed before it.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

SUMMARY = re.compile(r"^(\d+) passed, (\d+) failed, (\d+) skipped$", re.MULTILINE)


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


def run_here(opts) -> int:
    import harness  # after VX_TARGET is set

    loader = unittest.TestLoader()
    if opts.patterns:
        loader.testNamePatterns = [f"*{p}*" for p in opts.patterns]
    if opts.modules:
        suite = unittest.TestSuite(loader.loadTestsFromName(Path(m).stem) for m in opts.modules)
    else:
        suite = loader.discover(str(HERE), pattern="test_*.py", top_level_dir=str(HERE))

    print(f"target: {harness.TARGET.name}, program: {harness.exe_path()}", flush=True)
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


def run_in_parallel(opts) -> int:
    """Each module in a process of its own, `opts.jobs` at a time."""
    modules = opts.modules or sorted(p.name for p in HERE.glob("test_*.py"))
    base = [sys.executable, str(Path(__file__).resolve()), "-j", "1"]
    if opts.verbose:
        base.append("-v")
    for pattern in opts.patterns or ():
        base += ["-k", pattern]
    start = time.monotonic()
    waiting = list(modules)
    running = []   # (module, process, output file)
    passed = failed = skipped = 0
    while waiting or running:
        while waiting and len(running) < opts.jobs:
            module = waiting.pop(0)
            out = tempfile.TemporaryFile()
            proc = subprocess.Popen(base + [module], stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)
            running.append((module, proc, out))
        time.sleep(0.2)
        for entry in list(running):
            module, proc, out = entry
            if proc.poll() is None:
                continue
            running.remove(entry)
            out.seek(0)
            text = out.read().decode("utf-8", "replace")
            out.close()
            print(f"==== {module} (exit {proc.returncode})")
            print(text, end="" if text.endswith("\n") else "\n", flush=True)
            found = SUMMARY.findall(text)
            if found:
                p, f, s = map(int, found[-1])
                passed, failed, skipped = passed + p, failed + f, skipped + s
                if proc.returncode != 0 and f == 0:
                    failed += 1
            else:
                failed += 1
    print(f"==== {len(modules)} modules in {time.monotonic() - start:.2f}s")
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    return 0 if failed == 0 and passed > 0 else 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--target", choices=("x86_64", "arm64"),
                        help="the Wine to run under (default: $VX_TARGET or x86_64)")
    parser.add_argument("-j", dest="jobs", type=int, default=1,
                        help="test modules run at once, each in a process of its own")
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("-k", dest="patterns", action="append",
                        help="only tests whose name contains this text")
    parser.add_argument("modules", nargs="*", help="test modules (default: all test_*.py)")
    opts = parser.parse_args()
    if opts.target:
        os.environ["VX_TARGET"] = opts.target
    if opts.jobs > 1:
        return run_in_parallel(opts)
    return run_here(opts)


if __name__ == "__main__":
    sys.exit(main())
