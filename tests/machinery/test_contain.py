"""scripts/contain.sh: a command in mount and PID namespaces of its own."""

import signal
import subprocess
import time
import unittest

from common import (CONTAIN, MachineryTestCase, default_signal_handling, marked,
                    processes_named, run, wait_until)


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


if __name__ == "__main__":
    unittest.main()
