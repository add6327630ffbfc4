"""End-to-end tests of the listing run of vxuninstall.exe under Wine.

The program runs against real Windows Installer products built and installed
at test time.  A stand-in msiexec.exe is in place in every prefix, so a run
that wrongly starts a removal shows up in the stand-in's log instead of
removing anything.
"""

import unittest
from dataclasses import dataclass
from typing import Dict, List, Optional

import harness
from harness import PrefixTestCase, Product, guid
from texts import BANNER, EXIT_PROMPT, NOT_FOUND, USAGE, listing

assert len(USAGE) == 571


@dataclass
class Fixture:
    """A test product.  build_name/build_publisher go into the package;
    name/publisher, when given, replace them afterwards in the registry (for
    texts wixl cannot build); delete_name removes the stored name.  listed_as
    is the text the listing must show for it, None when it must not be listed."""
    n: int
    build_name: str
    build_publisher: str
    listed_as: Optional[str]
    name: Optional[str] = None
    publisher: Optional[str] = None
    delete_name: bool = False

    @property
    def code(self) -> str:
        return guid(self.n, salt="listing")

    @property
    def reported_name(self) -> str:
        if self.delete_name:
            return ""
        return self.name if self.name is not None else self.build_name

    @property
    def reported_publisher(self) -> str:
        return self.publisher if self.publisher is not None else self.build_publisher


NAME_255 = "Velorantix " + "L" * 244
NAME_256_WITH_MAKER = "Velorantix " + "M" * 245
NAME_256_PLAIN = "Long Name " + "N" * 246
PUBLISHER_256_WITH_MAKER = "Velorantix " + "P" * 245
NON_BMP_NAME = "Velorantix \U0001D11E M\u00fasica \U0001F600"

FIXTURES: List[Fixture] = [
    Fixture(1, "Velorantix Studio", "Northwind Traders", "Velorantix Studio"),
    Fixture(2, "Cloud Sync Agent", "Velorantix Software Ltd.", "Cloud Sync Agent"),
    Fixture(3, "Velorantix Toolkit", "Velorantix Inc.", "Velorantix Toolkit"),
    Fixture(4, "vELORANTIX Helper", "Contoso", "vELORANTIX Helper"),
    Fixture(5, "Backup Agent", "ACMEVELORANTIXCORP", "Backup Agent"),
    Fixture(6, "Contoso Editor", "Contoso Ltd.", None),
    Fixture(7, "Velo-rantix Viewer", "Velo Rantix GmbH", None),
    Fixture(8, "Velorantix \u00c9diteur \u00dcn\u00efc\u00f8d\u00e9 \u00f1", "Contoso",
            "Velorantix \u00c9diteur \u00dcn\u00efc\u00f8d\u00e9 \u00f1"),
    Fixture(9, "Placeholder 9", "Contoso", "Velorantix \u65e5\u672c\u8a9e\u30c4\u30fc\u30eb",
            name="Velorantix \u65e5\u672c\u8a9e\u30c4\u30fc\u30eb"),
    Fixture(10, "Placeholder 10", "Contoso", NON_BMP_NAME, name=NON_BMP_NAME),
    # Look-alikes of the key that only a Unicode-aware lower-casing would match:
    # the dotted capital I and a fullwidth capital V.
    Fixture(11, "Placeholder 11", "Contoso", None,
            name="VELORANT\u0130X Pro", publisher="\uff36elorantix"),
    Fixture(12, NAME_255, "Contoso", NAME_255),
    # Texts of 256 characters do not fit the installer query's buffer: the
    # field becomes "(unknown)", which does not hold the key.
    Fixture(13, NAME_256_WITH_MAKER, "Contoso", None),
    Fixture(14, NAME_256_PLAIN, "Velorantix", "(unknown)"),
    Fixture(15, "Plain Tool", PUBLISHER_256_WITH_MAKER, None),
    Fixture(16, "Placeholder 16", "Velorantix", "", delete_name=True),
    Fixture(17, "Velorantix Studio", "Northwind Traders", "Velorantix Studio"),
]

BY_CODE: Dict[str, Fixture] = {f.code: f for f in FIXTURES}


class OutputAssertions(harness.RunAssertions):
    """assert_run, and the check that a run started no removal."""

    def assert_no_removal_started(self) -> None:
        self.assertEqual(self.prefix.standin_calls(), [])


class ListingWithProducts(OutputAssertions, PrefixTestCase):
    """Runs against a prefix holding the products of FIXTURES."""

    order: List[Fixture]

    @classmethod
    def prepare_prefix(cls) -> None:
        for f in FIXTURES:
            cls.prefix.install(Product(f.code, f.build_name, f.build_publisher))
        for f in FIXTURES:
            if f.name is not None:
                cls.prefix.set_install_property(f.code, "DisplayName", f.name)
            if f.publisher is not None:
                cls.prefix.set_install_property(f.code, "Publisher", f.publisher)
            if f.delete_name:
                cls.prefix.delete_install_property(f.code, "DisplayName")
        cls.prefix.install_standin()
        cls.enumerated = cls.prefix.installed_products()
        cls.order = [BY_CODE[p.code] for p in cls.enumerated if p.code in BY_CODE]

    def setUp(self) -> None:
        self.prefix.clear_standin_log()

    def expected_listing(self) -> str:
        return listing([f.listed_as for f in self.order if f.listed_as is not None])

    def test_installer_reports_the_fixture_products(self) -> None:
        # Guards the fixtures themselves: every product is installed once and
        # the installer reports the texts that were set.
        self.assertEqual(sorted(p.code for p in self.enumerated), sorted(BY_CODE))
        for p in self.enumerated:
            f = BY_CODE[p.code]
            with self.subTest(product=f.n):
                self.assertEqual((p.name_rc, p.name), (0, f.reported_name))
                self.assertEqual((p.publisher_rc, p.publisher), (0, f.reported_publisher))

    def test_options_and_outputs(self) -> None:
        listing_text = self.expected_listing()
        usage_text = BANNER + USAGE
        cases = [
            # (arguments, expected standard output)
            ((), listing_text),
            (("-h",), usage_text),
            (("/?",), usage_text),
            (("-r", "abc", "/?"), usage_text),
            (("-u", "/?"), usage_text),
            (("--", "/?"), usage_text),
            (("-h", "-u"), usage_text),
            (("-x",), usage_text),
            (("-U",), usage_text),
            (("-?",), usage_text),
            (("-",), usage_text),
            (("-x", "-u"), usage_text),
            (("-xw",), usage_text),
            (("-x", "-w"), usage_text),
            # -w is taken before the unknown letter: the exit prompt follows,
            # and without a console its wait ends at once.
            (("-w", "-x"), usage_text + EXIT_PROMPT),
            (("--",), listing_text),
            (("--help",), listing_text),
            (("--", "-u"), listing_text),
            (("abc", "-u"), listing_text),
            (("-r",), listing_text),
            (("/?x",), listing_text),
            (("/?/?",), listing_text),
            (("/",), listing_text),
        ]
        for args, stdout in cases:
            with self.subTest(args=args):
                self.prefix.clear_standin_log()
                result = self.prefix.run_exe(args)
                self.assert_run(result, stdout)
                self.assert_no_removal_started()

    def test_non_ascii_names_reach_redirected_output_as_utf8(self) -> None:
        result = self.prefix.run_exe(())
        for text in ("- Velorantix \u00c9diteur \u00dcn\u00efc\u00f8d\u00e9 \u00f1\n",
                     "- Velorantix \u65e5\u672c\u8a9e\u30c4\u30fc\u30eb\n",
                     "- Velorantix \U0001D11E M\u00fasica \U0001F600\n"):
            with self.subTest(line=text):
                self.assertIn(harness.crlf(text).encode("utf-8"), result.stdout)
        self.assertNotIn(b"\xef\xbb\xbf", result.stdout)

    def test_listing_on_a_terminal(self) -> None:
        # The console shows each character outside the BMP as two U+FFFD.
        def shown(text: str) -> str:
            return "".join("\ufffd\ufffd" if ord(c) > 0xFFFF else c for c in text)

        screen, code = self.prefix.pty_run((), cols=300, rows=60)
        expected = shown(self.expected_listing())
        self.assertMultiLineEqual(screen, "\n".join(l.rstrip() for l in expected.split("\n")))
        self.assertEqual(code, 0)
        self.assert_no_removal_started()

    def test_usage_on_a_terminal(self) -> None:
        screen, code = self.prefix.pty_run(("-h",), cols=120, rows=60)
        self.assertMultiLineEqual(screen, (BANNER + USAGE).expandtabs(8))
        self.assertEqual(code, 0)


class ListingWithoutProducts(OutputAssertions, PrefixTestCase):
    """Runs against a prefix in which the Windows Installer has no product."""

    @classmethod
    def prepare_prefix(cls) -> None:
        cls.prefix.install_standin()

    def test_nothing_found(self) -> None:
        self.assertEqual(self.prefix.installed_products(), [])
        cases = [
            ((), BANNER + NOT_FOUND),
            (("-r",), BANNER + NOT_FOUND),
            (("-u",), BANNER + NOT_FOUND),
            (("-u", "-r"), BANNER + NOT_FOUND),
            # Only the exit prompt: no removal run, so no proceed prompt.
            (("-u", "-w"), BANNER + NOT_FOUND + EXIT_PROMPT),
        ]
        for args, stdout in cases:
            with self.subTest(args=args):
                self.prefix.clear_standin_log()
                self.assert_run(self.prefix.run_exe(args), stdout)
                self.assert_no_removal_started()


if __name__ == "__main__":
    unittest.main()
