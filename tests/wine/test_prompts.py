"""End-to-end tests of the key prompts of vxuninstall.exe (-w) under Wine.

The program runs with a terminal (a tmux pane) as its console and the tests
type into it.  The stand-in msiexec.exe is in place, so its log tells whether
a removal has started.  The pane shows what Wine's console made of the
output, so screens are compared line by line with trailing blanks dropped and
tabs expanded.
"""

import sys
import time
import unittest
from pathlib import Path
from typing import List, Sequence

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from texts import BANNER, EXIT_PROMPT, PROCEED_PROMPT, USAGE, listing  # noqa: E402
from harness import PrefixTestCase, Product, RunAssertions, guid  # noqa: E402


PRODUCTS = [
    Product(guid(1, "prompts"), "Velorantix Studio", "Velorantix Ltd."),
    Product(guid(2, "prompts"), "Velorantix Toolkit", "Velorantix Ltd."),
]
OTHER = Product(guid(3, "prompts"), "Contoso Editor", "Contoso Ltd.")

# How long a prompt must keep the program waiting before a key is typed: a
# wait that ends by itself ends within a few milliseconds of its prompt.
STILL_WAITING_FOR = harness.scaled(0.8)
# Start-up of a Wine process in a busy machine, and the rest of a run after a key.
START_TIMEOUT = 30
TIMEOUT = 15


def shown(text: str) -> str:
    """`text` as the pane shows it."""
    lines = [line.rstrip() for line in text.expandtabs(8).split("\n")]
    while lines and not lines[-1]:
        lines.pop()
    return "\n".join(lines)


def screen_of(session: harness.PtySession) -> str:
    """The pane's text without tmux's note on the ended program."""
    lines = [line.rstrip() for line in session.screen().split("\n")
             if not line.startswith("Pane is dead")]
    while lines and not lines[-1]:
        lines.pop()
    return "\n".join(lines)


class PromptTests(RunAssertions, PrefixTestCase):
    order: List[Product]

    @classmethod
    def prepare_prefix(cls) -> None:
        for product in PRODUCTS + [OTHER]:
            cls.prefix.install(product)
        cls.prefix.install_standin()
        cls.order = cls.prefix.in_enumeration_order(PRODUCTS)

    def setUp(self) -> None:
        self.assertEqual(len(self.order), 2)
        self.prefix.configure_standin({})
        self.prefix.clear_standin_log()

    # ---- helpers

    def session(self, args: Sequence[str]) -> harness.PtySession:
        session = self.prefix.pty_session(args)
        self.addCleanup(session.close)
        return session

    def wait_for(self, session: harness.PtySession, text: str,
                 timeout: float = TIMEOUT) -> None:
        try:
            session.wait_for(text, timeout=timeout)
        except harness.HarnessError as error:
            self.fail(str(error))

    def wait_exit(self, session: harness.PtySession, timeout: float = TIMEOUT) -> int:
        try:
            return session.wait_exit(timeout=timeout)
        except harness.HarnessError as error:
            self.fail(str(error))

    def assert_waiting(self, session: harness.PtySession) -> None:
        deadline = time.monotonic() + STILL_WAITING_FOR
        while time.monotonic() < deadline:
            self.assertFalse(session.exited(), "the program did not wait for a key:\n"
                             + screen_of(session))
            time.sleep(0.1)

    def assert_screen(self, session: harness.PtySession, text: str) -> None:
        self.assertMultiLineEqual(screen_of(session), shown(text))

    def listing(self) -> str:
        return listing([p.name for p in self.order])

    def removal_lines(self) -> str:
        return "".join(f"Uninstalling: {p.name} ... success\n" for p in self.order)

    def assert_all_removed(self) -> None:
        self.assertEqual(self.prefix.standin_parameters(),
                         [f'/x {p.code} /qn /norestart OPEN_URL="0"' for p in self.order])

    # ---- tests

    def test_listing_waits_at_the_exit_prompt(self) -> None:
        session = self.session(["-w"])
        self.wait_for(session, "Press any key to exit.", START_TIMEOUT)
        self.assert_waiting(session)
        self.assert_screen(session, self.listing() + EXIT_PROMPT)
        session.send("q")
        self.assertEqual(self.wait_exit(session), 0)
        # The key is not echoed.
        self.assert_screen(session, self.listing() + EXIT_PROMPT)
        self.assertEqual(self.prefix.standin_calls(), [])

    def finish_at_exit_prompt(self, session: harness.PtySession) -> None:
        """After the proceed prompt's key: every product removed, the exit
        prompt waiting for a key of its own, then exit code 0."""
        self.wait_for(session, "Press any key to exit.")
        self.assert_all_removed()
        self.assert_waiting(session)
        session.send("q")
        self.assertEqual(self.wait_exit(session), 0)
        self.assert_screen(session, self.listing() + "\n" + PROCEED_PROMPT
                           + self.removal_lines() + EXIT_PROMPT)

    def test_removal_waits_at_the_proceed_prompt(self) -> None:
        session = self.session(["-u", "-w"])
        self.wait_for(session, "proceed with uninstallation.", START_TIMEOUT)
        self.assert_waiting(session)
        self.assertEqual(self.prefix.standin_calls(), [])
        self.assert_screen(session, self.listing() + "\n" + PROCEED_PROMPT)

        session.send("y")
        self.finish_at_exit_prompt(session)

    def test_keys_typed_before_the_exit_prompt_are_dropped(self) -> None:
        # The first removal takes a while; keys typed during it are pending
        # when the exit prompt comes and must not end its wait.
        first = self.order[0]
        self.prefix.configure_standin({first.code: (0, round(harness.scaled(2.5) * 1000))})
        session = self.session(["-u", "-w"])
        self.wait_for(session, "proceed with uninstallation.", START_TIMEOUT)
        session.send("y")
        deadline = time.monotonic() + harness.scaled(TIMEOUT)
        while not self.prefix.standin_calls():
            self.assertLess(time.monotonic(), deadline, "the removal did not start")
            time.sleep(0.05)
        session.send("abc" + harness.KEY_ENTER)
        self.assertNotIn("Press any key to exit.", session.screen(),
                         "the keys were not typed during the removal")

        self.finish_at_exit_prompt(session)

    def test_key_without_character_ends_one_wait(self) -> None:
        keys = [("up", harness.KEY_UP), ("F1", harness.KEY_F1), ("F12", harness.KEY_F12),
                ("Page Down", harness.KEY_PAGE_DOWN)]
        for label, key in keys:
            with self.subTest(key=label):
                self.prefix.clear_standin_log()
                session = self.session(["-u", "-w"])
                self.wait_for(session, "proceed with uninstallation.", START_TIMEOUT)
                session.send(key)
                self.finish_at_exit_prompt(session)
                session.close()

    def test_ctrl_c_is_a_key_press(self) -> None:
        session = self.session(["-u", "-w"])
        self.wait_for(session, "proceed with uninstallation.", START_TIMEOUT)
        session.send(harness.CTRL_C)
        self.wait_for(session, "Press any key to exit.")
        self.assert_all_removed()
        self.assert_waiting(session)
        session.send(harness.CTRL_C)
        self.assertEqual(self.wait_exit(session), 0)
        self.assert_screen(session, self.listing() + "\n" + PROCEED_PROMPT
                           + self.removal_lines() + EXIT_PROMPT)

    def test_prompts_without_a_terminal(self) -> None:
        # Standard input from /dev/null and output to pipes: the prompts are
        # written and the run goes on without waiting.
        cases = [
            (["-w"], self.listing() + EXIT_PROMPT),
            (["-u", "-w"], self.listing() + "\n" + PROCEED_PROMPT + self.removal_lines()
             + EXIT_PROMPT),
        ]
        for args, stdout in cases:
            with self.subTest(args=args):
                self.prefix.clear_standin_log()
                try:
                    result = self.prefix.run_exe(args, timeout=TIMEOUT)
                except harness.HarnessError as error:
                    self.fail(f"the program waited: {error}")
                self.assert_run(result, stdout)
                if "-u" in args:
                    self.assert_all_removed()

    def test_usage_with_and_without_the_exit_prompt(self) -> None:
        cases = [
            # (arguments, whether the exit prompt follows the usage text)
            (["-h", "-w"], True),
            (["-wh"], True),
            (["-w", "/?"], True),
            (["-w", "-x"], True),
            (["-x", "-w"], False),
            (["-xw"], False),
            (["/?", "-w"], False),
        ]
        for args, prompt in cases:
            with self.subTest(args=args):
                session = self.session(args)
                if prompt:
                    self.wait_for(session, "Press any key to exit.", START_TIMEOUT)
                    self.assert_waiting(session)
                    session.send("q")
                    self.assertEqual(self.wait_exit(session), 0)
                    self.assert_screen(session, BANNER + USAGE + EXIT_PROMPT)
                else:
                    self.assertEqual(self.wait_exit(session, START_TIMEOUT), 0)
                    self.assert_screen(session, BANNER + USAGE)
                session.close()
                self.assertEqual(self.prefix.standin_calls(), [])


if __name__ == "__main__":
    unittest.main()
