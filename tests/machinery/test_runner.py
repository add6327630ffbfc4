"""tests/wine/run_tests.py: the counts it reports, and what happens to its
modules when one hangs or the runner dies.  The modules here are small stand-ins
written into a scratch directory; no Wine runs."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time
import unittest
from typing import Dict, List

from common import RUN_TESTS, MachineryTestCase, processes_named, run, wait_until

# Stand-in modules: name -> body.  "{marker}" is replaced by the test's marker,
# which a hanging module carries in its command line.
MODULES: Dict[str, str] = {
    "test_passes": """
        import unittest
        class T(unittest.TestCase):
            def test_one(self): pass
            def test_two(self): pass
        """,
    "test_fails": """
        import unittest
        class T(unittest.TestCase):
            def test_ok(self): pass
            def test_wrong(self):
                with self.subTest(1): self.assertEqual(1, 2)
                with self.subTest(2): self.assertEqual(1, 3)
        """,
    "test_dies": """
        import os
        os._exit(3)
        """,
    "test_hangs": """
        import os, unittest
        class T(unittest.TestCase):
            def test_hang(self):
                os.execvp("bash", ["bash", "-c", "exec -a {marker} sleep 300"])
        """,
}

SUMMARY = re.compile(r"^all modules: (\d+) passed, (\d+) failed, (\d+) skipped$", re.MULTILINE)


class Runner(MachineryTestCase):

    def modules(self, *names: str) -> List[str]:
        self.hang_marker = self.marker()
        paths = []
        for name in names:
            path = self.scratch / f"{name}.py"
            path.write_text(textwrap.dedent(MODULES[name]).replace("{marker}", self.hang_marker))
            paths.append(str(path))
        return paths

    def runner(self, *args: str) -> List[str]:
        return [sys.executable, str(RUN_TESTS), "--target", "x86_64", *args]

    def setUp(self) -> None:
        super().setUp()
        # The runner's own temporary files, also those of a killed runner.
        os.environ["TMPDIR"] = str(self.scratch)
        self.addCleanup(os.environ.pop, "TMPDIR")

    def test_counts(self) -> None:
        # (modules, -j, summary counts, exit status)
        cases = [
            (["test_passes"], "1", (2, 0, 0), 0),
            (["test_passes", "test_fails"], "2", (3, 1, 0), 1),
            # A module that ends without its counts is one failure.
            (["test_passes", "test_dies"], "2", (2, 1, 0), 1),
            (["test_dies"], "1", (0, 1, 0), 1),
        ]
        for names, jobs, counts, status in cases:
            with self.subTest(modules=names, jobs=jobs):
                result = run(self.runner("-j", jobs, *self.modules(*names)))
                found = SUMMARY.findall(result.stdout)
                self.assertEqual([tuple(map(int, f)) for f in found], [counts], result.stdout)
                self.assertTrue(result.stdout.rstrip().endswith(found[-1][2] + " skipped"))
                self.assertEqual(result.returncode, status)

    def test_a_hanging_module_is_stopped_and_fails(self) -> None:
        start = time.monotonic()
        result = run(self.runner("-j", "2", "--module-timeout", "3",
                                 *self.modules("test_hangs", "test_passes")))
        self.assertLess(time.monotonic() - start, 30)
        self.assertEqual(SUMMARY.findall(result.stdout), [("2", "1", "0")], result.stdout)
        self.assertIn("still running after 3s", result.stdout)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(processes_named(self.hang_marker), [])

    def test_modules_end_with_the_runner(self) -> None:
        # (signal to the runner, its exit status)
        for sig, status in [(signal.SIGKILL, -signal.SIGKILL), (signal.SIGTERM, 128 + signal.SIGTERM)]:
            with self.subTest(signal=sig.name):
                proc = subprocess.Popen(self.runner("-j", "2", *self.modules("test_hangs")),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        text=True)
                wait_until(lambda: processes_named(self.hang_marker), 30, "the module to start")
                proc.send_signal(sig)
                out, _ = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, status)
                self.assertEqual(SUMMARY.findall(out), [], "an interrupted run reported counts")
                self.assert_all_ended(self.hang_marker)


if __name__ == "__main__":
    unittest.main()
