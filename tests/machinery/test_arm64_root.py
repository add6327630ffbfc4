"""scripts/arm64-root.sh: mounts only in namespaces of its own, nothing left
running, nothing deleted that may have something mounted below it.

The tests use a cache of their own (VX_CACHE_DIR) holding a stand-in root:
the directories a run mounts into and the completion marker, no Debian.
Commands given to `run` execute outside the root, so they need none.
"""

import os
import re
import signal
import subprocess
import textwrap
import unittest
from pathlib import Path
from typing import Dict

from common import (ARM64_ROOT, CONTAIN, MachineryTestCase, default_signal_handling,
                    marked, mounts_below, processes_named, run, wait_until)

MARKER = ".vx-arm64-root-complete"


def root_name() -> str:
    """The name the script gives its root (derived from its recipe)."""
    result = run(["bash", ARM64_ROOT, "path"], env={"VX_CACHE_DIR": "/nonexistent",
                                                    "PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})
    found = re.search(r"no complete root at /nonexistent/(\S+)", result.stderr)
    if not found:
        raise AssertionError(f"unexpected answer of `path`: {result.stderr!r}")
    return found.group(1)


class StandInRoot(MachineryTestCase):

    def setUp(self) -> None:
        super().setUp()
        self.cache = self.scratch / "cache"
        self.name = root_name()
        self.root = self.cache / self.name
        self.jobs = self.cache / f".{self.name}.jobs"
        for inner in ("proc", "sys", "dev", "tmp"):
            (self.root / inner).mkdir(parents=True)
        (self.root / MARKER).write_text("stand-in\n")
        self.env: Dict[str, str] = {"VX_CACHE_DIR": str(self.cache),
                                    "PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}

    def script(self, *args: str, timeout: float = 120) -> subprocess.CompletedProcess:
        return run(["bash", ARM64_ROOT, *args], env=self.env, timeout=timeout)

    def start(self, *args: str) -> subprocess.Popen:
        proc = subprocess.Popen(["bash", str(ARM64_ROOT), *args], env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                                preexec_fn=default_signal_handling)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        return proc

    def job_dirs(self):
        return sorted(p.name for p in self.jobs.iterdir()) if self.jobs.exists() else []


class Arm64Root(StandInRoot):

    def test_run_mounts_stay_in_its_namespace(self) -> None:
        # The caller's namespace has shared mounts, as on a systemd machine,
        # but none shared with the machine's; a sampler watches its mount
        # table while the run goes on.
        inside = textwrap.dedent(f"""\
            set -u
            mount --make-rshared /
            grep -E ' /dev/pts( |/)' /proc/self/mountinfo >"$S/pts-before"
            ( while :; do grep -F " $C" /proc/self/mountinfo; sleep 0.02; done ) >"$S/seen" &
            sampler=$!
            bash {ARM64_ROOT} run -- sh -c '
                r=$VX_ARM64_ROOT
                for d in proc sys dev dev/pts tmp; do
                    grep -q " $r/$d " /proc/self/mountinfo && echo "mounted $d"
                done
                ls -A "$r/tmp" | wc -l
                touch "$r/tmp/written" && echo writable
                sleep 1'
            echo "status $?"
            sleep 0.2
            kill $sampler
            grep -E ' /dev/pts( |/)' /proc/self/mountinfo >"$S/pts-after"
            """)
        result = run(["unshare", "--mount", "--propagation", "private", "bash", "-c", inside],
                     env={**self.env, "S": str(self.scratch), "C": str(self.cache)})
        self.assertEqual(result.stdout.split("\n"),
                         ["mounted proc", "mounted sys", "mounted dev", "mounted dev/pts",
                          "mounted tmp", "0", "writable", "status 0", ""], result.stderr)
        self.assertEqual((self.scratch / "seen").read_text(), "",
                         "a mount below the cache showed in the caller's namespace")
        self.assertEqual((self.scratch / "pts-before").read_text(),
                         (self.scratch / "pts-after").read_text())
        self.assertEqual(list((self.root / "tmp").iterdir()), [],
                         "the run's /tmp is not the cached root's")
        self.assertEqual(self.job_dirs(), [])

    def test_a_killed_run_leaves_nothing_running(self) -> None:
        daemon, command = self.marker(), self.marker()
        proc = self.start("run", "--", "bash", "-c",
                          f"(setsid {marked(daemon)} &); exec -a {command} sleep 300")
        wait_until(lambda: processes_named(command) and processes_named(daemon), 30,
                   "the run's processes")
        self.assertEqual(len(self.job_dirs()), 1)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        self.assert_all_ended(daemon)
        self.assert_all_ended(command)
        # Its /tmp stays until the next run finds its namespace gone.
        self.assertEqual(len(self.job_dirs()), 1)
        result = self.script("run", "--", "true")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("left by an earlier setup or run", result.stderr)
        self.assertEqual(self.job_dirs(), [])

    def test_a_job_is_kept_while_its_namespace_ends(self) -> None:
        # A job whose lock is free but whose namespace's first process still
        # lives (it may still hold mounts there) is left for a later run.
        command = self.marker()
        proc = self.start("run", "--", "bash", "-c", f"exec -a {command} sleep 300")
        wait_until(lambda: processes_named(command), 30, "the run's command")
        [job] = self.job_dirs()
        ending = self.jobs / "run.ending"
        ending.mkdir()
        (ending / "lock").touch()
        (ending / "init").write_text((self.jobs / job / "init").read_text())
        result = self.script("run", "--", "true")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("its processes are still ending", result.stderr)
        self.assertTrue(ending.exists())
        proc.kill()
        proc.wait()
        self.assert_all_ended(command)
        self.assertEqual(self.script("run", "--", "true").returncode, 0)
        self.assertEqual(self.job_dirs(), [])

    def test_an_interrupted_run_ends_with_its_command(self) -> None:
        command = self.marker()
        proc = self.start("run", "--", "bash", "-c", f"exec -a {command} sleep 300")
        wait_until(lambda: processes_named(command), 30, "the run's command")
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=60), 143)
        self.assertEqual(processes_named(command), [])
        self.assertEqual(self.job_dirs(), [])

    def test_runs_at_once_have_a_tmp_each(self) -> None:
        first = self.start("run", "--", "sh", "-c",
                           'touch "$VX_ARM64_ROOT/tmp/first"; sleep 2; ls "$VX_ARM64_ROOT/tmp"')
        second = self.start("run", "--", "sh", "-c",
                            'sleep 1; touch "$VX_ARM64_ROOT/tmp/second"; ls "$VX_ARM64_ROOT/tmp"')
        self.assertEqual(first.communicate(timeout=60)[0], "first\n")
        self.assertEqual(second.communicate(timeout=60)[0], "second\n")
        self.assertEqual((first.returncode, second.returncode), (0, 0))
        self.assertEqual(self.job_dirs(), [])

    def test_inner_commands_take_only_their_own_job_directories(self) -> None:
        outside = self.scratch / "outside"
        outside.mkdir()
        self.jobs.mkdir()
        (self.jobs / "run.abc").mkdir()
        cases = [
            ("__build", "", "http://mirror.invalid/debian"),
            ("__build", str(outside), "http://mirror.invalid/debian"),
            ("__build", str(self.jobs / "run.abc"), "http://mirror.invalid/debian"),
            ("__build", str(self.jobs / "build.x/../../.."), "http://mirror.invalid/debian"),
            ("__run", str(outside), "true"),
            ("__run", "/", "true"),
        ]
        for args in cases:
            with self.subTest(args=args):
                # Inside namespaces of their own, as setup and run start them.
                result = run(["bash", CONTAIN, "--", "bash", ARM64_ROOT, *args], env=self.env)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("job directory", result.stderr)
                self.assertEqual(list(outside.iterdir()), [])
                self.assertEqual(list((self.jobs / "run.abc").iterdir()), [])
        # Outside them, even a job directory of the right kind is refused.
        for args in [("__run", str(self.jobs / "run.abc"), "true"),
                     ("__build", str(self.jobs / "run.abc".replace("run", "build")), "mirror")]:
            with self.subTest(args=args, outside_namespaces=True):
                Path(args[1]).mkdir(exist_ok=True)
                result = self.script(*args)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("runs only inside the namespaces", result.stderr)
                self.assertEqual(mounts_below(self.scratch), [])

    def test_remove_deletes_nothing_without_a_mount_table(self) -> None:
        stale = self.jobs / "run.stale"
        stale.mkdir(parents=True)
        (stale / "lock").touch()
        # /proc hidden by an empty file system: the mount table cannot be read.
        result = run(["unshare", "--mount", "bash", "-c",
                      f"mount -t tmpfs none /proc && bash {ARM64_ROOT} remove"], env=self.env)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("the mount table cannot be read", result.stderr)
        self.assertTrue(stale.exists())
        self.assertTrue((self.root / MARKER).exists())

        result = self.script("remove")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(self.root.exists())
        self.assertEqual(self.job_dirs(), [])

    def test_remove_refuses_while_a_run_uses_the_root(self) -> None:
        command = self.marker()
        self.start("run", "--", "bash", "-c", f"exec -a {command} sleep 300")
        wait_until(lambda: processes_named(command), 30, "the run's command")
        result = self.script("remove")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("in use", result.stderr)
        self.assertTrue((self.root / MARKER).exists())


class Binfmt(StandInRoot):
    """The qemu-aarch64 handler of binfmt_misc.  Each case runs in a user
    namespace of its own, which has a binfmt_misc of its own (Linux 6.7 and
    later), with its own /run; there a binfmt_misc mount is kept while the
    runs come and go, so that a handler stays registered until it is removed,
    as on kernels before 6.7 or on a machine whose systemd keeps binfmt_misc
    mounted."""

    PRELUDE = textwrap.dedent("""\
        set -u
        B=/proc/sys/fs/binfmt_misc
        mount -t tmpfs tmpfs /run
        [ -n "${KEEP:-}" ] && mount -t binfmt_misc binfmt_misc $B
        entry() {
            if [ -e $B/register ]; then
                if [ -e $B/qemu-aarch64 ]; then head -n1 $B/qemu-aarch64; else echo absent; fi
            else
                (mount -t binfmt_misc binfmt_misc $B && entry)
            fi
        }
        register() { grep -v '^[#;]' /usr/lib/binfmt.d/qemu-aarch64.conf | grep -m1 . >$B/register; }
        R="bash $ROOT_SCRIPT"
        """)

    def setUp(self) -> None:
        super().setUp()
        release = tuple(int(part) for part in re.findall(r"\d+", os.uname().release)[:2])
        if release < (6, 7):
            # There every handler is the machine's: no test may change them.
            self.skipTest(f"Linux {os.uname().release} has one binfmt_misc for the whole machine")

    def sandboxed(self, script: str, keep_mounted: bool = True) -> subprocess.CompletedProcess:
        return run(["unshare", "--user", "--map-root-user", "--mount", "--net", "--pid", "--fork",
                    "--mount-proc", "bash", "-c", self.PRELUDE + textwrap.dedent(script)],
                   env={**self.env, "S": str(self.scratch), "ROOT_SCRIPT": str(ARM64_ROOT),
                        "KEEP": "1" if keep_mounted else ""})

    def test_what_the_runs_register_the_last_one_removes(self) -> None:
        both = """\
            $R run -- sh -c 'echo "inside: $(head -n1 /proc/sys/fs/binfmt_misc/qemu-aarch64)"
                             touch $S/first; while [ ! -e $S/go ]; do sleep 0.05; done' &
            first=$!
            while [ ! -e $S/first ]; do sleep 0.05; done
            $R run -- true; echo "second: $?"
            echo "after the second: $(entry)"
            touch $S/go; wait $first; echo "first: $?"
            echo "after the first: $(entry)"
            ls /run/vxuninstall
            """
        killed = """\
            $R run -- bash -c 'exec -a vx-killed-run sleep 300' &
            while [ "$(entry)" != enabled ]; do sleep 0.05; done
            kill -KILL $!
            while pgrep -f '^vx-killed-run' >/dev/null; do sleep 0.05; done
            echo "after the killed run: $(entry)"
            $R run -- true; echo "next: $?"
            echo "after the next: $(entry)"
            ls /run/vxuninstall
            """
        locks = ["binfmt.change.lock", "binfmt.lock"]
        cases = [
            ("runs at once", both, True,
             ["inside: enabled", "second: 0", "after the second: enabled", "first: 0",
              "after the first: absent", *locks]),
            ("nothing else keeps binfmt_misc mounted", both, False,
             ["inside: enabled", "second: 0", "after the second: enabled", "first: 0",
              "after the first: absent", *locks]),
            ("a run killed by SIGKILL", killed, True,
             ["after the killed run: enabled", "next: 0", "after the next: absent", *locks]),
        ]
        for label, script, keep, expected in cases:
            with self.subTest(label):
                for name in ("first", "go"):
                    (self.scratch / name).unlink(missing_ok=True)
                result = self.sandboxed(script, keep)
                self.assertEqual(result.stdout.splitlines(), expected, result.stderr)

    def test_a_handler_of_the_machine_is_left_as_it_is(self) -> None:
        # (what the machine has, what the run must say on failure, output)
        cases = [
            ("a handler", "register", None, ["run: 0", "after: enabled"]),
            ("a disabled handler", "register; echo 0 >$B/qemu-aarch64",
             "enable it with: echo 1 > /proc/sys/fs/binfmt_misc/qemu-aarch64",
             ["run: 1", "after: disabled"]),
            ("binfmt_misc disabled", "echo 0 >$B/status",
             "enable it with: echo 1 > /proc/sys/fs/binfmt_misc/status",
             ["run: 1", "after: absent", "status: disabled"]),
        ]
        ran = self.scratch / "ran"
        for label, before, message, expected in cases:
            with self.subTest(label):
                result = self.sandboxed(f"""\
                    {before}
                    $R run -- touch {ran}; echo "run: $?"
                    echo "after: $(entry)"
                    [ "$(cat $B/status)" = enabled ] || echo "status: $(cat $B/status)"
                    """)
                self.assertEqual(result.stdout.splitlines(), expected, result.stderr)
                self.assertEqual(ran.exists(), message is None)
                if message:
                    self.assertIn(message, result.stderr)
                ran.unlink(missing_ok=True)


if __name__ == "__main__":
    unittest.main()
