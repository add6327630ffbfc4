"""Support for the tests of the scripts that build and run the test
environment (scripts/contain.sh, scripts/arm64-root.sh, tests/wine/run_tests.py).

They run as root, as the test command does, and give the processes they
start a name of their own (`marked(...)`), so that what is still running
afterwards can be found in /proc.
"""

import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import uuid
from pathlib import Path
from typing import Callable, List, Sequence

REPO = Path(__file__).resolve().parent.parent.parent
CONTAIN = REPO / "scripts" / "contain.sh"
ARM64_ROOT = REPO / "scripts" / "arm64-root.sh"
RUN_TESTS = REPO / "tests" / "wine" / "run_tests.py"


def default_signal_handling() -> None:
    """For Popen's preexec_fn: SIGINT, SIGTERM and SIGHUP at their defaults in
    the child.  A shell started from a background job inherits SIGINT ignored,
    and bash cannot trap a signal that was ignored when it started, so a test
    that signals a script must not pass that on."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


def new_marker() -> str:
    return "vx-marker-" + uuid.uuid4().hex[:12]


def marked(marker: str, seconds: int = 300) -> str:
    """A shell command: a process named `marker` that sleeps `seconds`."""
    return f"bash -c 'exec -a {marker} sleep {seconds}'"


def processes_named(marker: str) -> List[int]:
    """Process IDs of the live processes named `marker` (see marked)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read()
            with open(f"/proc/{entry}/stat") as f:
                state = f.read().rpartition(")")[2].split()[0]
        except OSError:
            continue
        if cmdline.split(b"\0")[0] == marker.encode() and state != "Z":
            found.append(int(entry))
    return found


def wait_until(condition: Callable[[], bool], timeout: float, what: str) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.05)


def mounts_below(path: Path) -> List[str]:
    """Mount points at or below `path` in this mount namespace."""
    prefix = str(path)
    found = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            target = line.split()[4].encode().decode("unicode_escape")
            if target == prefix or target.startswith(prefix + "/"):
                found.append(target)
    return found


def run(args: Sequence[str], timeout: float = 120, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(list(map(str, args)), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=timeout, **kwargs)


class MachineryTestCase(unittest.TestCase):
    """Gives each test a scratch directory, removed afterwards (once nothing is
    mounted below it), and kills whatever still runs with one of its markers."""

    def setUp(self) -> None:
        self.assertEqual(os.geteuid(), 0, "these tests need root")
        self.scratch = Path(tempfile.mkdtemp(prefix="vx-machinery-", dir="/var/tmp"))
        self.markers: List[str] = []
        self.addCleanup(self._clean_up)

    def marker(self) -> str:
        marker = new_marker()
        self.markers.append(marker)
        return marker

    def _clean_up(self) -> None:
        for marker in self.markers:
            for pid in processes_named(marker):
                try:
                    os.kill(pid, 9)
                except ProcessLookupError:
                    pass
        left = mounts_below(self.scratch)
        if left:
            self.fail(f"not removing {self.scratch}: mounted below it: {left}")
        shutil.rmtree(self.scratch)

    def assert_all_ended(self, marker: str, timeout: float = 5) -> None:
        wait_until(lambda: not processes_named(marker), timeout,
                   f"the processes marked {marker} to end")


ARM64_TOOLCHAIN = REPO / "scripts" / "arm64-toolchain.sh"
CACHE = REPO / "scripts" / "cache.sh"
SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
