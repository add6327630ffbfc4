"""End-to-end tests of the clean-up of the maker's registry keys under Wine.

vxuninstall.exe deletes HKLM\\SOFTWARE\\Velorantix and
HKLM\\Software\\Policies\\Velorantix, in the 64-bit and in the 32-bit registry
view, only when every removal succeeded (exit code 0 or 3).  The stand-in
msiexec.exe chooses each removal's outcome; the registry is prepared and read
back with Wine's reg.exe, /reg:64 and /reg:32, never through the program.

What Wine's registry does (Wine 8, as on 64-bit Windows):
  * SOFTWARE is redirected: the 32-bit view of SOFTWARE\\X is
    SOFTWARE\\Wow6432Node\\X, a key of its own.
  * Software\\Policies is shared: both views see one and the same key, so a
    policy key written through one view is there in the other one too.
The expected registry contents below are worked out with that model, and every
case first checks that the registry really matches the model before the run.
"""

import sys
import unittest
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
from texts import BANNER, NOT_FOUND, REMOVALS, RESTART_MESSAGE, run_streams  # noqa: E402
from harness import PrefixTestCase, Product, RunAssertions, guid  # noqa: E402

AGENT = Product(guid(1, "registry"), "Velorantix Agent", "Velorantix Ltd.")
UPDATER = Product(guid(2, "registry"), "Velorantix Updater", "Velorantix Ltd.")

VIEWS = (64, 32)
SHARED_ROOT = r"software\policies"

# (key below HKLM, value name, data); "{view}" is replaced by the view written through,
# so that what is left over in one view can be told from the other's.
MAKER_VALUES = [
    (r"SOFTWARE\Velorantix", "InstallDir", r"C:\Program Files\Velorantix {view}"),
    (r"SOFTWARE\Velorantix\Agent\Settings", "Channel", "stable-{view}"),
    (r"Software\Policies\Velorantix", "DisableTelemetry", "{view}"),
    (r"Software\Policies\Velorantix\Updates", "Server", "https://updates.example/{view}"),
]
# Keys and values next to the maker's that no run may touch.
NEIGHBOUR_VALUES = [
    (r"SOFTWARE\VelorantixOther", "Keep", "other-{view}"),
    (r"SOFTWARE\Other\Velorantix", "Keep", "nested-{view}"),
    (r"Software\Policies\VelorantixOther", "Keep", "policy-other-{view}"),
    (r"Software\Policies", "VxNeighbour", "policies-{view}"),
    (r"SOFTWARE", "VxNeighbour", "software-{view}"),
]
# Trees read back with `reg query /s`, and single values read with `reg query /v`.
WATCHED_TREES = [r"SOFTWARE\Velorantix", r"Software\Policies\Velorantix",
                 r"SOFTWARE\VelorantixOther", r"SOFTWARE\Other\Velorantix",
                 r"Software\Policies\VelorantixOther"]
WATCHED_VALUES = [(r"Software\Policies", "VxNeighbour"), (r"SOFTWARE", "VxNeighbour")]
MAKER_KEYS = [r"SOFTWARE\Velorantix", r"Software\Policies\Velorantix"]

Write = Tuple[int, str, str, str]          # (view, key, value name, data)
Snapshot = Dict[str, object]


def writes(values: Sequence[Tuple[str, str, str]], views: Sequence[int]) -> List[Write]:
    return [(view, key, name, data.format(view=view))
            for view in views for key, name, data in values]


# --------------------------------------------------------------------------
# reg.exe in batches: one `wine cmd` per phase instead of one `wine reg` per call

# cmd's status for a command it could not start at all.  Under heavy load
# Wine's cmd now and then fails to start reg.exe (seen with the end-to-end
# test modules running in parallel); such a command never ran.
NOT_STARTED = 9009


def reg_batch(prefix: harness.WinePrefix, commands: Sequence[str],
              tries: int = 3) -> List[Tuple[int, str]]:
    """Run reg.exe command lines through one batch file; (exit status, output) of each.
    When cmd could not start one of them, that command and every one after it
    run again (the order stays: a query after an add sees the add), up to
    `tries` times in all."""
    results = _reg_batch_once(prefix, commands)
    for _ in range(tries - 1):
        first = next((i for i, (status, _) in enumerate(results) if status == NOT_STARTED), None)
        if first is None:
            break
        results[first:] = _reg_batch_once(prefix, commands[first:])
    return results


def _reg_batch_once(prefix: harness.WinePrefix, commands: Sequence[str]) -> List[Tuple[int, str]]:
    lines = ["@echo off"]
    for i, command in enumerate(commands):
        lines += [f"echo ::begin {i}", command, f"echo ::end {i} %ERRORLEVEL%"]
    bat = prefix.drive_c("vxtest-registry.bat")
    bat.write_text("\r\n".join(lines) + "\r\n", encoding="ascii")
    try:
        proc = prefix.wine(["cmd", "/c", r"C:\vxtest-registry.bat"], timeout=120)
    finally:
        bat.unlink()
    results: List[Tuple[int, str]] = []
    current: Optional[List[str]] = None
    for line in proc.stdout.decode("ascii", "replace").splitlines():
        if line.startswith("::begin "):
            current = []
        elif line.startswith("::end "):
            results.append((int(line.split()[2]), "\n".join(current or [])))
            current = None
        elif current is not None:
            current.append(line)
    if len(results) != len(commands):
        raise harness.HarnessError(f"reg batch ended early:\n{proc.stdout.decode(errors='replace')}")
    return results


def add_command(write: Write) -> str:
    view, key, name, data = write
    return f'reg add "HKLM\\{key}" /v {name} /t REG_SZ /d "{data}" /f /reg:{view}'


def parse_tree(root: str, output: str) -> Dict[str, Dict[str, str]]:
    """`reg query HKLM\\root /s` output as {subkey path below root, lower case: {name: data}}."""
    tree: Dict[str, Dict[str, str]] = {"": {}}
    header = ("HKEY_LOCAL_MACHINE\\" + root).lower()
    current = ""
    for line in output.splitlines():
        if line.lower().startswith("hkey_local_machine\\"):
            if not line.lower().startswith(header):
                raise harness.HarnessError(f"unexpected key {line!r} below {root}")
            current = line[len(header):].lstrip("\\").lower()
            tree.setdefault(current, {})
        elif line.startswith("    "):
            name, _type, data = (line[4:].split("    ", 2) + ["", ""])[:3]
            tree[current][name] = data
    return tree


def query_commands(view: int) -> List[str]:
    """The queries of the watched trees, then of the watched values.  reg.exe
    writes its messages to standard output; 2>&1 brings whatever may come on
    standard error into the output read back too, for the error message."""
    return ([f'reg query "HKLM\\{key}" /s /reg:{view} 2>&1' for key in WATCHED_TREES]
            + [f'reg query "HKLM\\{key}" /v {name} /reg:{view} 2>&1'
               for key, name in WATCHED_VALUES])


def parse_snapshot(view: int, results: Sequence[Tuple[int, str]]) -> Snapshot:
    """The watched trees and values from the results of query_commands(view).
    Missing (None) only where reg.exe said so; a query that failed in any other
    way, or did not run, raises HarnessError."""
    commands = query_commands(view)
    if len(results) != len(commands):
        raise harness.HarnessError(f"{len(results)} results for {len(commands)} queries")
    snapshot: Snapshot = {}
    for key, command, (status, output) in zip(WATCHED_TREES, commands, results):
        found = harness.reg_query_found(status, output, command)
        snapshot[key] = parse_tree(key, output) if found else None
    for (key, name), command, (status, output) in zip(
            WATCHED_VALUES, commands[len(WATCHED_TREES):], results[len(WATCHED_TREES):]):
        data: Optional[str] = None
        if harness.reg_query_found(status, output, command, value=True):
            values = parse_tree(key, output)[""]
            if name not in values:
                raise harness.HarnessError(f"{command} succeeded without the value: {output!r}")
            data = values[name]
        snapshot[f"{key} : {name}"] = data
    return snapshot


def modelled_snapshot(done: Sequence[Write], view: int) -> Snapshot:
    """What the watched keys hold in `view` after `done`, Software\\Policies being shared."""
    def bucket(key: str, written_view: int) -> object:
        lower = key.lower()
        shared = lower == SHARED_ROOT or lower.startswith(SHARED_ROOT + "\\")
        return "shared" if shared else written_view

    store: Dict[Tuple[object, str], Dict[str, str]] = {}
    for written_view, key, name, data in done:
        store.setdefault((bucket(key, written_view), key.lower()), {})[name] = data

    snapshot: Snapshot = {}
    for root in WATCHED_TREES:
        tree: Optional[Dict[str, Dict[str, str]]] = None
        lower_root = root.lower()
        for (where, key), values in store.items():
            if where != bucket(root, view) or not (key == lower_root
                                                   or key.startswith(lower_root + "\\")):
                continue
            tree = tree if tree is not None else {"": {}}
            parts = key[len(lower_root):].lstrip("\\").split("\\")
            for depth in range(1, len(parts) + 1):
                tree.setdefault("\\".join(parts[:depth]).strip("\\"), {})
            tree["\\".join(parts).strip("\\")].update(values)
        snapshot[root] = tree
    for key, name in WATCHED_VALUES:
        snapshot[f"{key} : {name}"] = store.get((bucket(key, view), key.lower()), {}).get(name)
    return snapshot


# --------------------------------------------------------------------------

@dataclass(frozen=True)
class Case:
    label: str
    args: Tuple[str, ...]
    msiexec_codes: Optional[Tuple[int, int]]   # (Agent, Updater); None: no product installed
    returncode: int
    # Standard output after the listing, REMOVALS standing for the progress
    # lines in the installer's order of the products (see texts.run_streams).
    after_listing: str
    keys_removed: bool


CASES = [
    Case("every removal succeeded", ("-u",), (0, 0), 0, "\n" + REMOVALS, True),
    Case("every removal succeeded, restart needed", ("-u",), (3010, 0), 3,
         "\n" + REMOVALS + RESTART_MESSAGE, True),
    Case("every removal failed", ("-u",), (1603, 1603), 1, "\n" + REMOVALS, False),
    Case("one removal failed", ("-u",), (1603, 0), 2, "\n" + REMOVALS, False),
    Case("one removal failed, restart needed", ("-u",), (3010, 1603), 4,
         "\n" + REMOVALS + RESTART_MESSAGE, False),
    Case("listing only", (), (0, 0), 0, "", False),
    Case("-u and nothing found", ("-u",), None, 0, "", False),
]
# Where the maker's keys are created before the run.
PLACEMENTS = {"both views": (64, 32), "64-bit view only": (64,), "32-bit view only": (32,),
              "neither view": ()}


def table() -> List[Tuple[Case, str]]:
    """Every placement for the runs that delete the keys; the keys in both views
    for the runs that must leave them alone."""
    rows = []
    for case in CASES:
        for placement in (PLACEMENTS if case.keys_removed else ["both views"]):
            rows.append((case, placement))
    return rows


class RegistryCleanup(RunAssertions, PrefixTestCase):
    """cls.prefix has the two products and the stand-in; cls.bare has no product."""

    bare: harness.WinePrefix
    order: List[Product]

    @classmethod
    def prepare_prefix(cls) -> None:
        cls.prefix.install(AGENT)
        cls.prefix.install(UPDATER)
        cls.prefix.install_standin()
        cls.order = cls.prefix.in_enumeration_order([AGENT, UPDATER])
        cls.bare = harness.new_prefix(cls.__name__ + "-bare")
        try:
            for prefix in (cls.prefix, cls.bare):
                reg_batch(prefix, [add_command(w) for w in writes(NEIGHBOUR_VALUES, VIEWS)])
        except BaseException:
            cls.bare.close()
            raise

    @classmethod
    def tearDownClass(cls) -> None:
        harness.clean_up(cls.bare.close, super().tearDownClass)

    def setUp(self) -> None:
        # Both products are installed and enumerated; the expected texts
        # follow the installer's order.
        self.assertEqual(len(self.order), 2)

    def expected_streams(self, case: Case) -> Tuple[str, str]:
        if case.msiexec_codes is None:
            return BANNER + NOT_FOUND, ""
        codes = dict(zip((AGENT.code, UPDATER.code), case.msiexec_codes))
        return run_streams([(p.name, codes[p.code]) for p in self.order], case.after_listing)

    def test_maker_keys_after_each_kind_of_run(self) -> None:
        neighbours = writes(NEIGHBOUR_VALUES, VIEWS)
        for case, placement in table():
            with self.subTest(case=case.label, keys=placement):
                prefix = self.bare if case.msiexec_codes is None else self.prefix
                if case.msiexec_codes is not None:
                    agent, updater = case.msiexec_codes
                    prefix.configure_standin({AGENT.code: agent, UPDATER.code: updater})
                maker = writes(MAKER_VALUES, PLACEMENTS[placement])
                try:
                    self.check_case(prefix, case, neighbours, maker)
                finally:
                    reg_batch(prefix, [f'reg delete "HKLM\\{key}" /f /reg:{view}'
                                       for key in MAKER_KEYS for view in VIEWS])

    def snapshots(self, results: Sequence[Tuple[int, str]]) -> Dict[int, Snapshot]:
        """Both views from the results of query_commands(64) + query_commands(32)."""
        per_view = len(query_commands(64))
        return {64: parse_snapshot(64, results[:per_view]),
                32: parse_snapshot(32, results[per_view:])}

    def check_case(self, prefix: harness.WinePrefix, case: Case, neighbours: List[Write],
                   maker: List[Write]) -> None:
        setup = reg_batch(prefix, [add_command(w) for w in maker]
                          + query_commands(64) + query_commands(32))
        self.assertEqual([status for status, _ in setup[:len(maker)]], [0] * len(maker))
        before = self.snapshots(setup[len(maker):])
        for view in VIEWS:
            self.assertEqual(before[view], modelled_snapshot(neighbours + maker, view),
                             f"registry in the {view}-bit view before the run")

        result = prefix.run_exe(list(case.args), timeout=30)

        stdout, stderr = self.expected_streams(case)
        self.assert_run(result, stdout, stderr, case.returncode)

        # Read once: a query that fails raises instead of passing for a
        # missing key, and reg_batch already reruns what cmd could not start.
        left = neighbours if case.keys_removed else neighbours + maker
        after = self.snapshots(reg_batch(prefix, query_commands(64) + query_commands(32)))
        for view in VIEWS:
            self.assertEqual(after[view], modelled_snapshot(left, view),
                             f"registry in the {view}-bit view after the run")


if __name__ == "__main__":
    unittest.main()
