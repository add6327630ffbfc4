"""The program's own console texts, as the end-to-end tests expect them."""
from typing import Dict, Sequence, Tuple

BANNER = ("Velorantix Product Uninstaller v1.0\n"
          "Copyright (c) 2026 Velorantix. All rights reserved.\n")

USAGE = ("\n"
         "USAGE:\n"
         "vxuninstall.exe [-w] [-u [-r]]\n"
         "\t-w - wait for user confirmation before exit and uninstall\n"
         "\t-u - perform uninstall instead of just printing the list of products\n"
         "\t-r - automatically reboot after the last product uninstall if needed\n"
         "vxuninstall.exe -h\n"
         "\t-h - show this usage information\n"
         "\n"
         "EXIT CODES:\n"
         "\t0 - success (all products uninstalled or nothing to uninstall)\n"
         "\t1 - failed (all uninstall operations failed)\n"
         "\t2 - partially failed (at least one uninstall operation failed)\n"
         "\t3 - success, but manual restart required\n"
         "\t4 - partially failed, but manual restart required\n")

NOT_FOUND = "No products containing 'Velorantix' found.\n"
FOUND = "Found 'Velorantix' products:\n"
PROCEED_PROMPT = "Press any key to proceed with uninstallation.\n"
REBOOT_PROMPT = "\nPress any key to reboot.\n"
EXIT_PROMPT = "\nPress any key to exit.\n"
RESTART_MESSAGE = "System restart required. Please reboot manually.\n"
NOT_POSSIBLE = "Automatic System reboot is not possible. Please restart manually.\n"


def listing(names: Sequence[str]) -> str:
    """Standard output of a run that lists `names`, in this order."""
    return BANNER + FOUND + "".join(f"- {name}\n" for name in names)


# What each exit code of msiexec.exe completes the progress line with:
# (text on standard output, text on standard error).
OUTCOMES: Dict[int, Tuple[str, str]] = {
    0: ("success\n", ""),
    3010: ("success (reboot required)\n", ""),
    1603: ("", "failed (1603)\n"),
    1641: ("", "failed (1641)\n"),
    4294967295: ("", "failed (4294967295)\n"),
}


def _progress_lines(products: Sequence[Tuple[str, int]]) -> Tuple[str, str]:
    """(stdout, stderr) of the progress lines for (name, msiexec exit code)
    pairs in removal order."""
    out, err = "", ""
    for name, exit_code in products:
        on_out, on_err = OUTCOMES[exit_code]
        out += f"Uninstalling: {name} ... " + on_out
        err += on_err
    return out, err


#: Stands for the progress lines of the removals in run_streams' text.
REMOVALS = "{removals}"


def run_streams(products: Sequence[Tuple[str, int]], after_listing: str) -> Tuple[str, str]:
    """Expected (stdout, stderr) of a run that lists `products`, (name, msiexec
    exit code) pairs in the installer's order, and then prints `after_listing`,
    where REMOVALS stands for the progress lines; their failures go to stderr."""
    out, err = _progress_lines(products)
    stdout = listing([name for name, _ in products]) + after_listing.replace(REMOVALS, out)
    return stdout, err if REMOVALS in after_listing else ""
