"""The main job, shown under Wine: list the Velorantix products, remove them,
and show that another maker's product stays installed and the maker's
registry keys are gone.

Runs in a throwaway Wine prefix that is removed at the end.  Each step is
checked against what it should show: the listing, each removal, what stays
installed and the keys.  When anything differs the demo ends with one line
"demo: not as it should be: ..." on standard error and exit status 1.
"""
import difflib
import sys
from pathlib import Path
from typing import List

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
import harness  # noqa: E402
import texts  # noqa: E402

SAMPLES = [
    harness.Product(harness.guid(1, "demo"), "Velorantix Agent", "Velorantix Ltd."),
    harness.Product(harness.guid(2, "demo"), "Fleet Sensor", "VELORANTIX Software"),
    harness.Product(harness.guid(3, "demo"), "Contoso Notepad", "Contoso"),
]
VELORANTIX = SAMPLES[:2]
OTHER = SAMPLES[2]

MAKER_KEYS = [r"HKLM\SOFTWARE\Velorantix\Agent", r"HKLM\Software\Policies\Velorantix"]

#: What differed from what the demo should show.
PROBLEMS: List[str] = []


def check(ok: bool, problem: str) -> None:
    if not ok:
        print(f"!! {problem}")
        PROBLEMS.append(problem)


def show(prefix, arguments, what, stdout):
    """Runs the program, shows its output, and checks it: exit code 0,
    standard output `stdout` (on a pipe, so each line ends in CR LF),
    nothing on standard error."""
    print(f"\n$ vxuninstall.exe {' '.join(arguments)}".rstrip())
    result = prefix.run_exe(arguments, timeout=300)
    out = result.stdout.decode("utf-8", "replace")
    err = result.stderr.decode("utf-8", "replace")
    sys.stdout.write(out.replace("\r\n", "\n"))
    sys.stdout.write(err.replace("\r\n", "\n"))
    print(f"(exit code {result.returncode})")
    check(result.returncode == 0, f"{what} ended with exit code {result.returncode}, not 0")
    expected = harness.crlf(stdout)
    if out != expected:
        diff = "".join(difflib.unified_diff(expected.splitlines(True), out.splitlines(True),
                                            "should be", "printed"))
        # CRs shown as \r, so that a wrong line end shows in the diff.
        diff = diff.replace("\r", "\\r")
        print(diff, end="" if diff.endswith("\n") else "\n")
    check(out == expected, f"{what} printed other text than it should on standard output")
    check(err == "", f"{what} wrote {err!r} to standard error")


def installed(prefix, expected, when):
    print("\nInstalled according to the Windows Installer:")
    products = prefix.installed_products()
    for product in products:
        print(f"  {product.code}  {product.name}  ({product.publisher})")
    codes = sorted(p.code for p in products)
    check(codes == sorted(p.code for p in expected),
          f"{when}, the installed products are {[p.name for p in products]}, "
          f"not {[p.name for p in expected]}")


def registry(prefix, present, when):
    print("\nThe maker's registry keys:")
    for key in MAKER_KEYS:
        for view in (64, 32):
            exists = prefix.reg_key_exists(key, view=view)
            print(f"  {key} ({view}-bit view): {'present' if exists else 'gone'}")
            check(exists == present, f"{when}, {key} is {'present' if exists else 'gone'} "
                                     f"in the {view}-bit view")


def demo():
    harness.require_exe()
    with harness.new_prefix("demo") as prefix:
        for product in SAMPLES:
            print(f"Installing sample package: {product.name} ({product.publisher})")
            prefix.install(product)
        for key in MAKER_KEYS:
            for view in (64, 32):
                prefix.reg_add(key, "Version", "1.0", view=view)
        installed(prefix, SAMPLES, "before the removal")
        registry(prefix, True, "before the removal")
        names = [p.name for p in prefix.in_enumeration_order(VELORANTIX)]
        show(prefix, [], "the listing", texts.listing(names))
        removals = "".join(f"Uninstalling: {name} ... success\n" for name in names)
        show(prefix, ["-u"], "the removal", texts.listing(names) + "\n" + removals)
        installed(prefix, [OTHER], "after the removal")
        registry(prefix, False, "after the removal")
        show(prefix, [], "the listing after the removal", texts.BANNER + texts.NOT_FOUND)
    harness.end_run()


def main() -> int:
    try:
        demo()
    except harness.HarnessError as error:
        PROBLEMS.append(f"a step of the demo failed: {error}")
    if PROBLEMS:
        more = f" (and {len(PROBLEMS) - 1} more, marked !! above)" if len(PROBLEMS) > 1 else ""
        sys.stdout.flush()
        print(f"\ndemo: not as it should be: {PROBLEMS[0]}{more}", file=sys.stderr, flush=True)
        return 1
    print("\ndemo: everything as it should be")
    return 0


if __name__ == "__main__":
    sys.exit(main())
