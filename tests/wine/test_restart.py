"""End-to-end tests of the restart step of vxuninstall.exe under Wine.

The stand-in msiexec.exe ends with 3010 for one product, so the run needs a
restart.  Wine accepts the restart request: ExitWindowsEx starts
"wineboot.exe --end-session" in the prefix (with "--force" for
EWX_FORCEIFHUNG, without "--shutdown" because EWX_REBOOT is set) and returns
TRUE at once.  That wineboot process is the only outside sign of the request,
so the tests watch the prefix's processes for it.  It ends the session's
windows, not console programs: the program goes on to its own end.
"""

import os
import sys
import threading
import time
import unittest
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from texts import (EXIT_PROMPT, NOT_POSSIBLE, PROCEED_PROMPT, REBOOT_PROMPT,  # noqa: E402
                   REMOVALS, RESTART_MESSAGE, run_streams)
from harness import PrefixTestCase, Product, RunAssertions, guid  # noqa: E402

AGENT = Product(guid(2, "restart"), "Velorantix Agent", "Velorantix Ltd.")
UPDATER = Product(guid(1, "restart"), "Velorantix Updater", "Velorantix Ltd.")

# What ExitWindowsEx(EWX_REBOOT | EWX_FORCEIFHUNG, ...) starts under Wine.
RESTART_REQUEST = "wineboot.exe --end-session --force"
MAKER_KEYS = [r"HKLM\SOFTWARE\Velorantix", r"HKLM\Software\Policies\Velorantix"]


class SessionEndWatcher:
    """Records the wineboot.exe --end-session processes of one prefix: their
    command line, by process id (the line changes while Wine starts the process)."""

    def __init__(self, prefix: harness.WinePrefix):
        self._marker = b"WINEPREFIX=" + os.fsencode(prefix.env()["WINEPREFIX"])
        self.seen: Dict[str, str] = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def _sessions(self) -> List[Tuple[str, str]]:
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    cmdline = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
                if "--end-session" not in cmdline:
                    continue
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if self._marker not in f.read().split(b"\0"):
                        continue
            except OSError:
                continue
            found.append((pid, cmdline))
        return found

    def _watch(self) -> None:
        while not self._stop.is_set():
            for pid, cmdline in self._sessions():
                self.seen[pid] = cmdline
            time.sleep(0.01)

    def __enter__(self) -> "SessionEndWatcher":
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()

    def wait_seen(self, timeout: float) -> bool:
        deadline = time.monotonic() + harness.scaled(timeout)
        while not self.seen and time.monotonic() < deadline:
            time.sleep(0.02)
        return bool(self.seen)

    def wait_gone(self, timeout: float = 60) -> None:
        deadline = time.monotonic() + harness.scaled(timeout)
        while self._sessions():
            if time.monotonic() > deadline:
                raise harness.HarnessError("wineboot --end-session did not end")
            time.sleep(0.05)


def requested(watcher: SessionEndWatcher) -> List[str]:
    """Restart requests seen, as the tail of wineboot's command line."""
    return [cmdline[cmdline.find("wineboot.exe"):] for cmdline in watcher.seen.values()]


@dataclass(frozen=True)
class Case:
    label: str
    args: Tuple[str, ...]
    msiexec_codes: Tuple[int, int]   # (Agent, Updater)
    returncode: int
    # Standard output after the listing, REMOVALS standing for the progress
    # lines in the installer's order of the products (see texts.run_streams).
    after_listing: str
    restart_requested: bool
    keys_removed: bool


CASES = [
    Case("-u, restart needed", ("-u",), (3010, 0), 3, "\n" + REMOVALS + RESTART_MESSAGE,
         restart_requested=False, keys_removed=True),
    Case("-u -r, restart needed", ("-u", "-r"), (3010, 0), 3, "\n" + REMOVALS,
         restart_requested=True, keys_removed=True),
    # No console to read keys from: every wait ends at once, the texts stay.
    Case("-u -r -w without a console", ("-u", "-r", "-w"), (3010, 0), 3,
         "\n" + PROCEED_PROMPT + REMOVALS + REBOOT_PROMPT + EXIT_PROMPT,
         restart_requested=True, keys_removed=True),
    Case("-u, restart needed, one removal failed", ("-u",), (3010, 1603), 4,
         "\n" + REMOVALS + RESTART_MESSAGE,
         restart_requested=False, keys_removed=False),
    Case("-u -r, restart needed, one removal failed", ("-u", "-r"), (3010, 1603), 4,
         "\n" + REMOVALS,
         restart_requested=True, keys_removed=False),
    Case("-u -r, no restart needed", ("-u", "-r"), (0, 0), 0, "\n" + REMOVALS,
         restart_requested=False, keys_removed=True),
    Case("-u -r, every removal failed", ("-u", "-r"), (1603, 1603), 1, "\n" + REMOVALS,
         restart_requested=False, keys_removed=False),
    Case("-r without -u", ("-r",), (3010, 0), 0, "",
         restart_requested=False, keys_removed=False),
]


class RestartStep(RunAssertions, PrefixTestCase):

    order: List[Product]

    @classmethod
    def prepare_prefix(cls) -> None:
        cls.prefix.install(AGENT)
        cls.prefix.install(UPDATER)
        cls.prefix.install_standin()
        cls.order = cls.prefix.in_enumeration_order([AGENT, UPDATER])

    def setUp(self) -> None:
        # Both products are installed and enumerated; the expected texts
        # follow the installer's order.
        self.assertEqual(len(self.order), 2)

    def streams(self, msiexec_codes: Tuple[int, int],
                after_listing: str) -> Tuple[str, str]:
        """Expected (stdout, stderr) for the (Agent, Updater) exit codes."""
        codes = dict(zip((AGENT.code, UPDATER.code), msiexec_codes))
        return run_streams([(p.name, codes[p.code]) for p in self.order], after_listing)

    def add_maker_keys(self) -> None:
        for view in (64, 32):
            for key in MAKER_KEYS:
                self.prefix.reg_add(key + r"\Settings", "Channel", f"stable-{view}", view=view)

    def maker_keys_left(self) -> List[Tuple[str, int]]:
        return [(key, view) for key in MAKER_KEYS for view in (64, 32)
                if self.prefix.reg_key_exists(key, view=view)]

    def remove_maker_keys(self) -> None:
        for key in MAKER_KEYS:
            for view in (64, 32):
                self.prefix.reg_delete(key, view=view)

    def test_restart_step_after_each_kind_of_run(self) -> None:
        for case in CASES:
            with self.subTest(case.label):
                agent, updater = case.msiexec_codes
                self.prefix.configure_standin({AGENT.code: agent, UPDATER.code: updater})
                self.add_maker_keys()
                try:
                    self.check_case(case)
                finally:
                    self.remove_maker_keys()

    def check_case(self, case: Case) -> None:
        with SessionEndWatcher(self.prefix) as watcher:
            result = self.prefix.run_exe(list(case.args), timeout=30)
            # The request is made before the program ends; give the watcher a
            # moment to catch a short-lived wineboot.
            watcher.wait_seen(3 if case.restart_requested else 1)
            watcher.wait_gone()

        stdout, stderr = self.streams(case.msiexec_codes, case.after_listing)
        self.assert_run(result, stdout, stderr, case.returncode)
        self.assertNotIn(NOT_POSSIBLE.strip(), result.stdout.decode("utf-8", "replace"))
        self.assertEqual(requested(watcher), [RESTART_REQUEST] if case.restart_requested else [])
        # The clean-up comes before the restart step and is not skipped for it.
        all_keys = [(key, view) for key in MAKER_KEYS for view in (64, 32)]
        self.assertEqual(self.maker_keys_left(), [] if case.keys_removed else all_keys)

    def test_reboot_and_exit_prompts_on_a_terminal(self) -> None:
        self.prefix.configure_standin({AGENT.code: 3010, UPDATER.code: 0})
        at_reboot_prompt, stderr = self.streams(
            (3010, 0), "\n" + PROCEED_PROMPT + REMOVALS + REBOOT_PROMPT)
        self.assertEqual(stderr, "")
        with SessionEndWatcher(self.prefix) as watcher, \
                self.prefix.pty_session(["-u", "-r", "-w"]) as session:
            session.wait_for(PROCEED_PROMPT.strip(), timeout=30)
            session.send("p")
            screen = session.wait_for(REBOOT_PROMPT.strip(), timeout=30)
            self.assertMultiLineEqual(screen, at_reboot_prompt)
            # Nothing is requested while the reboot prompt waits.
            time.sleep(harness.scaled(1))
            self.assertEqual(requested(watcher), [])
            self.assertFalse(session.exited())

            session.send("r")
            session.wait_for(EXIT_PROMPT.strip(), timeout=30)
            self.assertTrue(watcher.wait_seen(10), "no restart request after the key")
            self.assertEqual(requested(watcher), [RESTART_REQUEST])
            # Let Wine's end of session run its course while the program waits.
            watcher.wait_gone()
            time.sleep(harness.scaled(0.5))
            self.assertFalse(session.exited(), "the program ended during the end of session:\n"
                             + session.screen())
            self.assertMultiLineEqual(session.screen(), at_reboot_prompt + EXIT_PROMPT)

            session.send("e")
            self.assertEqual(session.wait_exit(timeout=30), 3)
            self.assertNotIn(NOT_POSSIBLE.strip(), session.screen())


if __name__ == "__main__":
    unittest.main()
