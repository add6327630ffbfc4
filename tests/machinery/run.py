#!/usr/bin/python3
"""Runs the tests of the test machinery (tests/machinery/test_*.py, or the
modules given by path); needs root.

Each skipped test is listed with its reason.  The run ends with one line
"machinery: N passed, N failed, N skipped": a test with a failing subtest,
an error or an unexpected success counts as failed, and so does a module
that ran no test.  It exits non-zero when anything failed or nothing passed.

SIGTERM, SIGINT and SIGHUP end the test that is running with an error, so
that its clean-ups still run (its scratch directory below /var/tmp is
removed, its processes killed); then the run stops without a summary line
and exits with 128 + the signal's number.
"""

import signal
import sys
import unittest
from pathlib import Path
from typing import List, Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
# The end-to-end runner's counting, so that both suites count alike.
sys.path.insert(1, str(HERE.parent / "wine"))
from run_tests import CountingResult, module_counts  # noqa: E402

#: The signal that stopped the run, once one has.
_stopped_by: Optional[int] = None
_result: Optional[unittest.TestResult] = None


class Interrupted(Exception):
    """Raised in the running test by SIGTERM, SIGINT or SIGHUP."""


def _interrupt(signum, frame) -> None:
    global _stopped_by
    if _stopped_by is not None:
        return          # clean-ups of the first interruption are running
    _stopped_by = signum
    if _result is not None:
        _result.stop()
    raise Interrupted(f"interrupted by signal {signum}")


def run_module(path: Path) -> CountingResult:
    global _result
    if str(path.parent) not in sys.path:
        sys.path.insert(0, str(path.parent))
    suite = unittest.TestLoader().loadTestsFromName(path.stem)
    _result = result = CountingResult(unittest.runner._WritelnDecorator(sys.stdout), True, 2)
    result.startTestRun()
    try:
        suite(result)
    finally:
        result.stopTestRun()
        result.printErrors()
        print(f"Ran {result.testsRun} tests", flush=True)
    return result


def main(args: List[str]) -> int:
    modules = [Path(a).resolve() for a in args] or sorted(HERE.glob("test_*.py"))
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, _interrupt)
    passed = failed = skipped = 0
    try:
        for path in modules:
            print(f"==== {path.name}", flush=True)
            result = run_module(path)
            if _stopped_by is not None:
                break
            for test in result.unexpectedSuccesses:
                print(f"unexpected success: {test.id()}")
            for test, reason in result.skipped:
                print(f"skipped: {test.id()}: {reason}")
            problems = []
            if result.testsRun == 0:
                print(f"==== {path.name}: ran no test; counted as a failure")
                problems.append("it ran no test")
            counts = module_counts(result, problems)
            passed += counts["passed"]
            failed += counts["failed"]
            skipped += counts["skipped"]
    except Interrupted:
        pass
    if _stopped_by is not None:
        print(f"==== interrupted by signal {_stopped_by}", flush=True)
        return 128 + _stopped_by
    print(f"machinery: {passed} passed, {failed} failed, {skipped} skipped", flush=True)
    return 0 if not failed and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
