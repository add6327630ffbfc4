"""End-to-end tests of vxuninstall.exe's redirected output under Wine.

Standard output and standard error on pipes: every line ends in CR LF, on
both streams, with no bare line feed and no doubled CR, and the text keeps
its UTF-8.  With the reading ends of both pipes closed before the run, every
write fails: the removals still all run, the run ends in time, and its exit
code is the one it has with working output.  What the run did is checked
apart from its output: through the stand-in msiexec.exe's log, the registry,
and the Windows Installer's own list of products.
"""

import os
import subprocess
import sys
import unittest
from pathlib import Path
from typing import List, Sequence, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from harness import PrefixTestCase, Product, RunAssertions, guid  # noqa: E402
from texts import (BANNER, REMOVALS, RESTART_MESSAGE, USAGE, listing,  # noqa: E402
                   run_streams)

#: Long enough for a real removal under emulation (seconds, scaled for the
#: target); a run that does not end by then fails.
RUN_TIMEOUT = 180
#: The same for a run whose removals the stand-in makes at once.
STANDIN_TIMEOUT = 60


def parameters_for(code: str) -> str:
    return f'/x {code} /qn /norestart OPEN_URL="0"'


def run_piped(prefix: harness.WinePrefix, args: Sequence[str],
              timeout: float = RUN_TIMEOUT) -> harness.RunResult:
    """Run the program with standard output and standard error on two pipes."""
    proc = harness.start_exe(prefix, args, subprocess.PIPE, subprocess.PIPE)
    try:
        out, err = proc.communicate(timeout=harness.scaled(timeout))
    except subprocess.TimeoutExpired:
        harness.kill_group(proc)
        proc.communicate()
        raise
    return harness.RunResult(proc.returncode, out, err)


def run_with_closed_pipes(prefix: harness.WinePrefix, args: Sequence[str],
                          timeout: float = RUN_TIMEOUT) -> int:
    """Run the program with standard output and standard error on pipes whose
    reading ends are closed before it starts; returns its exit code.  A run
    that does not end in time is killed and fails the test."""
    out_read, out_write = os.pipe()
    err_read, err_write = os.pipe()
    os.close(out_read)
    os.close(err_read)
    try:
        proc = harness.start_exe(prefix, args, out_write, err_write)
    finally:
        os.close(out_write)
        os.close(err_write)
    try:
        return proc.wait(timeout=harness.scaled(timeout))
    except subprocess.TimeoutExpired:
        harness.kill_group(proc)
        proc.wait()
        raise AssertionError(f"the run with closed output pipes did not end within "
                             f"{harness.scaled(timeout)}s") from None


class LineEndAssertions(RunAssertions):

    def assert_crlf_only(self, data: bytes, what: str) -> None:
        self.assertEqual(harness.bare_line_ends(data), [], f"{what}: {data!r}")


# --------------------------------------------------------------------------
# Stand-in msiexec.exe: one product removed, one failing, one needing a restart

NON_BMP_NAME = "Velorantix \u00c9diteur \u65e5\u672c \U0001F600"
STANDIN_PRODUCTS = [
    Product(guid(1, "output-standin"), "Velorantix Studio", "Velorantix Ltd."),
    Product(guid(2, "output-standin"), "Velorantix Sync Service", "Velorantix Ltd."),
    Product(guid(3, "output-standin"), "Velorantix Toolkit", "Velorantix Ltd."),
]
STANDIN_OTHER = Product(guid(4, "output-standin"), "Contoso Editor", "Contoso Ltd.")
MAKER_KEYS = [r"HKLM\SOFTWARE\Velorantix\Agent", r"HKLM\Software\Policies\Velorantix\Agent"]
DELETED_KEYS = [r"HKLM\SOFTWARE\Velorantix", r"HKLM\Software\Policies\Velorantix"]


class RedirectedOutput(LineEndAssertions, PrefixTestCase):
    """Three Velorantix products (one named beyond ASCII) and one of another
    maker, with the stand-in msiexec.exe."""

    order: List[Tuple[Product, str]]

    @classmethod
    def prepare_prefix(cls) -> None:
        for product in STANDIN_PRODUCTS + [STANDIN_OTHER]:
            cls.prefix.install(product)
        cls.prefix.set_install_property(STANDIN_PRODUCTS[0].code, "DisplayName", NON_BMP_NAME)
        cls.prefix.install_standin()
        names = {p.code: p.name for p in STANDIN_PRODUCTS}
        names[STANDIN_PRODUCTS[0].code] = NON_BMP_NAME
        cls.order = [(p, names[p.code]) for p in cls.prefix.in_enumeration_order(STANDIN_PRODUCTS)]

    def setUp(self) -> None:
        self.assertEqual(len(self.order), 3)
        self.prefix.clear_standin_log()

    def configure(self, exit_codes: Sequence[int]) -> List[Tuple[str, int]]:
        """The stand-in ends each removal, in removal order, with these codes;
        returns (name, code) pairs for run_streams."""
        self.prefix.configure_standin({p.code: c for (p, _), c in zip(self.order, exit_codes)},
                                      default=1)
        self.prefix.clear_standin_log()
        return [(name, c) for (_, name), c in zip(self.order, exit_codes)]

    def add_maker_keys(self) -> None:
        for key in MAKER_KEYS:
            for view in (64, 32):
                self.prefix.reg_add(key, view=view)

    def maker_keys_left(self) -> List[str]:
        return [f"{key} /reg:{view}" for key in DELETED_KEYS for view in (64, 32)
                if self.prefix.reg_key_exists(key, view=view)]

    def test_piped_streams_end_every_line_in_crlf(self) -> None:
        removal = self.configure([0, 1603, 3010])
        removal_out, removal_err = run_streams(removal, "\n" + REMOVALS + RESTART_MESSAGE)
        listing_out = listing([name for _, name in self.order])
        cases = [
            # (label, arguments, standard output, standard error, exit code)
            ("usage text", ["-h"], BANNER + USAGE, "", 0),
            ("listing", [], listing_out, "", 0),
            ("a run with a failed removal", ["-u"], removal_out, removal_err, 4),
        ]
        for label, args, stdout, stderr, returncode in cases:
            with self.subTest(label):
                result = run_piped(self.prefix, args)
                self.assert_crlf_only(result.stdout, "standard output")
                self.assert_crlf_only(result.stderr, "standard error")
                self.assert_run(result, stdout, stderr, returncode)

    def test_both_streams_on_one_pipe(self) -> None:
        removal = self.configure([1603, 0, 0])
        code, merged = harness.run_merged(self.prefix, ["-u"], RUN_TIMEOUT)
        self.assert_crlf_only(merged, "both streams")
        names = [name for name, _ in removal]
        expected = (listing(names) + "\n"
                    + f"Uninstalling: {names[0]} ... failed (1603)\n"
                    + f"Uninstalling: {names[1]} ... success\n"
                    + f"Uninstalling: {names[2]} ... success\n")
        self.assertEqual(merged.decode("utf-8", "backslashreplace"), harness.crlf(expected))
        self.assertEqual(code, 2)

    def test_closed_output_pipes_stop_no_removal(self) -> None:
        cases = [
            # (msiexec exit codes in removal order, exit code, maker's keys deleted)
            ([0, 0, 0], 0, True),
            ([3010, 0, 0], 3, True),
            ([0, 1603, 3010], 4, False),
            ([1603, 1641, 1603], 1, False),
        ]
        for exit_codes, returncode, deleted in cases:
            with self.subTest(exit_codes=exit_codes):
                self.configure(exit_codes)
                self.add_maker_keys()
                self.assertEqual(run_with_closed_pipes(self.prefix, ["-u"], STANDIN_TIMEOUT),
                                 returncode)
                self.assertEqual(self.prefix.standin_parameters(),
                                 [parameters_for(p.code) for p, _ in self.order],
                                 "every removal runs, in order")
                self.assertEqual(self.maker_keys_left(),
                                 [] if deleted else [f"{key} /reg:{view}" for key in DELETED_KEYS
                                                     for view in (64, 32)])

    def test_closed_output_pipes_with_the_prompts(self) -> None:
        # -w without a console: the three prompts cannot be written and their
        # waits end at once; the run is the same as with working output.
        self.configure([0, 3010, 0])
        self.assertEqual(run_with_closed_pipes(self.prefix, ["-u", "-w"], STANDIN_TIMEOUT), 3)
        self.assertEqual(self.prefix.standin_parameters(),
                         [parameters_for(p.code) for p, _ in self.order])


# --------------------------------------------------------------------------
# Wine's own msiexec.exe

REAL_OK = Product(guid(1, "output-real"), "Velorantix Report Designer", "Velorantix Ltd.")
REAL_FAILS = Product(guid(2, "output-real"), "Velorantix Sync Agent", "Velorantix Ltd.",
                     fail_removal=True)
REAL_OTHER = Product(guid(3, "output-real"), "Northwind Report Viewer", "Northwind Traders")


class RealRemovalWithClosedPipes(LineEndAssertions, unittest.TestCase):
    """Real packages removed by Wine's own msiexec with the output pipes
    closed: what the Windows Installer reports afterwards shows the removals."""

    def test_real_removals_with_closed_output_pipes(self) -> None:
        cases = [
            # (label, installed products, exit code, products left afterwards)
            ("succeeds", [REAL_OK, REAL_OTHER], 0, [REAL_OTHER]),
            ("partly", [REAL_OK, REAL_FAILS, REAL_OTHER], 2, [REAL_FAILS, REAL_OTHER]),
        ]
        for label, products, returncode, left in cases:
            with self.subTest(label), harness.new_prefix(f"closed-{label}") as prefix:
                for product in products:
                    prefix.install(product)
                self.assertEqual(sorted(p.code for p in prefix.installed_products()),
                                 sorted(p.code for p in products))
                self.assertEqual(run_with_closed_pipes(prefix, ["-u"]), returncode)
                self.assertEqual(sorted(p.code for p in prefix.installed_products()),
                                 sorted(p.code for p in left))


if __name__ == "__main__":
    unittest.main()
