"""The program's own console texts, as the end-to-end tests expect them."""
from typing import Sequence

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
