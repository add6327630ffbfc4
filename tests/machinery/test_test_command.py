"""scripts/test.sh: how it counts a suite (skips apart, a suite that ran no
test as a failure), and that a signal ends its suites and removes its
temporary files.  Its functions are used by sourcing it; no suite of the
project runs here."""

import json
import os
import re
import shutil
import signal
import subprocess
import textwrap
import unittest
from pathlib import Path

from common import REPO, MachineryTestCase, default_signal_handling, marked, processes_named, \
    run, wait_until

TEST_SH = REPO / "scripts" / "test.sh"
HOST_BUILD = REPO / "build" / "host"
GTEST_SKIPPED = "[  SKIPPED ] A.Skip"


def sourced(script: str, **kwargs) -> subprocess.CompletedProcess:
    """Runs `script` in bash after sourcing test.sh."""
    return run(["bash", "-c", f'source "{TEST_SH}"; {script}'], **kwargs)


class TestCommand(MachineryTestCase):

    def test_ctest_counts_skips_apart(self) -> None:
        if not shutil.which("cmake") or not Path("/usr/include/gtest/gtest.h").exists():
            self.skipTest("needs cmake and GoogleTest")
        source = self.scratch / "src"
        source.mkdir()
        # The skip expression that the host tests' discovery gives each test.
        (source / "CMakeLists.txt").write_text(textwrap.dedent("""\
            cmake_minimum_required(VERSION 3.20)
            project(counts CXX)
            find_package(GTest REQUIRED)
            add_executable(t t.cpp)
            target_link_libraries(t PRIVATE GTest::gtest_main)
            enable_testing()
            include(GoogleTest)
            gtest_discover_tests(t PROPERTIES SKIP_REGULAR_EXPRESSION "\\\\[  SKIPPED \\\\]")
            """))
        (source / "t.cpp").write_text(textwrap.dedent("""\
            #include <gtest/gtest.h>
            TEST(A, Pass) {}
            TEST(A, Fail) { FAIL(); }
            TEST(A, Skip) { GTEST_SKIP() << "not here"; }
            TEST(A, DISABLED_Off) {}
            """))
        build = self.scratch / "build"
        for step in (["cmake", "-S", source, "-B", build], ["cmake", "--build", build]):
            result = run(step, timeout=300)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        result = sourced(f'host_suite "{build}" "{self.scratch}/log" >/dev/null; closing_line')
        self.assertEqual(result.stdout.splitlines()[-1], "tests: 1 passed, 1 failed, 2 skipped",
                         result.stdout + result.stderr)
        self.assertIn("3 - A.Skip (Skipped)", (self.scratch / "log").read_text())

    def test_the_host_tests_report_skips(self) -> None:
        if not (HOST_BUILD / "CTestTestfile.cmake").exists():
            self.skipTest("no host build (bash scripts/build.sh host)")
        result = run(["ctest", "--test-dir", HOST_BUILD, "--show-only=json-v1"])
        tests = json.loads(result.stdout)["tests"]
        self.assertGreater(len(tests), 0)
        for test in tests:
            properties = {p["name"]: p["value"] for p in test.get("properties", [])}
            expressions = properties.get("SKIP_REGULAR_EXPRESSION", [])
            self.assertTrue(any(re.search(e, GTEST_SKIPPED) for e in expressions), test["name"])

    def test_suite_counts(self) -> None:
        # (summary line in the log, exit status, the add arguments, closing line)
        cases = [
            ("all modules: 3 passed, 0 failed, 2 skipped", 0, "3 0",
             "tests: 3 passed, 0 failed, 2 skipped"),
            ("machinery: 0 passed, 1 failed, 0 skipped", 1, "0 1",
             "tests: 0 passed, 1 failed, 0 skipped"),
            # A suite that ran no test, whatever its exit status.
            ("all modules: 0 passed, 0 failed, 0 skipped", 0, "0 0",
             "tests: 0 passed, 1 failed, 0 skipped"),
            # Only skips: not a failure.
            ("all modules: 0 passed, 0 failed, 4 skipped", 0, "0 0",
             "tests: 0 passed, 0 failed, 4 skipped"),
            # Counts without a failure from a runner that exited non-zero.
            ("all modules: 2 passed, 0 failed, 0 skipped", 1, "2 0",
             "tests: 2 passed, 1 failed, 0 skipped"),
            # No summary line.
            ("Traceback (most recent call last):", 1, "'' ''",
             "tests: 0 passed, 1 failed, 0 skipped"),
        ]
        log = self.scratch / "log"
        for line, status, counts, closing in cases:
            with self.subTest(line=line, status=status):
                log.write_text(f"something\n{line}\n")
                result = sourced(f'add "{log}" {status} {counts}; closing_line')
                self.assertEqual(result.stdout.splitlines()[-1], closing, result.stdout)

    def test_a_signal_ends_the_suites_and_removes_the_temporary_files(self) -> None:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                suite = self.marker()
                note = self.scratch / f"tmp-{sig.name}"
                log = self.scratch / f"log-{sig.name}"
                # A suite that prints its last words after SIGTERM, through
                # test.sh's tee.
                script = self.scratch / f"suite-{sig.name}"
                script.write_text(
                    f'echo "$VX_TEST_TMP" >"{note}"; touch "$VX_TEST_TMP/file"\n'
                    f'source "{TEST_SH}"; end_on_signals\n'
                    f"bash -c 'trap \"sleep 0.5; echo last words; exit 0\" TERM; "
                    f"exec -a {suite} sleep 300 & wait' | tee \"{log}\"\n")
                proc = subprocess.Popen(
                    ["bash", "-c", f'source "{TEST_SH}"; supervise bash "{script}"'],
                    stdin=subprocess.DEVNULL, preexec_fn=default_signal_handling)
                self.addCleanup(proc.wait)
                self.addCleanup(proc.kill)
                wait_until(lambda: note.exists() and processes_named(suite), 30,
                           "the suite to start")
                tmp = Path(note.read_text().strip())
                self.addCleanup(shutil.rmtree, tmp, ignore_errors=True)
                self.assertTrue((tmp / "file").exists())
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=60), 128 + sig)
                self.assert_all_ended(suite)
                self.assertFalse(tmp.exists(), f"{tmp} was left")
                self.assertEqual(log.read_text(), "last words\n")

    def test_the_exit_status_of_the_suites(self) -> None:
        result = sourced('supervise bash -c \'test -d "$VX_TEST_TMP" && exit 3\'')
        self.assertEqual(result.returncode, 3, result.stderr)


if __name__ == "__main__":
    unittest.main()
