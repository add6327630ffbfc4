"""End-to-end test support for vxuninstall under Wine (Python 3 standard library only).

Everything runs in throwaway Wine prefixes below one temporary run directory;
the user's own prefix (~/.wine) and home directory are never used: every Wine
command gets an explicit WINEPREFIX, and a HOME and a TMPDIR inside the run
directory.  The run directory, and every prefix and terminal session still
open, are removed at exit (also on SIGTERM/SIGHUP).

Overview of the API
-------------------

Targets
    ``TARGET``, chosen by $VX_TARGET: ``x86_64`` (the default) runs everything
    under the host's Wine; ``arm64`` runs it under Debian's arm64 Wine inside
    the arm64 root $VX_ARM64_ROOT, through chroot (the tests then run inside
    ``scripts/arm64-root.sh run``, which mounts what Wine needs into the root
    and sets that variable), and compiles the helper programs with the toolchain in
    $VX_ARM64_TOOLCHAIN (scripts/arm64-toolchain.sh).  There the run directory
    lives in the root's /tmp and Wine is given paths inside the root:
    ``wine_path(host_path)`` gives the path Wine sees (copying a file from
    outside the root in first), ``TARGET.wine_argv(args, cwd)`` the command
    line that runs ``wine <args>``.  Every time-out of the harness is multiplied by
    ``TARGET.time_scale``: $VX_TIME_SCALE on either target (a number, at least
    1), by default 1 on x86_64 and 4 on arm64, where emulation makes
    everything slower; ``scaled(seconds)`` does the same for a test's own waits.

Program under test
    ``exe_path()``: $VXUNINSTALL_EXE or the target's build
    (build/windows/vxuninstall.exe or build/arm64/vxuninstall.exe);
    ``require_exe()`` raises HarnessError with a build hint when it is missing.

Prefixes
    ``new_prefix(label)`` -> ``WinePrefix``: a fresh copy of the per-run template
    prefix (the template is made once per process with ``wineboot -i``, about
    10 s; a copy with its persistent wineserver started takes 1-2 s).
    ``WinePrefix.close()`` kills the prefix's wineserver and everything running
    in it and removes its directory; ``WinePrefix`` is also a context manager.
    ``PrefixTestCase`` is a ``unittest.TestCase`` base class that gives each
    test class its own prefix as ``cls.prefix`` (made in setUpClass, then
    ``prepare_prefix()``; removed in tearDownClass).
    ``WinePrefix.drive_c(r"some\\path")`` maps a C: path to the Unix path.

Running programs
    ``WinePrefix.run_exe(args, exe=None, timeout=60, stdin=None)`` ->
    ``RunResult(returncode, stdout, stderr)``, both streams as bytes; stdin is
    /dev/null (or a file with the given bytes); no terminal, so no console
    input.  ``run_merged(prefix, args)`` gives (exit code, bytes) with both
    streams on one pipe, in the order they were written; ``start_exe(prefix,
    args, stdout, stderr)`` starts the program on streams of the test's
    choosing (``kill_group`` ends it).  ``WinePrefix.wine(args)`` runs any
    Wine command (``reg``, ``msiexec`` ...) and returns a CompletedProcess
    with bytes output.
    ``WinePrefix.pty_session(args, cols=120, rows=50)`` -> ``PtySession``: the
    program with a terminal (a tmux pane) as its console; ``wait_for(text)``,
    ``send(keys)``, ``screen()``, ``exited()``, ``wait_exit()``, ``close()``.
    ``WinePrefix.pty_run(args, steps)`` is the one-call form: for each
    (text, keys) step wait for the text, then type the keys; returns
    (screen text, exit code).  Key constants: ``KEY_UP`` ... ``KEY_F12``,
    ``KEY_ENTER``, ``CTRL_C``.  Every wait has a time-out and raises
    HarnessError (with the screen) when it expires.

Windows Installer packages
    ``Product(code, name, publisher, version, upgrade_code, fail_removal)``
    describes one package; ``guid(n, salt)`` makes stable distinct GUIDs and
    ``pack_guid(code)`` gives the installer's packed form.
    ``build_msi(product, out_dir)`` builds it with wixl from
    fixtures/product.wxs.in; ``fail_removal`` adds, with msibuild, a type-19
    custom action on REMOVE="ALL", so that a real removal fails with 1603.
    ``WinePrefix.install(product)`` builds and installs it with Wine's own
    msiexec.  ``WinePrefix.installed_products()`` lists what the Windows
    Installer reports, in its enumeration order, through a helper compiled
    from fixtures/msienum.c (independent of the program under test; it reads
    values of any length); ``in_enumeration_order(products)`` puts the given
    products in that order.
    ``set_install_property(code, "DisplayName"|"Publisher", text)`` and
    ``delete_install_property(code, name)`` change an installed product's
    texts, for names that wixl cannot build (beyond Windows-1252: CJK,
    non-BMP; or 255/256 characters).  A value of 256 characters or more makes
    the installer's 256-character query fail; a deleted value reads as "".

Stand-in msiexec.exe
    ``WinePrefix.install_standin({text: code or (code, sleep_ms)}, default=0)``
    puts the program built from fixtures/standin_msiexec.c in place of
    C:\\windows\\system32\\msiexec.exe.  From then on ``run_exe`` and
    ``pty_session`` load it (WINEDLLOVERRIDES msiexec.exe=n), while
    ``install`` and ``wine`` keep using Wine's own msiexec.  Each call appends
    its command line to C:\\standin\\log.txt and ends with the exit code of the
    first config entry whose text occurs in its command line (normally a
    product code; exact case), else ``default``.  ``configure_standin`` rewrites
    the config, ``clear_standin_log`` empties the log, ``standin_calls()``
    returns the full command lines, ``standin_parameters()`` the part after the
    program name (what the caller passed as parameters).

Registry
    ``WinePrefix.reg_add(key, value=None, data=None, type="REG_SZ", view=64)``,
    ``reg_delete(key, value=None, view)``, ``reg_key_exists(key, view)``, with
    ``view=64`` or ``view=32`` (``/reg:64``, ``/reg:32``).
    ``reg_query_found(status, output, what, value=False)`` reads the outcome
    of a ``reg query``: found, not found (only reg.exe's own not-found
    message means that), or HarnessError for any other failure.

Checking a run
    ``RunAssertions`` is a mixin for ``unittest.TestCase`` with
    ``assert_run(result, stdout, stderr="", returncode=0)``: the decoded texts
    of both streams first (a readable diff), then their exact bytes, then the
    exit code; the expected texts are written with line feeds, which the
    program writes to files and pipes as CR LF (``crlf(text)``).

Clean-up
    ``clean_up(*steps)`` runs every step, also after one of them failed, and
    raises afterwards; every clean-up of several steps goes through it.
    ``end_run()`` removes the run directory with everything still open in
    it and raises when that fails (the runner counts that as a failure); left
    to the exit handler, such a failure makes the exit status 1.

Timings of the expensive steps are collected in ``TIMINGS`` (label, seconds).

Wine facts the helpers rely on (Wine 8.0, Debian 12)
    * ``wine``'s own exit status is the Windows exit code modulo 256.
    * Each prefix runs a persistent wineserver (``wineserver -p``); without it
      every Wine command starts and waits for a server of its own (~1.4 s).
    * Without a /run/user/<uid>, Debian's Wine puts the wineserver's socket
      directory in a new $TMPDIR/wine-XXXXXX, which it never removes, and
      notes that name in the prefix (file ``wineserver``): every command of
      the prefix looks for it below the same $TMPDIR.
    * ``reg query`` prints through the OEM code page when redirected, so its
      output is only good for ASCII names and data.  All its messages go to
      standard output, with exit status 1; for a missing key or value they are
      "reg: Unable to find the specified registry key" and
      "reg: Unable to find the specified registry value".
    * Without a terminal, "CONIN$" does not open.  With a terminal, stdin must
      be the terminal for the console to read keys.
    * Wine's terminal console keeps the tty's ISIG flag, so Ctrl+C would send
      SIGINT and kill the program; ``PtySession.send`` clears ISIG first.  Even
      then a Ctrl+C typed while ReadConsoleInputW waits (console mode 0) ends
      that read with success and no event (count 0), not with a key event of
      character 3.
    * The terminal console shows a character outside the BMP as two U+FFFD.
    * tmux sometimes leaves the Wine process unreaped and never reports its
      exit status, so a small shell between tmux and wine records it.
"""

import atexit
import functools
import math
import os
import shutil
import signal
import string
import subprocess
import sys
import tempfile
import time
import traceback
import unittest
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union
from xml.sax.saxutils import escape as _xml_escape

HERE = Path(__file__).resolve().parent
FIXTURES = HERE / "fixtures"
REPO = HERE.parent.parent


# --------------------------------------------------------------------------
# Targets: which Wine runs the program, and what builds its helper programs


@dataclass
class Target:
    """Where the program under test runs.

    x86_64: the host's own Wine.  arm64: Debian's arm64 Wine inside an arm64
    Debian root, run through qemu-user and binfmt_misc; every Wine command is
    started with chroot, so files that Wine is to see are placed inside the
    root (the run directory lives in its /tmp) and given to Wine by their path
    inside it.  An x86-64 program does not run there, so the helper programs
    are compiled for ARM64 too.
    """
    name: str
    wine_loader: str
    wineserver: str
    cc: List[str]
    default_exe: Path
    root: Optional[Path] = None
    #: Factor for time-outs and waits: emulation makes everything slower.
    time_scale: float = 1.0

    def inner(self, path: Union[Path, str]) -> str:
        """`path` (a host path below the root) as Wine sees it."""
        if self.root is None:
            return str(path)
        rel = Path(path).resolve().relative_to(self.root.resolve())
        return "/" + str(rel)

    def wine_argv(self, args: Sequence[str], cwd: Optional[Path] = None
                  ) -> Tuple[List[str], Optional[Path]]:
        """(argv, working directory for Popen) that run `wine <args>` in `cwd`."""
        return self._argv([self.wine_loader, *args], cwd)

    def wineserver_argv(self, args: Sequence[str]) -> List[str]:
        return self._argv([self.wineserver, *args], None)[0]

    def _argv(self, argv: List[str], cwd: Optional[Path]) -> Tuple[List[str], Optional[Path]]:
        # Wine 8's loader ends at 0x7d005000, and the kernel places the start
        # of its heap at random in the 1 GB above, sometimes over the page
        # Wine needs at 0x7ffe0000 for its shared user data.  That Wine
        # process then ends with exit code 1 before the program starts
        # ("failed to map the shared user data", an err: message that
        # WINEDEBUG=-all hides); seen here about once in 5000 starts, and a
        # test run makes hundreds.  Without address randomisation the heap
        # starts right after the loader and that page is always free.
        norandom = ["setarch", "-R"]
        if self.root is None:
            return [*norandom, *argv], cwd
        # chroot starts in the root's /; env (the root's own) changes directory.
        chdir = ["/usr/bin/env", f"--chdir={self.inner(cwd)}"] if cwd is not None else []
        return [*norandom, "chroot", str(self.root), *chdir, *argv], None

    def tmp_dir(self) -> Optional[Path]:
        """Where the run directory is made (None: the host's default)."""
        return None if self.root is None else self.root / "tmp"


def _time_scale_from_environment(default: float) -> float:
    """$VX_TIME_SCALE, or `default` when it is not set."""
    text = os.environ.get("VX_TIME_SCALE")
    if text is None:
        return default
    try:
        scale = float(text)
    except ValueError:
        scale = math.nan
    if not math.isfinite(scale):
        raise HarnessError(f"VX_TIME_SCALE={text!r} is not a number; give the factor for "
                           f"time-outs and waits, e.g. VX_TIME_SCALE=4")
    if scale < 1:
        raise HarnessError(f"VX_TIME_SCALE={text!r} is below 1; the time-outs and waits "
                           f"are made for a native run and can only be lengthened")
    return scale


def _target_from_environment() -> Target:
    name = os.environ.get("VX_TARGET", "x86_64")
    if name == "x86_64":
        return Target("x86_64", "wine", "wineserver", ["x86_64-w64-mingw32-gcc"],
                      REPO / "build" / "windows" / "vxuninstall.exe",
                      time_scale=_time_scale_from_environment(1.0))
    if name == "arm64":
        root = os.environ.get("VX_ARM64_ROOT")
        toolchain = os.environ.get("VX_ARM64_TOOLCHAIN")
        if not root or not toolchain:
            raise HarnessError("VX_TARGET=arm64 needs VX_ARM64_ROOT (the arm64 root, from "
                               "scripts/arm64-root.sh) and VX_ARM64_TOOLCHAIN (the prefix "
                               "from scripts/arm64-toolchain.sh)")
        return Target("arm64", "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver",
                      [str(Path(toolchain) / "bin" / "aarch64-w64-mingw32-clang")],
                      REPO / "build" / "arm64" / "vxuninstall.exe",
                      root=Path(root), time_scale=_time_scale_from_environment(4.0))
    raise HarnessError(f"unknown VX_TARGET {name!r} (x86_64 or arm64)")

#: Registry key below which the Windows Installer keeps per-machine products.
USERDATA_PRODUCTS = (r"HKLM\Software\Microsoft\Windows\CurrentVersion\Installer"
                     r"\UserData\S-1-5-18\Products")

#: (label, seconds) of prefix creation, copies, installs and program runs.
TIMINGS: List[Tuple[str, float]] = []

# Escape sequences of keys as a terminal sends them (xterm style).
KEY_UP = "\x1b[A"
KEY_DOWN = "\x1b[B"
KEY_RIGHT = "\x1b[C"
KEY_LEFT = "\x1b[D"
KEY_HOME = "\x1b[H"
KEY_END = "\x1b[F"
KEY_INSERT = "\x1b[2~"
KEY_DELETE = "\x1b[3~"
KEY_PAGE_UP = "\x1b[5~"
KEY_PAGE_DOWN = "\x1b[6~"
KEY_F1 = "\x1bOP"
KEY_F2 = "\x1bOQ"
KEY_F3 = "\x1bOR"
KEY_F4 = "\x1bOS"
KEY_F5 = "\x1b[15~"
KEY_F12 = "\x1b[24~"
KEY_ENTER = "\r"
CTRL_C = "\x03"


class HarnessError(RuntimeError):
    """A step of the harness itself failed (not the program under test)."""


#: The target of this run, chosen by $VX_TARGET (x86_64, the default, or arm64).
TARGET = _target_from_environment()


def scaled(seconds: float) -> float:
    """A time-out or wait for the target: longer under emulation."""
    return seconds * TARGET.time_scale


def _timed(label: str, start: float) -> float:
    elapsed = time.monotonic() - start
    TIMINGS.append((label, elapsed))
    return elapsed


def exe_path() -> Path:
    """Path of the program under test: $VXUNINSTALL_EXE, or the target's build
    (build/windows/vxuninstall.exe, build/arm64/vxuninstall.exe)."""
    override = os.environ.get("VXUNINSTALL_EXE")
    if override:
        return Path(override).resolve()
    return TARGET.default_exe


def require_exe() -> Path:
    """Return exe_path(); raise HarnessError with a build hint when it does not exist."""
    path = exe_path()
    if not path.is_file():
        build = "bash scripts/build.sh" + (" arm64" if TARGET.name == "arm64" else "")
        raise HarnessError(f"{path} does not exist; build it with `{build}` "
                           f"or point VXUNINSTALL_EXE at it")
    return path


_copied_into_root: Dict[Path, Path] = {}


def wine_path(path: Path) -> str:
    """The path by which Wine reaches the host file `path`.  With a root, a file
    outside it is first copied into the run directory (once per run)."""
    if TARGET.root is None:
        return str(path)
    path = path.resolve()
    try:
        return TARGET.inner(path)
    except ValueError:
        pass
    if path not in _copied_into_root:
        copy = Path(tempfile.mkdtemp(prefix="copy-", dir=run_dir())) / path.name
        shutil.copyfile(path, copy)
        _copied_into_root[path] = copy
    return TARGET.inner(_copied_into_root[path])


# --------------------------------------------------------------------------
# Run directory, template prefix and compiled helpers (one per process)

_run_dir: Optional[Path] = None
_template: Optional[Path] = None
_compiled: Dict[str, Path] = {}
_live_prefixes: Dict[Path, "WinePrefix"] = {}
_live_sessions: Dict[str, "PtySession"] = {}


def run_dir() -> Path:
    """The temporary directory of this test run.

    It is removed, after every prefix's wineserver and every terminal session
    left open has been killed, by ``end_run()``, or else when the process
    exits or gets SIGTERM/SIGHUP.  A removal that fails at exit ends the
    process with exit status 1.
    """
    global _run_dir
    if _run_dir is None:
        _run_dir = Path(tempfile.mkdtemp(prefix="vxtest-", dir=TARGET.tmp_dir()))
        (_run_dir / "home").mkdir()
        (_run_dir / "tmp").mkdir()
        atexit.register(_cleanup_at_exit)
        for sig in (signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(sig) == signal.SIG_DFL:
                signal.signal(sig, _die_cleanly)
    return _run_dir


def _die_cleanly(signum, frame) -> None:
    # The same signal often comes twice (from the runner and from the PID
    # namespace's first process); a second one must not cut the clean-up short.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda *_: None)
    try:
        _cleanup_run_dir()
    except BaseException:
        traceback.print_exc()
    os._exit(128 + signum)


def end_run() -> None:
    """Ends this process's run: closes every terminal session and prefix still
    open, kills the template's wineserver and removes the run directory.
    Raises when any of that failed; a later run_dir() starts a new one."""
    _cleanup_run_dir()


def _cleanup_at_exit() -> None:
    # An exception in an exit handler does not change the exit status.
    try:
        _cleanup_run_dir()
    except BaseException:
        traceback.print_exc()
        print("harness: the run directory's clean-up failed at exit", file=sys.stderr)
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(1)


def _cleanup_run_dir() -> None:
    global _run_dir, _template
    if _run_dir is None:
        return
    _copied_into_root.clear()
    steps: List[Callable[[], object]] = []
    steps += [session.close for session in list(_live_sessions.values())]
    steps += [prefix.close for prefix in list(_live_prefixes.values())]
    if _template is not None:
        steps.append(functools.partial(_kill_wineserver, _template))
    steps.append(functools.partial(_remove_tree, _run_dir))
    try:
        clean_up(*steps)
    finally:
        # Only now: the steps above still work in the run directory.
        _run_dir = None
        _template = None


def clean_up(*steps: Callable[[], object]) -> None:
    """Run every step of a clean-up, also after one of them has failed.

    Afterwards the failure is raised: the one error as it is, or for several
    a HarnessError naming them all (chained to the first).  An interrupt
    (KeyboardInterrupt, SystemExit) does not stop the remaining steps either,
    and is raised in preference to the others.
    """
    errors: List[BaseException] = []
    for step in steps:
        try:
            step()
        except BaseException as error:
            errors.append(error)
    if not errors:
        return
    interrupts = [e for e in errors if not isinstance(e, Exception)]
    if interrupts:
        raise interrupts[0]
    if len(errors) == 1:
        raise errors[0]
    raise HarnessError(f"{len(errors)} clean-up steps failed: "
                       + "; ".join(f"{type(e).__name__}: {e}" for e in errors)) from errors[0]


def _remove_tree(path: Path) -> None:
    """Remove `path` with everything below it; HarnessError when anything is left."""
    shutil.rmtree(path, ignore_errors=True)
    if os.path.lexists(path):
        raise HarnessError(f"could not remove {path}")


def base_env(prefix: Path, overrides: str = "") -> Dict[str, str]:
    """Environment for a Wine command in `prefix`.

    Mono, Gecko and the menu builder are disabled; `overrides` is appended to
    WINEDLLOVERRIDES (e.g. "msiexec.exe=n").  HOME and TMPDIR point into the
    run directory and no display is offered.  TMPDIR must be the same for
    every command of a prefix: the wineserver's socket directory is found
    below it.
    """
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("WINE", "XDG_", "LC_")) and k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    dll = "mscoree,mshtml=;winemenubuilder.exe=d"
    if overrides:
        dll += ";" + overrides
    env.update({
        "WINEPREFIX": TARGET.inner(prefix),
        "WINEARCH": "win64",
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": dll,
        "HOME": TARGET.inner(run_dir() / "home"),
        "TMPDIR": TARGET.inner(run_dir() / "tmp"),
        "LANG": "C.UTF-8",
    })
    return env


def _kill_wineserver(prefix: Path) -> None:
    """Kill the prefix's wineserver and every process in the prefix.  Its exit
    status is not looked at (a prefix whose server is gone is fine); one that
    does not end in time raises HarnessError."""
    _run(TARGET.wineserver_argv(["-k"]), env=base_env(prefix), timeout=30)


def template_prefix() -> Path:
    """The run's template prefix, made on first use with `wineboot -i`."""
    global _template
    if _template is None:
        path = run_dir() / "template"
        env = base_env(path)
        start = time.monotonic()
        _check_call(TARGET.wine_argv(["wineboot", "-i"])[0], env=env, timeout=300, what="wineboot -i")
        _check_call(TARGET.wineserver_argv(["-w"]), env=env, timeout=300, what="wineserver -w")
        _timed("template prefix (wineboot -i)", start)
        _template = path
    return _template


def _check_call(args: Sequence[str], env: Dict[str, str], timeout: float, what: str,
                cwd: Optional[Path] = None) -> subprocess.CompletedProcess:
    proc = _run(args, env=env, timeout=timeout, cwd=cwd)
    if proc.returncode != 0:
        raise HarnessError(f"{what} failed with {proc.returncode}:\n"
                           f"{proc.stdout.decode(errors='replace')}"
                           f"{proc.stderr.decode(errors='replace')}")
    return proc


def _run(args: Sequence[str], env: Optional[Dict[str, str]] = None, timeout: float = 60,
         stdin=subprocess.DEVNULL, cwd: Optional[Path] = None) -> subprocess.CompletedProcess:
    """Run a command in its own process group and capture both streams as bytes.

    Output goes through temporary files, not pipes, and only the command itself
    is waited for: Wine's background processes (services.exe, explorer.exe ...)
    may inherit the output handles and live on.  On time-out (scaled for the
    target) the whole process group is killed and HarnessError raised.
    """
    timeout = scaled(timeout)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(list(args), env=env, stdin=stdin, stdout=out, stderr=err,
                                cwd=cwd, start_new_session=True)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
            raise HarnessError(f"timed out after {timeout}s: {' '.join(map(str, args))}")
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(list(args), proc.returncode, out.read(), err.read())


def compile_fixture(source: str, libs: Sequence[str] = ()) -> Path:
    """Compile fixtures/<source> (C) for the target once per run; return the .exe path."""
    if source not in _compiled:
        out = run_dir() / "bin" / (Path(source).stem + ".exe")
        out.parent.mkdir(exist_ok=True)
        start = time.monotonic()
        _check_call([*TARGET.cc, "-O2", "-Wall", "-o", str(out), str(FIXTURES / source),
                     *[f"-l{lib}" for lib in libs]], env=None, timeout=120,
                    what=f"compiling {source}")
        _timed(f"compile {source}", start)
        _compiled[source] = out
    return _compiled[source]


# --------------------------------------------------------------------------
# Windows Installer packages

def pack_guid(code: str) -> str:
    """The installer's packed form of a GUID, as used in registry key names.

    "{12345678-ABCD-EF01-2345-6789ABCDEF01}" -> "87654321DCBA10FE5432769812FEDCBA10".
    """
    hexes = code.strip("{}").replace("-", "").upper()
    if len(hexes) != 32:
        raise ValueError(f"not a GUID: {code!r}")
    head = hexes[7::-1] + hexes[11:7:-1] + hexes[15:11:-1]
    tail = "".join(hexes[i + 1] + hexes[i] for i in range(16, 32, 2))
    return head + tail


@dataclass
class Product:
    """One test package.

    code, upgrade_code: GUIDs in braces (upgrade_code defaults to one derived
    from code).  name, publisher: ProductName and Manufacturer; wixl takes only
    characters of Windows-1252, other texts are set after installation with
    WinePrefix.set_install_property.  fail_removal: add a type-19 custom action
    on REMOVE="ALL", so that a real removal ends with 1603.
    """
    code: str
    name: str
    publisher: str
    version: str = "1.0.0"
    upgrade_code: Optional[str] = None
    fail_removal: bool = False

    @property
    def packed_code(self) -> str:
        return pack_guid(self.code)


def guid(n: int, salt: str = "vxtest") -> str:
    """A stable, distinct GUID in braces for test number `n`."""
    return "{" + str(uuid.uuid5(uuid.NAMESPACE_URL, f"{salt}/{n}")).upper() + "}"


_FAIL_REMOVAL_QUERIES = (
    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) "
    "VALUES ('VxFailRemoval', 19, '', 'Removal refused by the test package')",
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
    "VALUES ('VxFailRemoval', 'REMOVE=\"ALL\"', 1450)",
)


def build_msi(product: Product, out_dir: Path) -> Path:
    """Build `product` as <out_dir>/<packed code>.msi with wixl; return its path."""
    for field in (product.name, product.publisher):
        try:
            field.encode("cp1252")
        except UnicodeEncodeError:
            raise ValueError(f"wixl cannot build {field!r}; install a Windows-1252 "
                             f"name and use set_install_property") from None
    out_dir.mkdir(parents=True, exist_ok=True)
    stem = product.packed_code
    payload = out_dir / f"{stem}.txt"
    payload.write_text(f"payload of {product.code}\n")
    values = {
        "product_code": product.code,
        "upgrade_code": product.upgrade_code or guid(0, salt="upgrade" + product.code),
        "component_guid": guid(0, salt="component" + product.code),
        "name": product.name,
        "publisher": product.publisher,
        "version": product.version,
        "install_dir": "VxTest" + stem[:12],
        "payload": payload.name,
    }
    template = string.Template((FIXTURES / "product.wxs.in").read_text(encoding="utf-8"))
    wxs = out_dir / f"{stem}.wxs"
    wxs.write_text(template.substitute(
        {k: _xml_escape(v, {'"': "&quot;"}) for k, v in values.items()}), encoding="utf-8")
    msi = out_dir / f"{stem}.msi"
    _check_call(["wixl", "-a", "x64", "-o", msi.name, wxs.name], env=None, timeout=60,
                what=f"wixl for {product.code}", cwd=out_dir)
    if product.fail_removal:
        query_args = []
        for query in _FAIL_REMOVAL_QUERIES:
            query_args += ["-q", query]
        _check_call(["msibuild", str(msi), *query_args], env=None, timeout=60,
                    what=f"msibuild for {product.code}")
    return msi


@dataclass
class InstalledProduct:
    """One product as the Windows Installer enumerates it (see installed_products).

    name_rc / publisher_rc are MsiGetProductInfoW's results (0 = success); the
    texts are read with a large buffer, so they are whole even past 255 characters.
    """
    index: int
    code: str
    name_rc: int
    name: str
    publisher_rc: int
    publisher: str


@dataclass
class RunResult:
    """Outcome of one program run: exit code and the raw bytes of both streams."""
    returncode: int
    stdout: bytes
    stderr: bytes


# --------------------------------------------------------------------------
# Prefixes

class WinePrefix:
    """A throwaway Wine prefix, a copy of the run's template prefix."""

    def __init__(self, path: Path):
        self.path = path
        self.standin_active = False
        self._pkg_dir = path.parent / (path.name + "-packages")
        _live_prefixes[path] = self

    # ---- life cycle

    @classmethod
    def copy_of_template(cls, label: str = "prefix") -> "WinePrefix":
        template = template_prefix()
        dest = Path(tempfile.mkdtemp(prefix=f"{label}-", dir=run_dir())) / "pfx"
        start = time.monotonic()
        prefix = cls(dest)
        try:
            _check_call(["cp", "-a", str(template), str(dest)], env=None, timeout=120,
                        what="copying the template prefix")
            prefix.start_wineserver()
        except BaseException:
            clean_up(prefix.close)
            raise
        _timed(f"prefix copy ({label})", start)
        return prefix

    def start_wineserver(self) -> None:
        """Start this prefix's wineserver in persistent mode: without it every Wine
        command would start (and wait for) a server of its own, about a second each."""
        # The server detaches; it must not hold our pipes open.
        subprocess.run(TARGET.wineserver_argv(["-p"]), env=self.env(), timeout=scaled(60), check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # Start the prefix's background processes now, detached from any output
        # that a later command captures.
        subprocess.run(TARGET.wine_argv(["cmd", "/c", "exit"])[0], env=self.env(), timeout=scaled(120),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, start_new_session=True)

    def close(self) -> None:
        """Kill this prefix's wineserver (and with it its processes) and remove it;
        the directory goes also when the kill fails."""
        _live_prefixes.pop(self.path, None)
        clean_up(functools.partial(_kill_wineserver, self.path),
                 functools.partial(_remove_tree, self.path.parent))

    def __enter__(self) -> "WinePrefix":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # ---- paths and environment

    def env(self, standin: Optional[bool] = None) -> Dict[str, str]:
        """Environment for this prefix; with the stand-in msiexec when `standin`
        (default: whether install_standin was called)."""
        use = self.standin_active if standin is None else standin
        return base_env(self.path, "msiexec.exe=n" if use else "")

    def drive_c(self, windows_path: str = "") -> Path:
        """Unix path of a C: path, e.g. drive_c(r"standin\\log.txt")."""
        rel = windows_path.replace("\\", "/").lstrip("/")
        if rel[:2].lower() == "c:":
            rel = rel[2:].lstrip("/")
        return self.path / "drive_c" / rel

    # ---- running commands

    def wine(self, args: Sequence[str], timeout: float = 120,
             standin: bool = False) -> subprocess.CompletedProcess:
        """Run `wine <args>` (bytes output); Wine's own msiexec unless `standin`."""
        return _run(TARGET.wine_argv(args)[0], env=self.env(standin), timeout=timeout)

    def run_exe(self, args: Sequence[str] = (), exe: Optional[Path] = None,
                timeout: float = 60, label: Optional[str] = None,
                stdin: Optional[bytes] = None) -> RunResult:
        """Run the program under test without a terminal: stdin from /dev/null
        (or a file holding the `stdin` bytes), both output streams captured as
        bytes, current directory C:\\.  The stand-in msiexec is used when
        installed.  Without a terminal Wine opens no console input ("CONIN$"
        fails), so key waits end at once."""
        exe = exe or require_exe()
        start = time.monotonic()
        with tempfile.TemporaryFile() as stdin_file:
            if stdin is not None:
                stdin_file.write(stdin)
                stdin_file.seek(0)
            argv, cwd = TARGET.wine_argv([wine_path(exe), *args], cwd=self.drive_c())
            proc = _run(argv, env=self.env(), timeout=timeout, cwd=cwd,
                        stdin=stdin_file if stdin is not None else subprocess.DEVNULL)
        _timed(label or f"run {exe.name} {' '.join(args)}".rstrip(), start)
        return RunResult(proc.returncode, proc.stdout, proc.stderr)

    # ---- Windows Installer

    def install(self, product: Product, timeout: float = 120) -> None:
        """Build `product` and install it silently with Wine's msiexec."""
        start = time.monotonic()
        msi = build_msi(product, self._pkg_dir)
        proc = self.wine(["msiexec", "/i", wine_path(msi), "/qn"], timeout=timeout)
        if proc.returncode != 0:
            raise HarnessError(f"installing {product.code} failed with {proc.returncode}")
        _timed(f"install {product.code}", start)

    def installed_products(self) -> List[InstalledProduct]:
        """The products as MsiEnumProductsW/MsiGetProductInfoW report them, in order."""
        helper = compile_fixture("msienum.c", libs=["msi"])
        proc = self.wine([wine_path(helper)], timeout=60)
        if proc.returncode != 0:
            raise HarnessError(f"msienum failed with {proc.returncode}: "
                               f"{proc.stderr.decode('utf-8', 'replace').strip()}")
        result = []
        for line in proc.stdout.decode("utf-8").split("\n"):
            if not line:
                continue
            index, code, name_rc, name, pub_rc, publisher = line.split("\t")
            result.append(InstalledProduct(int(index), code, int(name_rc), name,
                                           int(pub_rc), publisher))
        return result

    def in_enumeration_order(self, products: Sequence[Product]) -> List[Product]:
        """`products` (installed) in the order the Windows Installer enumerates them."""
        by_code = {p.code: p for p in products}
        return [by_code[p.code] for p in self.installed_products() if p.code in by_code]

    def install_properties_key(self, code: str) -> str:
        return f"{USERDATA_PRODUCTS}\\{pack_guid(code)}\\InstallProperties"

    def set_install_property(self, code: str, value_name: str, text: str) -> None:
        """Set DisplayName or Publisher of an installed product (any Unicode text)."""
        self.reg_add(self.install_properties_key(code), value_name, text)

    def delete_install_property(self, code: str, value_name: str) -> None:
        """Delete a value of the product's InstallProperties key (the installer then
        reports an empty string for it)."""
        self.reg_delete(self.install_properties_key(code), value_name)

    # ---- stand-in msiexec.exe

    def install_standin(self, exit_codes: Optional[Dict[str, Union[int, Tuple[int, int]]]] = None,
                        default: int = 0) -> None:
        """Replace system32\\msiexec.exe with the stand-in and write its config.

        exit_codes maps a text that occurs in the command line (normally a
        product code) to an exit code, or to (exit code, milliseconds to sleep
        before exiting).  Other command lines end with `default`.
        """
        exe = compile_fixture("standin_msiexec.c")
        shutil.copyfile(exe, self.drive_c(r"windows\system32\msiexec.exe"))
        self.drive_c("standin").mkdir(exist_ok=True)
        self.standin_active = True
        self.configure_standin(exit_codes or {}, default)
        self.clear_standin_log()

    def configure_standin(self, exit_codes: Dict[str, Union[int, Tuple[int, int]]],
                          default: int = 0) -> None:
        """Rewrite the stand-in's config (see install_standin)."""
        lines = []
        for text, value in exit_codes.items():
            code, sleep_ms = value if isinstance(value, tuple) else (value, 0)
            if " " in text or "\t" in text:
                raise ValueError("stand-in match texts cannot hold blanks")
            lines.append(f"{text} {code & 0xFFFFFFFF} {sleep_ms}\n")
        lines.append(f"* {default & 0xFFFFFFFF} 0\n")
        self.drive_c(r"standin\config.txt").write_text("".join(lines), encoding="utf-8")

    def clear_standin_log(self) -> None:
        log = self.drive_c(r"standin\log.txt")
        if log.exists():
            log.unlink()

    def standin_calls(self) -> List[str]:
        """Full command lines the stand-in was started with, oldest first."""
        log = self.drive_c(r"standin\log.txt")
        if not log.exists():
            return []
        return log.read_bytes().decode("utf-8").split("\n")[:-1]

    def standin_parameters(self) -> List[str]:
        """The parameter part of each stand-in call: the command line without the
        program name (quoted or not) and the single blank after it."""
        return [strip_program_name(c) for c in self.standin_calls()]

    # ---- terminal sessions

    def pty_session(self, args: Sequence[str] = (), **kwargs) -> "PtySession":
        """Start the program under test on a terminal (see PtySession)."""
        return PtySession(self, args, **kwargs)

    def pty_run(self, args: Sequence[str] = (), steps: Sequence[Tuple[str, str]] = (),
                timeout: float = 60, **kwargs) -> Tuple[str, int]:
        """Run the program on a terminal: for each (text, keys) step wait until
        `text` is on the screen, then type `keys`; then wait for the end.
        Returns (screen text, exit code)."""
        with PtySession(self, args, **kwargs) as session:
            for text, keys in steps:
                session.wait_for(text, timeout=timeout)
                if keys:
                    session.send(keys)
            code = session.wait_exit(timeout=timeout)
            return session.screen(), code

    # ---- registry

    @staticmethod
    def _view(view: int) -> str:
        if view not in (32, 64):
            raise ValueError("view is 32 or 64")
        return f"/reg:{view}"

    def reg_add(self, key: str, value: Optional[str] = None, data: Optional[str] = None,
                type: str = "REG_SZ", view: int = 64) -> None:
        """Create `key` (and, with `value`, set that value; `value=""` is the default value)."""
        args = ["reg", "add", key]
        if value is not None:
            args += ["/ve"] if value == "" else ["/v", value]
            args += ["/t", type, "/d", data if data is not None else ""]
        args += ["/f", self._view(view)]
        proc = self.wine(args, timeout=60)
        if proc.returncode != 0:
            raise HarnessError(f"reg add {key} failed: {proc.stderr.decode(errors='replace')}")

    def reg_delete(self, key: str, value: Optional[str] = None, view: int = 64) -> bool:
        """Delete a value, or the key with everything below it; False when absent."""
        args = ["reg", "delete", key] + (["/v", value] if value is not None else [])
        return self.wine(args + ["/f", self._view(view)], timeout=60).returncode == 0

    def reg_key_exists(self, key: str, view: int = 64) -> bool:
        """Whether `key` exists; a reg.exe that failed otherwise (or did not start)
        raises HarnessError rather than passing for a missing key."""
        proc = self.wine(["reg", "query", key, self._view(view)], timeout=60)
        return reg_query_found(proc.returncode,
                               (proc.stdout + proc.stderr).decode("ascii", "replace"),
                               f"reg query {key} {self._view(view)}")


#: What Wine's reg.exe prints on standard output, with exit status 1, when
#: `reg query` finds no such key, and with `/v NAME` no such value.
REG_KEY_NOT_FOUND = "reg: Unable to find the specified registry key"
REG_VALUE_NOT_FOUND = "reg: Unable to find the specified registry value"


def reg_query_found(status: int, output: str, what: str, value: bool = False) -> bool:
    """Whether a `reg query` (`what`, for messages) found its key, or with `value`
    (a `reg query KEY /v NAME`) its value, from its exit status and output.

    Only status 0 means found, and only status 1 with reg.exe's not-found
    message as the whole output means not found.  Anything else (another
    error, cmd's 9009 for a reg.exe it could not start, a time-out's status)
    raises HarnessError: a query that did not answer says nothing either way.
    """
    if status == 0:
        return True
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    missing = [REG_KEY_NOT_FOUND] + ([REG_VALUE_NOT_FOUND] if value else [])
    if status == 1 and len(lines) == 1 and lines[0] in missing:
        return False
    raise HarnessError(f"{what} failed with status {status}: {output!r}")


def strip_program_name(command_line: str) -> str:
    """Drop the program name (quoted or bare) and one following blank."""
    if command_line.startswith('"'):
        end = command_line.find('"', 1)
        rest = command_line[end + 1:] if end >= 0 else ""
    else:
        end = command_line.find(" ")
        rest = command_line[end:] if end >= 0 else ""
    return rest[1:] if rest.startswith(" ") else rest


def new_prefix(label: str = "prefix") -> WinePrefix:
    """A fresh throwaway prefix (a copy of the run's template)."""
    return WinePrefix.copy_of_template(label)


class PrefixTestCase(unittest.TestCase):
    """Base class: each test class gets its own fresh prefix as `cls.prefix`.

    Subclasses that prepare the prefix further override `prepare_prefix(cls)`
    (a classmethod), which runs once after the copy.
    """

    prefix: WinePrefix

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        start = time.monotonic()
        cls.prefix = new_prefix(cls.__name__)
        try:
            cls.prepare_prefix()
        except BaseException:
            # tearDownClass does not run after a failed setUpClass.  Should the
            # close fail too, its error is raised with this one as its context.
            cls.prefix.close()
            raise
        _timed(f"class setup {cls.__name__}", start)

    @classmethod
    def prepare_prefix(cls) -> None:
        """Hook for subclasses: install products, the stand-in, registry keys ..."""

    @classmethod
    def tearDownClass(cls) -> None:
        clean_up(cls.prefix.close, super().tearDownClass)


class RunAssertions:
    """Mixin for unittest.TestCase: compare a run without a terminal with what it
    must print and end with."""

    maxDiff = None

    def assert_run(self, result: RunResult, stdout: str, stderr: str = "",
                   returncode: int = 0) -> None:
        """Standard output, then standard error, as text first for a readable diff
        (invalid UTF-8 shows as \\x escapes), then the exact bytes of both, then
        the exit code.  The expected texts are the program's own, with line
        feeds; a file or pipe receives each of them as CR LF (see crlf)."""
        stdout, stderr = crlf(stdout), crlf(stderr)
        context = f"exit code {result.returncode}, stderr {result.stderr!r}"
        self.assertMultiLineEqual(result.stdout.decode("utf-8", "backslashreplace"), stdout,
                                  context)
        self.assertMultiLineEqual(result.stderr.decode("utf-8", "backslashreplace"), stderr,
                                  f"exit code {result.returncode}")
        self.assertEqual(result.stdout, stdout.encode("utf-8"))
        self.assertEqual(result.stderr, stderr.encode("utf-8"))
        self.assertEqual(result.returncode, returncode)


# --------------------------------------------------------------------------
# Terminal sessions

class PtySession:
    """The program under test running with a terminal (a tmux pane) as its console.

    Standard input, output and error are the pane's pty, so the program's
    console reads keys from it.  The pane stays after the program ends, so its
    screen and exit code can still be read.  Use as a context manager or call
    close(); close() kills the private tmux server and anything left in it.
    """

    def __init__(self, prefix: WinePrefix, args: Sequence[str], exe: Optional[Path] = None,
                 cols: int = 120, rows: int = 50, disable_isig: bool = True):
        self.prefix = prefix
        self.disable_isig = disable_isig
        exe = exe or require_exe()
        sock_dir = Path(tempfile.mkdtemp(prefix="tmux-", dir=run_dir()))
        self._dir = sock_dir
        self._socket = str(sock_dir / "sock")
        conf = sock_dir / "tmux.conf"
        conf.write_text("set -g remain-on-exit on\nset -g history-limit 10000\n"
                        "set -g status off\n")
        env = prefix.env()
        env["TERM"] = "xterm"
        self._env = env
        self._tty: Optional[str] = None
        self._started = time.monotonic()
        _live_sessions[self._socket] = self
        # A shell between tmux and wine records the exit code: tmux itself
        # sometimes leaves a Wine process unreaped and never learns its status.
        self._rc_file = sock_dir / "rc"
        wrapper = '"$@"; echo $? > "$VXTEST_RC_FILE.tmp"; mv "$VXTEST_RC_FILE.tmp" "$VXTEST_RC_FILE"'
        env["VXTEST_RC_FILE"] = str(self._rc_file)
        argv, _ = TARGET.wine_argv([wine_path(exe), *args])
        self._tmux(["-f", str(conf), "new-session", "-d", "-s", "vx", "-x", str(cols),
                    "-y", str(rows), "--", "/bin/sh", "-c", wrapper, "sh", *argv])

    def _tmux(self, args: Sequence[str], timeout: float = 30) -> str:
        proc = _run(["tmux", "-S", self._socket, *args], env=self._env, timeout=timeout)
        if proc.returncode != 0:
            raise HarnessError(f"tmux {' '.join(args)}: {proc.stderr.decode(errors='replace')}")
        return proc.stdout.decode("utf-8", "replace")

    def screen(self, history: bool = True) -> str:
        """The pane's text (with scroll-back), trailing blanks and empty lines removed."""
        args = ["capture-pane", "-p", "-J", "-t", "vx"] + (["-S", "-"] if history else [])
        lines = [line.rstrip() for line in self._tmux(args).split("\n")]
        while lines and (not lines[-1] or lines[-1].startswith("Pane is dead (")):
            lines.pop()
        return "\n".join(lines) + ("\n" if lines else "")

    def _status(self) -> Tuple[bool, Optional[int]]:
        """(ended, exit code modulo 256; 128+N when signal N ended it)."""
        try:
            return True, int(self._rc_file.read_text())
        except FileNotFoundError:
            return False, None

    def exited(self) -> bool:
        return self._status()[0]

    def wait_for(self, text: str, timeout: float = 30) -> str:
        """Wait until `text` is on the screen; return the screen.  Raises
        HarnessError with the screen when it does not appear in time (the
        time-out is scaled for the target)."""
        timeout = scaled(timeout)
        deadline = time.monotonic() + timeout
        while True:
            current = self.screen()
            if text in current:
                return current
            if time.monotonic() > deadline:
                raise HarnessError(f"{text!r} did not appear within {timeout}s; screen:\n{current}")
            time.sleep(0.1)

    def send(self, keys: str) -> None:
        """Type `keys` (plain characters, KEY_* escape sequences, CTRL_C ...) as they are."""
        if self.disable_isig:
            self._no_isig()
        self._tmux(["send-keys", "-t", "vx", "-l", keys])

    def _no_isig(self) -> None:
        if self._tty is None:
            self._tty = self._tmux(["display", "-p", "-t", "vx", "#{pane_tty}"]).strip()
        if not self.exited():
            with open(self._tty, "rb") as tty:
                subprocess.run(["stty", "-isig"], stdin=tty, timeout=10,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_exit(self, timeout: float = 60) -> int:
        """Wait until the program has ended; return its exit code (modulo 256).
        The time-out is scaled for the target."""
        timeout = scaled(timeout)
        deadline = time.monotonic() + timeout
        while True:
            dead, code = self._status()
            if dead:
                _timed("pty session", self._started)
                return code if code is not None else -1
            if time.monotonic() > deadline:
                raise HarnessError(f"program still running after {timeout}s; screen:\n"
                                   f"{self.screen()}")
            time.sleep(0.1)

    def close(self) -> None:
        """Kill the session's tmux server (and the program, if still running) and
        remove the session's directory, also when the kill fails.  A server that
        is already gone is fine."""
        _live_sessions.pop(self._socket, None)
        clean_up(functools.partial(_run, ["tmux", "-S", self._socket, "kill-server"],
                                   env=self._env, timeout=30),
                 functools.partial(_remove_tree, self._dir))

    def __enter__(self) -> "PtySession":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


# --------------------------------------------------------------------------
# Line ends of redirected output

def crlf(text: str) -> str:
    """`text` as a file or pipe receives it from the program: each line feed
    as CR LF, as the C runtime's text mode writes it."""
    return text.replace("\n", "\r\n")


def bare_line_ends(data: bytes) -> List[str]:
    """What is wrong with the line ends of redirected output: each line feed
    without its CR and each doubled CR, by byte offset; empty when every line
    ends in CR LF."""
    faults = []
    for i, byte in enumerate(data):
        if byte == 0x0A and (i == 0 or data[i - 1] != 0x0D):
            faults.append(f"bare LF at {i}")
        elif byte == 0x0D and i > 0 and data[i - 1] == 0x0D:
            faults.append(f"doubled CR at {i}")
    return faults


# --------------------------------------------------------------------------
# The program on pipes of the test's choosing

def start_exe(prefix: "WinePrefix", args: Sequence[str], stdout, stderr) -> subprocess.Popen:
    """Start the program under test in `prefix` with no standard input and the
    given standard output and standard error (as for subprocess.Popen), in a
    session of its own."""
    argv, cwd = TARGET.wine_argv([wine_path(require_exe()), *args], cwd=prefix.drive_c())
    return subprocess.Popen(argv, env=prefix.env(), cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=stdout, stderr=stderr, start_new_session=True)


def kill_group(proc: subprocess.Popen) -> None:
    """Kill the session that start_exe began, if any of it is left."""
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def run_merged(prefix: "WinePrefix", args: Sequence[str], timeout: float = 120) -> Tuple[int, bytes]:
    """Run the program with standard output and standard error on one pipe;
    returns (exit code, bytes in the order in which they were written)."""
    proc = start_exe(prefix, args, subprocess.PIPE, subprocess.STDOUT)
    try:
        out, _ = proc.communicate(timeout=scaled(timeout))
    except subprocess.TimeoutExpired:
        kill_group(proc)
        proc.communicate()
        raise
    return proc.returncode, out
