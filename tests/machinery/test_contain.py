"""scripts/contain.sh: a command in mount and PID namespaces of its own."""

import os
import signal
import subprocess
import time
import unittest
from pathlib import Path

from typing import List, Tuple

from common import (CONTAIN, MachineryTestCase, default_signal_handling, marked,
                    processes_named, run, wait_until)


def children(pid: int) -> List[int]:
    try:
        return [int(c) for c in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except OSError:
        return []


def cmdline(pid: int) -> List[str]:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes().decode().split("\0")
    except OSError:
        return []


def stat_fields(pid: int) -> List[str]:
    """The fields of /proc/PID/stat after "(command)": state first."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    except OSError:
        return []


def start_time(pid: int) -> str:
    fields = stat_fields(pid)
    return fields[19] if fields else ""


def alive(pid: int, started: str) -> bool:
    """Whether the process PID that started at `started` is still running."""
    fields = stat_fields(pid)
    return bool(fields) and fields[19] == started and fields[0] != "Z"


class Contain(MachineryTestCase):

    def test_exit_status_and_a_proc_of_its_own(self) -> None:
        result = run(["bash", CONTAIN, "--", "sh", "-c",
                      "ls /proc | grep -c '^[0-9]'; exit 7"])
        self.assertEqual(result.returncode, 7, result.stderr)
        # The command's shell, ls, grep and the namespace's first process.
        self.assertLessEqual(int(result.stdout), 5)

    def test_nothing_started_inside_outlives_the_namespace(self) -> None:
        # (how the caller's end comes, exit status of the caller)
        cases = [("the command ends", None, 0),
                 ("SIGTERM", signal.SIGTERM, 143),
                 ("SIGINT", signal.SIGINT, 130),
                 ("SIGKILL", signal.SIGKILL, -signal.SIGKILL)]
        for label, sig, status in cases:
            with self.subTest(label):
                daemon, command = self.marker(), self.marker()
                # A daemon of its own session that ignores SIGTERM, and a
                # command that waits for the test unless it is to end.
                script = (f"(trap '' TERM; setsid {marked(daemon)} &); "
                          + ("exit 0" if sig is None else f"exec -a {command} sleep 300"))
                proc = subprocess.Popen(["bash", str(CONTAIN), "--", "bash", "-c", script],
                                        stdin=subprocess.DEVNULL,
                                        preexec_fn=default_signal_handling)
                if sig is not None:
                    wait_until(lambda: processes_named(command) and processes_named(daemon),
                               10, "the command and its daemon")
                    proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=60), status)
                if sig == signal.SIGKILL:
                    # No one is left to wait for the namespace to end.
                    self.assert_all_ended(daemon)
                    self.assert_all_ended(command)
                else:
                    self.assertEqual(processes_named(daemon), [])
                    self.assertEqual(processes_named(command), [])

    def test_record_says_when_the_namespace_is_gone(self) -> None:
        record = self.scratch / "record"
        command = self.marker()

        def ended() -> bool:
            return run(["bash", CONTAIN, "--ended", record]).returncode == 0

        self.assertTrue(ended(), "no record: nothing was ever mounted")
        proc = subprocess.Popen(["bash", str(CONTAIN), "--record", str(record), "--",
                                 "bash", "-c", f"exec -a {command} sleep 300"],
                                stdin=subprocess.DEVNULL)
        wait_until(lambda: processes_named(command), 10, "the command")
        self.assertTrue(record.exists())
        self.assertFalse(ended())
        proc.kill()
        proc.wait()
        wait_until(ended, 10, "the record to say the namespace ended")
        self.assertEqual(processes_named(command), [])
        # A record of a process that is not the namespace's: its start time differs.
        pid, start = record.read_text().split()
        record.write_text(f"1 {start}\n")
        self.assertTrue(ended())
        record.write_text("garbage\n")
        self.assertFalse(ended(), "an unreadable record must not read as ended")


    def test_a_run_user_of_its_own(self) -> None:
        # Wine keeps its server directories below /run/user/<uid> when that
        # exists; inside, it must be an empty tmpfs that ends with the run.
        if not Path("/run/user").is_dir():
            self.skipTest("this machine has no /run/user")
        name = f"vx-run-user-{os.getpid()}"
        leaked = Path("/run/user", name)
        self.addCleanup(lambda: leaked.is_dir() and leaked.rmdir())
        result = run(["bash", CONTAIN, "--", "sh", "-c",
                      "grep ' /run/user ' /proc/self/mountinfo | sed 's/.* - //'; "
                      f"ls -A /run/user | wc -l; mkdir /run/user/{name} && echo made"])
        self.assertEqual(result.returncode, 0, result.stderr)
        fs, entries, made = result.stdout.splitlines()
        self.assertTrue(fs.startswith("tmpfs "), result.stdout)
        self.assertEqual((entries, made), ("0", "made"))
        self.assertFalse(leaked.exists(), "written into the machine's /run/user")

    def test_the_grace_ends_what_ignores_sigterm(self) -> None:
        command = self.marker()
        proc = subprocess.Popen(
            ["bash", "-c", f'source "{CONTAIN}"; CONTAIN_GRACE=1; '
                           f"contain -- bash -c \"trap '' TERM; {marked(command)}\""],
            stdin=subprocess.DEVNULL, preexec_fn=default_signal_handling)
        wait_until(lambda: processes_named(command), 10, "the command")
        start = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=30), 143)
        self.assertGreaterEqual(time.monotonic() - start, 0.9, "killed before the grace was over")
        self.assertEqual(processes_named(command), [])

    def test_the_grace_timer_dies_with_contain(self) -> None:
        # A timer left behind by a killed contain would later kill whatever
        # process then has the ID of the namespace's first process.
        command = self.marker()
        proc = subprocess.Popen(["bash", str(CONTAIN), "--", "bash", "-c",
                                 f"trap '' TERM; {marked(command)}"],
                                stdin=subprocess.DEVNULL, preexec_fn=default_signal_handling)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        wait_until(lambda: processes_named(command), 10, "the command")
        proc.send_signal(signal.SIGTERM)
        timers: List[Tuple[int, str]] = []

        def timer_started() -> bool:
            # contain's children: unshare, and the timer once it runs.
            for pid in children(proc.pid):
                if cmdline(pid)[:1] != ["unshare"]:
                    timers.append((pid, start_time(pid)))
            return bool(timers)

        wait_until(timer_started, 10, "the grace timer to start")
        proc.kill()
        proc.wait()
        [(pid, started)] = timers
        wait_until(lambda: not alive(pid, started), 10,
                   "the grace timer to end with contain")
        self.assert_all_ended(command)


if __name__ == "__main__":
    unittest.main()
