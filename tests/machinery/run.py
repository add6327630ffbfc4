#!/usr/bin/python3
"""Runs the tests of the test machinery (tests/machinery/test_*.py); needs root.

Ends with one line "machinery: N passed, N failed" (a test with a failing
subtest, or an error, counts as failed) and exits non-zero when anything
failed or nothing ran.
"""

import sys
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def main() -> int:
    suite = unittest.TestLoader().discover(str(HERE), pattern="test_*.py", top_level_dir=str(HERE))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = {getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors}
    passed = result.testsRun - len(failed) - len(result.skipped)
    print(f"machinery: {passed} passed, {len(failed)} failed", flush=True)
    return 0 if not failed and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
