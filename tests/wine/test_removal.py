"""End-to-end tests of the removal run of vxuninstall.exe (-u) under Wine.

RealInstallerRemoval removes packages built with wixl through Wine's own
msiexec.exe and checks what the Windows Installer reports afterwards.  The
other classes put the stand-in msiexec.exe in place, which records its command
line and ends with the exit code configured for each product code, so every
outcome of a removal can be produced on purpose.
"""

import sys
import unittest
from pathlib import Path
from typing import List, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from texts import REMOVALS, RESTART_MESSAGE, listing, run_streams  # noqa: E402
from harness import PrefixTestCase, Product, RunAssertions, guid  # noqa: E402


def parameters_for(code: str) -> str:
    return f'/x {code} /qn /norestart OPEN_URL="0"'


# --------------------------------------------------------------------------
# Wine's own msiexec.exe

REAL_OK = Product(guid(1, "removal-real"), "Velorantix Report Designer", "Velorantix Ltd.")
REAL_FAILS = Product(guid(2, "removal-real"), "Velorantix Sync Service", "Velorantix Ltd.",
                     fail_removal=True)
REAL_OTHER = Product(guid(3, "removal-real"), "Northwind Report Viewer", "Northwind Traders")


class RealInstallerRemoval(RunAssertions, unittest.TestCase):
    """Each case gets a prefix of its own, since a removal changes it for good."""

    def test_removal_with_the_real_installer(self) -> None:
        cases = [
            # (label, installed products, exit code, products left afterwards)
            ("succeeds", [REAL_OK, REAL_OTHER], 0, [REAL_OTHER]),
            ("fails", [REAL_FAILS, REAL_OTHER], 1, [REAL_FAILS, REAL_OTHER]),
            ("partly", [REAL_OK, REAL_FAILS, REAL_OTHER], 2, [REAL_FAILS, REAL_OTHER]),
        ]
        outcome = {REAL_OK.code: 0, REAL_FAILS.code: 1603}
        for label, products, returncode, left in cases:
            with self.subTest(label), harness.new_prefix(f"real-{label}") as prefix:
                for product in products:
                    prefix.install(product)
                before = prefix.installed_products()
                self.assertEqual(sorted(p.code for p in before),
                                 sorted(p.code for p in products))
                kept = [(p.name, outcome[p.code]) for p in before if p.code in outcome]
                stdout, err = run_streams(kept, "\n" + REMOVALS)

                self.assert_run(prefix.run_exe(["-u"], timeout=180), stdout, err, returncode)
                self.assertEqual(sorted(p.code for p in prefix.installed_products()),
                                 sorted(p.code for p in left))

                if label == "fails":
                    # The product is still there, so the run can be repeated with
                    # both streams on one pipe: the failure text completes the
                    # progress line that standard output began.
                    code, merged = harness.run_merged(prefix, ["-u"])
                    self.assertEqual(merged.decode("utf-8", "backslashreplace"),
                                     harness.crlf(listing([REAL_FAILS.name]) + "\nUninstalling: "
                                                  + REAL_FAILS.name + " ... failed (1603)\n"))
                    self.assertEqual(code, 1)


# --------------------------------------------------------------------------
# Stand-in msiexec.exe

STANDIN_PRODUCTS = [
    Product(guid(1, "removal-standin"), "Velorantix Studio", "Velorantix Ltd."),
    # Kept for its publisher only.
    Product(guid(2, "removal-standin"), "Cloud Backup Agent", "Velorantix GmbH"),
    Product(guid(3, "removal-standin"), "Velorantix Toolkit", "Northwind Traders"),
]
STANDIN_OTHER = Product(guid(4, "removal-standin"), "Contoso Editor", "Contoso Ltd.")


class StandinRemoval(RunAssertions, PrefixTestCase):
    """Three Velorantix products and one of another maker; the stand-in
    msiexec.exe decides each removal's exit code."""

    order: List[Product]

    @classmethod
    def prepare_prefix(cls) -> None:
        for product in STANDIN_PRODUCTS + [STANDIN_OTHER]:
            cls.prefix.install(product)
        cls.prefix.install_standin()
        cls.order = cls.prefix.in_enumeration_order(STANDIN_PRODUCTS)

    def setUp(self) -> None:
        self.assertEqual(len(self.order), 3)
        self.prefix.clear_standin_log()

    def test_exit_codes_of_removal_runs(self) -> None:
        cases = [
            # (msiexec exit codes in removal order, exit code, restart message)
            ([0, 0, 0], 0, False),
            ([3010, 0, 0], 3, True),
            ([0, 3010, 3010], 3, True),
            ([1603, 0, 0], 2, False),
            ([0, 0, 1641], 2, False),
            ([0, 4294967295, 0], 2, False),
            ([1603, 3010, 4294967295], 4, True),
            ([3010, 1641, 0], 4, True),
            ([1603, 1641, 4294967295], 1, False),
        ]
        for exit_codes, returncode, restart in cases:
            with self.subTest(exit_codes=exit_codes):
                self.prefix.configure_standin(
                    {p.code: c for p, c in zip(self.order, exit_codes)}, default=1)
                self.prefix.clear_standin_log()
                stdout, err = run_streams(
                    [(p.name, c) for p, c in zip(self.order, exit_codes)],
                    "\n" + REMOVALS + (RESTART_MESSAGE if restart else ""))

                self.assert_run(self.prefix.run_exe(["-u"]), stdout, err, returncode)
                # Every product is tried, after a failure too, in the
                # installer's order, and nothing else is removed.
                self.assertEqual(self.prefix.standin_parameters(),
                                 [parameters_for(p.code) for p in self.order])


# --------------------------------------------------------------------------
# Long and non-ASCII product names

def _name_of_255() -> str:
    text = "Velorantix Enterprise Deployment Suite "
    i = 0
    while len(text) < 254:
        text += "abcdefghijklmnopqrstuvwxyz0123456789"[i % 36]
        i += 1
    return text + "!"


NAME_255 = _name_of_255()
NAME_NON_ASCII = "Velorantix Pr\u00fcfstand \u691c\u67fb\u30c4\u30fc\u30eb \u00e9\u00df \U0001F527"
NAMED_PRODUCTS = [
    (Product(guid(1, "removal-names"), "Velorantix Placeholder One", "Velorantix Ltd."),
     NAME_255),
    (Product(guid(2, "removal-names"), "Velorantix Placeholder Two", "Velorantix Ltd."),
     NAME_NON_ASCII),
]


class NamesInRemovalLines(RunAssertions, PrefixTestCase):
    """Products named with 255 characters and with characters outside ASCII
    (set after installation, as wixl cannot build them)."""

    order: List[Tuple[Product, str]]

    @classmethod
    def prepare_prefix(cls) -> None:
        for product, name in NAMED_PRODUCTS:
            cls.prefix.install(product)
            cls.prefix.set_install_property(product.code, "DisplayName", name)
        cls.prefix.install_standin()
        by_code = {p.code: (p, name) for p, name in NAMED_PRODUCTS}
        cls.enumerated = cls.prefix.installed_products()
        cls.order = [by_code[p.code] for p in cls.enumerated if p.code in by_code]

    def setUp(self) -> None:
        self.prefix.clear_standin_log()

    def test_installer_reports_the_names(self) -> None:
        self.assertEqual(len(NAME_255), 255)
        self.assertEqual(sorted((p.code, p.name_rc, p.name) for p in self.enumerated),
                         sorted((p.code, 0, name) for p, name in NAMED_PRODUCTS))

    def test_names_are_written_whole(self) -> None:
        names = [name for _, name in self.order]
        stdout, err = run_streams([(name, 0) for name in names], "\n" + REMOVALS)
        self.assert_run(self.prefix.run_exe(["-u"]), stdout, err, 0)
        self.assertEqual(self.prefix.standin_parameters(),
                         [parameters_for(p.code) for p, _ in self.order])

    def test_refused_launch(self) -> None:
        # Without any msiexec.exe the launch itself fails.
        tool = self.prefix.drive_c(r"windows\system32\msiexec.exe")
        tool.unlink()
        self.addCleanup(self.prefix.install_standin)
        self.assertEqual(list(self.prefix.drive_c("windows").rglob("msiexec.exe")), [])

        names = [name for _, name in self.order]
        stdout = (listing(names) + "\n"
                  + "".join(f"Uninstalling: {name} ... " for name in names))
        stderr = "".join(f"Failed to launch msiexec for {name}\n" for name in names)
        self.assert_run(self.prefix.run_exe(["-u"]), stdout, stderr, 1)
        self.assertEqual(self.prefix.standin_calls(), [])


if __name__ == "__main__":
    unittest.main()
