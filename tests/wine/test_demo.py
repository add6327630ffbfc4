"""The demo (scripts/demo.py), the README's main job, run as a user runs it:
it must end with exit status 0 and say that everything it showed was as it
should be.  Its own checks compare the program's output, what stays
installed and the maker's keys with what they should be."""

import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402

DEMO = Path(__file__).resolve().parents[2] / "scripts" / "demo.py"


class Demo(unittest.TestCase):

    def test_the_demo_shows_what_it_should(self) -> None:
        harness.require_exe()
        proc = subprocess.Popen([sys.executable, str(DEMO)], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            stdout, stderr = proc.communicate(timeout=harness.scaled(400))
        except subprocess.TimeoutExpired:
            # SIGTERM first: the demo then removes its prefix and run directory.
            proc.terminate()
            try:
                proc.communicate(timeout=harness.scaled(60))
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.communicate()
            self.fail(f"the demo did not end within {harness.scaled(400)} s")
        out = stdout.decode("utf-8", "replace")
        err = stderr.decode("utf-8", "replace")
        self.assertEqual(proc.returncode, 0, f"the demo ended with {proc.returncode}:\n{out}\n{err}")
        self.assertEqual(out.rstrip("\n").splitlines()[-1], "demo: everything as it should be", out)
        self.assertEqual(err, "")


if __name__ == "__main__":
    unittest.main()
