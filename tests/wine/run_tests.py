#!/usr/bin/python3
"""Run every tests/wine/test_*.py, each module in a process of its own.

Usage: run_tests.py [--target x86_64|arm64] [-j N] [-v] [-k PATTERN]
                    [--module-timeout SECONDS] [test_module ...]

--target picks the Wine that runs the program (it sets VX_TARGET; arm64 also
needs VX_ARM64_ROOT and VX_ARM64_TOOLCHAIN, see harness.py).  The modules run
N at a time (-j, 1 by default), each with its own run directory and
prefixes; with -j 1 a module's output appears as it is written, otherwise
each module's output is printed whole when it ends.

Each module ends with its skipped tests, with their reasons, the timings of
the harness's expensive steps and its own line "N passed, N failed, N
skipped".  Errors, unexpected successes and a failed clean-up of the
module's run directory (harness.end_run) count as failed, and so does a
module that ran no test at all (unless -k chose which tests run).  The run
ends with one line

    all modules: N passed, N failed, N skipped

which only this runner prints, and only when every module has ended; it
exits non-zero when anything failed.  A module that ends without reporting
its counts, or with a non-zero exit status while reporting no failure, counts
as one failure.  A module still running after --module-timeout (600 s by
default, times the target's time scale) is stopped and counts as failed.

Every module runs in a process group of its own, which is sent SIGTERM (then
SIGKILL) when the runner gets SIGTERM, SIGINT or SIGHUP; a module also gets
SIGKILL when the runner dies of anything else.  Wine processes that a killed
module leaves end with the run's PID namespace (scripts/contain.sh,
scripts/arm64-root.sh run).
"""

import argparse
import ctypes
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import unittest
from pathlib import Path
from typing import List, Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

#: How long a module has to end after SIGTERM before its group is killed.
STOP_GRACE = 30
#: prctl(2) option that sends a signal to this process when its parent dies.
PR_SET_PDEATHSIG = 1


class CountingResult(unittest.TextTestResult):
    """Also counts passed tests (an expected failure among them); a test with
    a failing subtest has not passed."""

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

    def addExpectedFailure(self, test, err):
        super().addExpectedFailure(test, err)
        self.passed += 1


def module_counts(result: CountingResult, problems: List[str]) -> dict:
    """A module's counts: a failing subtest counts once, as its test; an
    unexpected success and each of `problems` count as one failure."""
    failed = {getattr(t, "test_case", t).id() for t, _ in result.failures + result.errors}
    failed |= {t.id() for t in result.unexpectedSuccesses}
    return {"passed": result.passed, "failed": len(failed) + len(problems),
            "skipped": len(result.skipped)}


def run_module(opts) -> int:
    """Runs one module here; writes its counts to opts.result as JSON."""
    import harness  # after VX_TARGET is set

    loader = unittest.TestLoader()
    if opts.patterns:
        loader.testNamePatterns = [f"*{p}*" for p in opts.patterns]
    module = Path(opts.one)
    if module.parent != Path("."):
        sys.path.insert(0, str(module.resolve().parent))
    suite = loader.loadTestsFromName(module.stem)

    print(f"target: {harness.TARGET.name}, program: {harness.exe_path()}", flush=True)
    start = time.monotonic()
    runner = unittest.TextTestRunner(verbosity=2 if opts.verbose else 1,
                                     resultclass=CountingResult, stream=sys.stdout)
    result = runner.run(suite)
    problems = []
    try:
        harness.end_run()
    except Exception:
        traceback.print_exc()
        problems.append("the clean-up of its run directory failed")
    if result.testsRun == 0 and not opts.patterns:
        problems.append("it ran no test")
    total = time.monotonic() - start

    for test, reason in result.skipped:
        print(f"skipped: {test.id()}: {reason}")
    for test in result.unexpectedSuccesses:
        print(f"unexpected success: {test.id()}")
    for problem in problems:
        print(f"failed: {problem}")

    print("\nTimings:")
    for label, seconds in harness.TIMINGS:
        if not label.startswith("run ") or opts.verbose:
            print(f"  {seconds:7.2f}s  {label}")
    runs = [s for label, s in harness.TIMINGS if label.startswith("run ")]
    if runs:
        print(f"  {sum(runs):7.2f}s  {len(runs)} program runs")
    print(f"  {total:7.2f}s  whole run")

    counts = module_counts(result, problems)
    print(f"{counts['passed']} passed, {counts['failed']} failed, {counts['skipped']} skipped",
          flush=True)
    partial = Path(opts.result + ".partial")
    partial.write_text(json.dumps(counts))
    partial.replace(opts.result)
    # No test at all where -k matched none here is for the whole run to judge.
    return 0 if counts["failed"] == 0 else 1


def _die_with_runner(runner_pid: int) -> None:
    """In a module's process before it starts: SIGKILL when the runner dies."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != runner_pid:   # it died before the line above
        os._exit(1)


class Module:
    """One module running in a process (and process group) of its own."""

    def __init__(self, name: str, base: List[str], work: Path, capture: bool):
        self.name = name
        self.result = work / (Path(name).stem + ".json")
        self.out = tempfile.TemporaryFile() if capture else None
        self.started = time.monotonic()
        self.timed_out = False
        runner = os.getpid()
        self.proc = subprocess.Popen(
            base + ["--one", name, "--result", str(self.result)],
            stdout=self.out, stderr=subprocess.STDOUT if capture else None,
            stdin=subprocess.DEVNULL, start_new_session=True,
            preexec_fn=lambda: _die_with_runner(runner))

    def signal_group(self, sig: int) -> None:
        try:
            os.killpg(self.proc.pid, sig)
        except ProcessLookupError:
            pass

    def stop(self) -> None:
        """SIGTERM to the module's group; SIGKILL to what is left after the grace."""
        self.signal_group(signal.SIGTERM)
        self.finish_stopping()

    def finish_stopping(self) -> None:
        """After SIGTERM: waits out the grace, then SIGKILL to what is left."""
        try:
            self.proc.wait(timeout=STOP_GRACE)
        except subprocess.TimeoutExpired:
            pass
        self.signal_group(signal.SIGKILL)
        self.proc.wait()

    def report(self) -> dict:
        """Prints the module's output and end; returns its counts as the run takes them."""
        if self.out is not None:
            self.out.seek(0)
            text = self.out.read().decode("utf-8", "replace")
            self.out.close()
            print(f"==== {self.name} (exit {self.proc.returncode})")
            print(text, end="" if text.endswith("\n") else "\n")
        try:
            counts = json.loads(self.result.read_text())
        except (OSError, ValueError):
            counts = None
        problem = None
        if self.timed_out:
            problem = "stopped after the module time-out"
        elif counts is None:
            problem = "ended without reporting its counts"
        elif self.proc.returncode != 0 and counts["failed"] == 0:
            problem = f"exit status {self.proc.returncode} with no failed test"
        if counts is None:
            counts = {"passed": 0, "failed": 0, "skipped": 0}
        if problem:
            print(f"==== {self.name}: {problem}; counted as a failure")
            counts["failed"] = max(counts["failed"], 1)
        print(f"==== {self.name} took {time.monotonic() - self.started:.2f}s", flush=True)
        return counts


class Interrupted(Exception):
    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def run_all(opts) -> int:
    import harness  # after VX_TARGET is set: it checks the target's settings

    modules = opts.modules or sorted(p.name for p in HERE.glob("test_*.py"))
    timeout = opts.module_timeout * harness.TARGET.time_scale
    base = [sys.executable, str(Path(__file__).resolve())]
    if opts.verbose:
        base.append("-v")
    for pattern in opts.patterns or ():
        base += ["-k", pattern]

    def interrupted(signum, frame):
        # Only the first signal stops the run: the same one often comes
        # twice (from test.sh and from the PID namespace's first process),
        # and a second must not cut the stopping of the modules short.
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, lambda *_: None)
        raise Interrupted(signum)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, interrupted)

    start = time.monotonic()
    waiting = list(modules)
    running: List[Module] = []
    totals = {"passed": 0, "failed": 0, "skipped": 0}
    with tempfile.TemporaryDirectory(prefix="vxtest-results-") as work:
        try:
            while waiting or running:
                while waiting and len(running) < opts.jobs:
                    running.append(Module(waiting.pop(0), base, Path(work),
                                          capture=opts.jobs > 1))
                time.sleep(0.2)
                for module in list(running):
                    if module.proc.poll() is None:
                        if time.monotonic() - module.started <= timeout:
                            continue
                        print(f"==== {module.name}: still running after {timeout:.0f}s; "
                              f"stopping it", flush=True)
                        module.timed_out = True
                        module.stop()
                    running.remove(module)
                    for key, value in module.report().items():
                        totals[key] += value
        except Interrupted as stop:
            print(f"==== interrupted by signal {stop.signum}; stopping "
                  f"{', '.join(m.name for m in running) or 'nothing'}", flush=True)
            # All at once, so that their graces run side by side.
            for module in running:
                module.signal_group(signal.SIGTERM)
            for module in running:
                module.finish_stopping()
            return 128 + stop.signum

    print(f"==== {len(modules)} modules in {time.monotonic() - start:.2f}s")
    print(f"all modules: {totals['passed']} passed, {totals['failed']} failed, "
          f"{totals['skipped']} skipped", flush=True)
    return 0 if totals["failed"] == 0 and totals["passed"] > 0 else 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--target", choices=("x86_64", "arm64"),
                        help="the Wine to run under (default: $VX_TARGET or x86_64)")
    parser.add_argument("-j", dest="jobs", type=int, default=1,
                        help="test modules run at once, each in a process of its own")
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("-k", dest="patterns", action="append",
                        help="only tests whose name contains this text")
    parser.add_argument("--module-timeout", type=float, default=600,
                        help="seconds a module may run, times the target's time scale")
    parser.add_argument("--one", help=argparse.SUPPRESS)
    parser.add_argument("--result", help=argparse.SUPPRESS)
    parser.add_argument("modules", nargs="*",
                        help="test modules, by name or path (default: all test_*.py here)")
    opts = parser.parse_args()
    if opts.jobs < 1:
        parser.error("-j must be at least 1")
    if opts.target:
        os.environ["VX_TARGET"] = opts.target
    if opts.one:
        return run_module(opts)
    return run_all(opts)


if __name__ == "__main__":
    sys.exit(main())
