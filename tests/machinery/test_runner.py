"""tests/wine/run_tests.py and tests/machinery/run.py: the counts they
report, and what happens to their modules when one hangs or the runner is
stopped or dies.  The modules here are small stand-ins written into a scratch
directory; no Wine runs."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time
import unittest
from typing import Dict, List

from pathlib import Path

from common import (REPO, RUN_TESTS, MachineryTestCase, default_signal_handling,
                    processes_named, run, wait_until)

MACHINERY_RUN = REPO / "tests" / "machinery" / "run.py"

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
    # Takes a second to end after SIGTERM.
    "test_slow_stop": """
        import os, unittest
        class T(unittest.TestCase):
            def test_hang(self):
                os.execvp("bash", ["bash", "-c", "trap 'sleep 1; exit 1' TERM; "
                                   "bash -c 'exec -a {marker} sleep 300' & wait"])
        """,
    "test_skips": """
        import unittest
        class T(unittest.TestCase):
            def test_ok(self): pass
            def test_not_here(self): self.skipTest("not on this machine")
        """,
    "test_unexpected": """
        import unittest
        class T(unittest.TestCase):
            @unittest.expectedFailure
            def test_expected(self): self.assertEqual(1, 2)
            @unittest.expectedFailure
            def test_unexpected(self): pass
        """,
    # Its class is not collected: no test runs.
    "test_empty": """
        class T:
            def test_never(self): pass
        """,
    # The run directory cannot be removed: a file in it is immutable.
    "test_cleanup_fails": """
        import subprocess, unittest
        import harness
        class T(unittest.TestCase):
            def test_ok(self):
                kept = harness.run_dir() / "kept"
                kept.touch()
                subprocess.run(["chattr", "+i", str(kept)], check=True)
        """,
    # A machinery test that waits in a marked process, after noting its scratch.
    "test_machinery_waits": """
        import os, subprocess
        from common import MachineryTestCase, marked
        class T(MachineryTestCase):
            def test_wait(self):
                with open(os.environ["VX_NOTE"], "w") as note:
                    note.write(str(self.scratch))
                self.markers.append("{marker}")
                subprocess.run(marked("{marker}"), shell=True)
        """,
}

SUMMARY = re.compile(r"^all modules: (\d+) passed, (\d+) failed, (\d+) skipped$", re.MULTILINE)
MACHINERY_SUMMARY = re.compile(r"^machinery: (\d+) passed, (\d+) failed, (\d+) skipped$",
                               re.MULTILINE)


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
            # Skips are counted apart; a run of only passes and skips passes.
            (["test_passes", "test_skips"], "2", (3, 0, 1), 0),
            # An unexpected success fails; an expected failure passes.
            (["test_unexpected"], "1", (1, 1, 0), 1),
            # A module that runs no test fails.
            (["test_passes", "test_empty"], "2", (2, 1, 0), 1),
        ]
        for names, jobs, counts, status in cases:
            with self.subTest(modules=names, jobs=jobs):
                result = run(self.runner("-j", jobs, *self.modules(*names)))
                found = SUMMARY.findall(result.stdout)
                self.assertEqual([tuple(map(int, f)) for f in found], [counts], result.stdout)
                self.assertTrue(result.stdout.rstrip().endswith(found[-1][2] + " skipped"))
                self.assertEqual(result.returncode, status)

    def test_what_is_shown(self) -> None:
        result = run(self.runner("-j", "2", *self.modules("test_skips", "test_unexpected",
                                                          "test_empty")))
        for line in ["skipped: test_skips.T.test_not_here: not on this machine",
                     "unexpected success: test_unexpected.T.test_unexpected",
                     "failed: it ran no test"]:
            self.assertIn(line + "\n", result.stdout)

    def test_a_failing_clean_up_fails_the_module(self) -> None:
        self.addCleanup(self.unlock_kept)
        result = run(self.runner(*self.modules("test_cleanup_fails", "test_passes")))
        self.assertEqual(SUMMARY.findall(result.stdout), [("3", "1", "0")], result.stdout)
        self.assertIn("failed: the clean-up of its run directory failed", result.stdout)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(len(list(self.scratch.glob("vxtest-*/kept"))), 1)
        # Left to the harness's exit handler, the failure is the exit status.
        script = ("import subprocess, harness; kept = harness.run_dir() / 'kept'; kept.touch(); "
                  "subprocess.run(['chattr', '+i', str(kept)], check=True)")
        result = run([sys.executable, "-c", script], cwd=RUN_TESTS.parent)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("the run directory's clean-up failed at exit", result.stderr)
        self.assertEqual(len(list(self.scratch.glob("vxtest-*/kept"))), 2)

    def unlock_kept(self) -> None:
        for kept in self.scratch.glob("vxtest-*/kept"):
            subprocess.run(["chattr", "-i", str(kept)], check=True)

    def test_machinery_counts(self) -> None:
        # (modules, summary counts, exit status)
        cases = [
            (["test_passes", "test_skips"], (3, 0, 1), 0),
            (["test_fails", "test_unexpected"], (2, 2, 0), 1),
            (["test_passes", "test_empty"], (2, 1, 0), 1),
            (["test_skips"], (1, 0, 1), 0),
        ]
        for names, counts, status in cases:
            with self.subTest(modules=names):
                result = run([sys.executable, MACHINERY_RUN, *self.modules(*names)])
                found = MACHINERY_SUMMARY.findall(result.stdout)
                self.assertEqual([tuple(map(int, f)) for f in found], [counts], result.stdout)
                self.assertEqual(result.returncode, status, result.stdout)

    def test_a_stopped_machinery_run_cleans_up(self) -> None:
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                note = self.scratch / f"note-{sig.name}"
                proc = subprocess.Popen([sys.executable, str(MACHINERY_RUN),
                                         *self.modules("test_machinery_waits")],
                                        env={**os.environ, "VX_NOTE": str(note)},
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        text=True, preexec_fn=default_signal_handling)
                wait_until(lambda: note.exists() and processes_named(self.hang_marker), 30,
                           "the test to start")
                inner = Path(note.read_text())
                proc.send_signal(sig)
                out, _ = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 128 + sig, out)
                self.assertEqual(MACHINERY_SUMMARY.findall(out), [], out)
                self.assertFalse(inner.exists(), f"{inner} was left")
                self.assert_all_ended(self.hang_marker)

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
        # (signal to the runner, how often, its exit status); the same signal
        # often comes twice, from test.sh and from the namespace's first process.
        for sig, times, module, status in [
                (signal.SIGKILL, 1, "test_hangs", -signal.SIGKILL),
                (signal.SIGTERM, 1, "test_hangs", 128 + signal.SIGTERM),
                (signal.SIGTERM, 2, "test_slow_stop", 128 + signal.SIGTERM)]:
            with self.subTest(signal=sig.name, times=times):
                proc = subprocess.Popen(self.runner("-j", "2", *self.modules(module)),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        text=True)
                wait_until(lambda: processes_named(self.hang_marker), 30, "the module to start")
                for _ in range(times):
                    proc.send_signal(sig)
                    time.sleep(0.3)
                out, _ = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, status, out)
                self.assertEqual(SUMMARY.findall(out), [], "an interrupted run reported counts")
                if sig != signal.SIGKILL:
                    self.assertIn("==== interrupted by signal", out)
                self.assert_all_ended(self.hang_marker)


if __name__ == "__main__":
    unittest.main()
