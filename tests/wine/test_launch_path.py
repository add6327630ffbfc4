"""End-to-end tests of which msiexec.exe vxuninstall.exe -u starts under Wine.

The program starts the system directory's own msiexec.exe by its full path,
never a msiexec.exe that a search for the bare file name would find.  Wine
searches the system directory before the working directory, so the system's
copies (system32, and syswow64 where it has one) are taken away first: then a
search would find a msiexec.exe in the working directory or beside the
program.  Those are recorders (fixtures/recording_msiexec.c) that note where
they were started from and end with 0, so a program that started one would
report success and delete the maker's registry keys.

With C:\windows\system32\msiexec.exe gone, Wine 8 starts nothing for that
full path, not even its builtin msiexec, also without a DLL override (seen on
both targets); the runs still load msiexec.exe as native only
(WINEDLLOVERRIDES msiexec.exe=n), so that the builtin can never stand in for
the missing file.
"""

import shutil
import sys
import unittest
from pathlib import Path
from typing import List

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from texts import listing  # noqa: E402
from harness import PrefixTestCase, Product, RunAssertions, guid  # noqa: E402

AGENT = Product(guid(1, "launch-path"), "Velorantix Agent", "Velorantix Ltd.")
PARAMETERS = f'/x {AGENT.code} /qn /norestart OPEN_URL="0"'
MAKER_KEYS = [r"HKLM\SOFTWARE\Velorantix", r"HKLM\Software\Policies\Velorantix"]
VIEWS = (64, 32)
SYSTEM_DIRECTORIES = [r"windows\system32", r"windows\syswow64"]
PROGRAM = r"tools\vxuninstall.exe"
#: Where the recorders go: the runs' working directory (C:\) and the program's.
RECORDER_PLACES = {"working directory": "msiexec.exe", "beside the program": r"tools\msiexec.exe"}
RECORDED = r"recorded\started.txt"


class LaunchPath(RunAssertions, PrefixTestCase):
    """One Velorantix product and the maker's keys in both views; no msiexec.exe
    in the system directories."""

    @classmethod
    def prepare_prefix(cls) -> None:
        prefix = cls.prefix
        prefix.install(AGENT)
        for directory in SYSTEM_DIRECTORIES:
            (prefix.drive_c(directory) / "msiexec.exe").unlink(missing_ok=True)
        prefix.standin_active = True  # msiexec.exe=n: native only
        prefix.drive_c("tools").mkdir()
        shutil.copyfile(harness.require_exe(), prefix.drive_c(PROGRAM))
        prefix.drive_c("recorded").mkdir()

    def setUp(self) -> None:
        self.assertEqual(self.tools_in_windows(), [], "a msiexec.exe is left below C:\\windows")
        self.recorder = harness.compile_fixture("recording_msiexec.c")

    def tools_in_windows(self) -> List[str]:
        windows = self.prefix.drive_c("windows")
        return sorted(str(p.relative_to(windows)) for p in windows.rglob("*")
                      if p.name.lower() == "msiexec.exe")

    def place_recorders(self, places: List[str]) -> None:
        """Recorders in `places` and none elsewhere, and an empty record."""
        for place, path in RECORDER_PLACES.items():
            target = self.prefix.drive_c(path)
            target.unlink(missing_ok=True)
            if place in places:
                shutil.copyfile(self.recorder, target)
        self.prefix.drive_c(RECORDED).unlink(missing_ok=True)

    def create_maker_keys(self) -> None:
        """The maker's keys in both views (again, should a run have deleted them)."""
        for key in MAKER_KEYS:
            for view in VIEWS:
                self.prefix.reg_add(key, "VxLaunchPath", f"kept-{view}", view=view)

    def started(self) -> List[str]:
        """'<file>\\t<command line>' of each recorder started, oldest first."""
        log = self.prefix.drive_c(RECORDED)
        return log.read_text(encoding="utf-8").splitlines() if log.exists() else []

    def assert_maker_keys_kept(self) -> None:
        for key in MAKER_KEYS:
            for view in VIEWS:
                self.assertTrue(self.prefix.reg_key_exists(key, view=view), f"{key} /reg:{view}")

    def test_a_recorder_notes_its_start(self) -> None:
        # The tests below take an empty record for "not started": a recorder
        # that is started must leave its line.
        self.addCleanup(self.place_recorders, [])
        self.place_recorders(list(RECORDER_PLACES))
        for path in RECORDER_PLACES.values():
            proc = self.prefix.wine([harness.wine_path(self.prefix.drive_c(path)), "/x", AGENT.code])
            self.assertEqual(proc.returncode, 0, proc.stderr)
        started = self.started()
        self.assertEqual(len(started), 2, started)
        for line, path in zip(started, RECORDER_PLACES.values()):
            self.assertEqual(line.split("\t")[0].lower(), f"c:\\{path}".lower(), line)

    def test_no_msiexec_found_by_a_search_is_started(self) -> None:
        # Each place alone, and both: a search by the bare name finds either,
        # the one beside the program first.
        self.addCleanup(self.place_recorders, [])
        for places in (["working directory"], ["beside the program"],
                       ["working directory", "beside the program"]):
            with self.subTest(places=places):
                self.place_recorders(places)
                self.create_maker_keys()
                result = self.prefix.run_exe(["-u"], exe=self.prefix.drive_c(PROGRAM))
                self.assertEqual(self.started(), [], "a recorder was started")
                self.assert_run(result, listing([AGENT.name]) + "\nUninstalling: " + AGENT.name + " ... ",
                                f"Failed to launch msiexec for {AGENT.name}\n", 1)
                self.assert_maker_keys_kept()

    def test_the_system_directory_copy_is_started_by_its_full_path(self) -> None:
        # The stand-in in system32 fails the removal, so nothing changes; the
        # recorders stay where a search would find them.
        self.addCleanup(self.place_recorders, [])
        self.place_recorders(list(RECORDER_PLACES))
        self.prefix.install_standin({AGENT.code: 1603})
        self.create_maker_keys()
        self.addCleanup(self.prefix.drive_c(r"windows\system32\msiexec.exe").unlink)

        result = self.prefix.run_exe(["-u"], exe=self.prefix.drive_c(PROGRAM))

        self.assertEqual(self.started(), [], "a recorder was started")
        self.assertEqual(self.prefix.standin_calls(),
                         [f'"C:\\windows\\system32\\msiexec.exe" {PARAMETERS}'])
        self.assert_run(result, listing([AGENT.name]) + "\nUninstalling: " + AGENT.name + " ... ",
                        "failed (1603)\n", 1)
        self.assert_maker_keys_kept()


if __name__ == "__main__":
    unittest.main()
