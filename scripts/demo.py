"""The main job, shown under Wine: list the Velorantix products, remove them,
and show that another maker's product stays installed.

Runs in a throwaway Wine prefix that is removed at the end.
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
import harness  # noqa: E402

SAMPLES = [
    harness.Product(harness.guid(1, "demo"), "Velorantix Agent", "Velorantix Ltd."),
    harness.Product(harness.guid(2, "demo"), "Fleet Sensor", "VELORANTIX Software"),
    harness.Product(harness.guid(3, "demo"), "Contoso Notepad", "Contoso"),
]


def show(prefix, arguments):
    print(f"\n$ vxuninstall.exe {' '.join(arguments)}".rstrip())
    result = prefix.run_exe(arguments, timeout=300)
    sys.stdout.write(result.stdout.decode("utf-8", "replace"))
    sys.stdout.write(result.stderr.decode("utf-8", "replace"))
    print(f"(exit code {result.returncode})")


def installed(prefix):
    print("\nInstalled according to the Windows Installer:")
    for product in prefix.installed_products():
        print(f"  {product.code}  {product.name}  ({product.publisher})")


MAKER_KEYS = [r"HKLM\SOFTWARE\Velorantix\Agent", r"HKLM\Software\Policies\Velorantix"]


def registry(prefix):
    print("\nThe maker's registry keys:")
    for key in MAKER_KEYS:
        for view in (64, 32):
            state = "present" if prefix.reg_key_exists(key, view=view) else "gone"
            print(f"  {key} ({view}-bit view): {state}")


def main():
    harness.require_exe()
    with harness.new_prefix("demo") as prefix:
        for product in SAMPLES:
            print(f"Installing sample package: {product.name} ({product.publisher})")
            prefix.install(product)
        for key in MAKER_KEYS:
            for view in (64, 32):
                prefix.reg_add(key, "Version", "1.0", view=view)
        installed(prefix)
        registry(prefix)
        show(prefix, [])
        show(prefix, ["-u"])
        installed(prefix)
        registry(prefix)
        show(prefix, [])


if __name__ == "__main__":
    main()
