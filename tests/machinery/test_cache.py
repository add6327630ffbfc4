"""scripts/cache.sh and its users: a cache that others can write to is
refused before anything in it runs, a relative cache is made absolute, the
toolchain is named for its whole identity and held while used, and prune
removes only what the current recipes no longer use.

The caches are the tests' own, below their scratch directory, holding
stand-ins: a toolchain is a directory with its completion marker, a root one
with the directories a run mounts into and its marker.
"""

import os
import re
import shutil
import subprocess
from pathlib import Path
from typing import Dict, Tuple

from common import (ARM64_ROOT, ARM64_TOOLCHAIN, CACHE, REPO, SYSTEM_PATH, MachineryTestCase,
                    default_signal_handling, run, wait_until)

TOOLCHAIN_MARKER = ".vx-toolchain-complete"
ROOT_MARKER = ".vx-arm64-root-complete"
NOBODY = 65534


def identity(scripts: Path = REPO / "scripts") -> Tuple[str, str, str]:
    """(toolchain stem, the marker's identity line, root name) of the scripts in `scripts`."""
    result = run(["bash", "-c", 'source "$1"; toolchain_identity; '
                  'printf "%s\\n" "$TOOLCHAIN_STEM" "$TOOLCHAIN_FOR" "$ROOT_NAME"',
                  "-", scripts / "cache.sh"], env={"PATH": SYSTEM_PATH})
    stem, line, root = result.stdout.splitlines()
    return stem, line, root


def stand_in_toolchain(cache: Path, name: str, for_line: str) -> Path:
    prefix = cache / name
    (prefix / "bin").mkdir(parents=True)
    (prefix / TOOLCHAIN_MARKER).write_text(f"from: stand-in\n{for_line}\n")
    return prefix


def stand_in_root(cache: Path, name: str) -> Path:
    root = cache / name
    for inner in ("proc", "sys", "dev", "tmp"):
        (root / inner).mkdir(parents=True)
    (root / ROOT_MARKER).write_text("stand-in\n")
    return root


class Cache(MachineryTestCase):

    def setUp(self) -> None:
        super().setUp()
        self.stem, self.for_line, self.root_name = identity()
        self.current = f"{self.stem}_mingw-w64-10.0.0-3_llvm-14.0.6-12"

    def env(self, cache) -> Dict[str, str]:
        return {"VX_CACHE_DIR": str(cache), "PATH": SYSTEM_PATH}

    def test_a_cache_others_can_write_to_is_refused_before_anything_in_it_runs(self) -> None:
        # (what is wrong, the cache below the scratch directory, set-up of
        # its directories: path -> (owner, mode))
        cases = [
            ("the cache writable by its group", "c", {"c": (0, 0o775)}),
            ("the cache writable by all", "c", {"c": (0, 0o757)}),
            ("the cache sticky and writable by all", "c", {"c": (0, 0o1777)}),
            ("the cache not root's", "c", {"c": (NOBODY, 0o755)}),
            ("a directory above writable by all", "up/c", {"up": (0, 0o777), "up/c": (0, 0o755)}),
            ("a directory above not root's", "up/c", {"up": (NOBODY, 0o755), "up/c": (0, 0o755)}),
            ("a directory above not root's, the cache missing", "up/c", {"up": (NOBODY, 0o755)}),
        ]
        ran = self.scratch / "ran"
        for number, (label, below, dirs) in enumerate(cases):
            with self.subTest(label):
                ran.unlink(missing_ok=True)
                base = self.scratch / f"case-{number}"
                base.mkdir()
                for path, (owner, mode) in dirs.items():
                    (base / path).mkdir()
                cache = base / below
                if cache.exists():
                    stand_in_toolchain(cache, self.current, self.for_line)
                    stand_in_root(cache, self.root_name)
                    stand_in_toolchain(cache, "aarch64-w64-mingw32_old", "for: old")
                for path, (owner, mode) in dirs.items():
                    os.chown(base / path, owner, owner)
                    os.chmod(base / path, mode)
                touch = ["sh", "-c", f"touch {ran}"]
                for command in (["bash", ARM64_TOOLCHAIN, "exec", "--", *touch],
                                ["bash", ARM64_TOOLCHAIN],
                                ["bash", ARM64_ROOT, "run", "--", *touch],
                                ["bash", ARM64_ROOT, "setup"],
                                ["bash", CACHE, "prune"]):
                    result = run(command, env=self.env(cache))
                    self.assertEqual(result.returncode, 1, (command, result.stderr))
                    self.assertIn(f"refusing the cache {cache}: ", result.stderr)
                    self.assertFalse(ran.exists(), command)
                    self.assertEqual(result.stdout, "")
                if cache.exists():
                    self.assertTrue((cache / "aarch64-w64-mingw32_old" / TOOLCHAIN_MARKER).exists())
                else:
                    self.assertFalse(cache.exists(), "a refused cache was made")

    def test_a_relative_cache_below_a_sticky_directory_is_used_as_an_absolute_one(self) -> None:
        # /var/tmp above the scratch directory is sticky, and so is "shared".
        shared = self.scratch / "shared"
        shared.mkdir()
        shared.chmod(0o1777)
        prefix = stand_in_toolchain(shared / "cache", self.current, self.for_line)
        stand_in_root(shared / "cache", self.root_name)
        env = self.env("shared/cache")
        result = run(["bash", ARM64_TOOLCHAIN], env=env, cwd=self.scratch)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, f"{prefix}\n")
        result = run(["bash", ARM64_TOOLCHAIN, "exec", "--", "sh", "-c",
                      'cd / && echo "$VX_ARM64_TOOLCHAIN"; exit 7'], env=env, cwd=self.scratch)
        self.assertEqual((result.returncode, result.stdout), (7, f"{prefix}\n"), result.stderr)
        result = run(["bash", ARM64_ROOT, "run", "--", "sh", "-c", 'echo "$VX_ARM64_ROOT"'],
                     env=env, cwd=self.scratch)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, f"{shared}/cache/{self.root_name}\n")

    def another_checkout(self) -> Path:
        """A copy of the scripts with other recipes, as another checkout may have."""
        scripts = self.scratch / "other" / "scripts"
        shutil.copytree(REPO / "scripts", scripts)
        text = (scripts / "cache.sh").read_text()
        text, n = re.subn(r"(?m)^(readonly (?:TOOLCHAIN|ROOT)_RECIPE)=.*$", r"\1=99", text)
        self.assertEqual(n, 2)
        (scripts / "cache.sh").write_text(text)
        return scripts

    def hold(self, name: str, *command) -> subprocess.Popen:
        """Starts `command`, which holds something of the cache for as long as
        the file `name` in the scratch directory, which it creates, exists."""
        held = self.scratch / name
        proc = subprocess.Popen(list(map(str, command)) + [
            "sh", "-c", f'touch {held}; while [ -e {held} ]; do sleep 0.05; done'],
            env=self.env(self.cache), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, text=True, preexec_fn=default_signal_handling)
        self.addCleanup(proc.communicate)
        self.addCleanup(proc.kill)
        wait_until(lambda: held.exists() or proc.poll() is not None, 30, f"{command} to start")
        if proc.poll() is not None:
            self.fail(f"{command} ended: {proc.communicate()[1]}")
        return proc

    def release(self, name: str, proc: subprocess.Popen) -> None:
        (self.scratch / name).unlink()
        self.assertEqual(proc.wait(timeout=30), 0)

    def test_prune_keeps_what_is_current_or_in_use_and_removes_the_rest(self) -> None:
        self.cache = self.scratch / "cache"
        other = self.another_checkout()
        other_stem, other_for, other_root = identity(other)
        self.assertNotEqual(other_stem, self.stem, "the recipe is not in the toolchain's name")
        self.assertNotEqual(other_root, self.root_name)
        current = stand_in_toolchain(self.cache, self.current, self.for_line)
        unused = [
            stand_in_toolchain(self.cache, f"{self.stem}_mingw-w64-9.0.0-1_llvm-14.0.6-11",
                               self.for_line),
            stand_in_toolchain(self.cache, "aarch64-w64-mingw32_mingw-w64-10.0.0-3_llvm-14.0.6-12",
                               self.for_line),
            self.cache / f"{self.stem}_mingw-w64-10.0.0-3_llvm-14.0.6-12.partial",
            self.cache / "aarch64-w64-mingw32.downloads",
        ]
        for leftover in unused[2:]:
            leftover.mkdir()
        theirs = stand_in_toolchain(self.cache, f"{other_stem}_mingw-w64-10.0.0-3_llvm-14.0.6-12",
                                    other_for)
        root = stand_in_root(self.cache, self.root_name)
        their_root = stand_in_root(self.cache, other_root)
        (self.cache / "logs" / other_root).mkdir(parents=True)
        # Each checkout finds its own toolchain beside the other's.
        for scripts, prefix in ((REPO / "scripts", current), (other, theirs)):
            result = run(["bash", scripts / "arm64-toolchain.sh"], env=self.env(self.cache))
            self.assertEqual(result.stdout.splitlines()[-1:], [str(prefix)], result.stderr)

        # The other checkout builds with its toolchain and tests in its root.
        holders = [self.hold("toolchain", "bash", other / "arm64-toolchain.sh", "exec", "--"),
                   self.hold("root", "bash", other / "arm64-root.sh", "run", "--")]
        prune = ["bash", CACHE, "prune"]
        result = run(prune, env=self.env(self.cache))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(f"keeping {theirs}: it is in use", result.stderr)
        self.assertIn(f"keeping {their_root}: it is in use", result.stderr)
        self.assertTrue((theirs / TOOLCHAIN_MARKER).exists())
        self.assertTrue((their_root / ROOT_MARKER).exists())
        for gone in unused:
            self.assertFalse(gone.exists(), gone)
        self.release("toolchain", holders[0])
        self.release("root", holders[1])

        # Nothing is deleted that has a mount below it.
        result = run(["unshare", "--mount", "--propagation", "private", "bash", "-c",
                      f"mount -t tmpfs none {their_root}/tmp && bash {CACHE} prune"],
                     env=self.env(self.cache))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(f"not removing {their_root}: mounted below it", result.stderr)
        self.assertTrue((their_root / ROOT_MARKER).exists())

        result = run(prune, env=self.env(self.cache))
        self.assertEqual(result.returncode, 0, result.stderr)
        left = sorted(p.name for p in self.cache.iterdir())
        self.assertEqual([name for name in left if not name.startswith(".")],
                         sorted([current.name, root.name, "aarch64-w64-mingw32.lock", "logs"]))
        for name in left:
            self.assertFalse(other_stem in name or other_root in name or "mingw-w64-9" in name
                             or name.startswith(".aarch64-w64-mingw32_mingw"), name)
        self.assertEqual(list((self.cache / "logs").iterdir()), [])
        self.assertTrue((current / TOOLCHAIN_MARKER).exists())
        self.assertTrue((root / ROOT_MARKER).exists())
