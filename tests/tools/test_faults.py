#!/usr/bin/env python3
"""Faults of the machine met by patchpack extract, made real: a full disk and a
read-only folder (tmpfs mounts, as root), and a run killed midway (FAULT_SEED
moves the kills); with --runner, the Windows build under Wine.

  test_faults.py OPTIONS [Disk Killed]   (see tool_case.py)
"""
import os
import random
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import BIG, Archive, files_under  # noqa: E402
from tool_case import ARGS, ToolTest, main, run, tree, write  # noqa: E402

SEED = int(os.environ.get("FAULT_SEED", "8146"))
OWN = {"saves/slot1.sav": b"the player's", "data/mine.cfg": b"the player's settings"}


class Faults(ToolTest):
    """A run's destination beside its archive, and what the run leaves there."""

    def setUp(self):
        super().setUp()
        self.archive, self.dest = self.tmp + "/big.pak", self.tmp + "/Orvantis III"
        write(self.archive, Archive(BIG).build())

    def states(self, before):
        """Per file: 'new', 'old' (as before the run, or missing), or the length
        of the prefix of its new bytes it holds, which ends on a 512-byte piece."""
        found = files_under(self.dest)
        out = []
        for name, data in BIG:
            now = found.pop(name.replace("\\", "/"), None)
            out.append("new" if now == data else "old" if now == before.get(name) else len(now))
            whole = out[-1] in ("new", "old")
            self.assertTrue(whole or out[-1] % 512 == 0 and data.startswith(now), name)
        self.assertEqual(found, OWN, "the player's files, and nothing else")
        return out


@unittest.skipUnless(os.geteuid() == 0, "mounting a small disk (tmpfs) needs root")
class Disk(Faults):
    def mount(self, at, *how):
        """Mounts at the path until the test ends."""
        subprocess.run(["mount", *how, at], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", at], check=True)

    def run_on(self, options, read_only=False):
        os.makedirs(self.dest)
        self.mount(self.dest, "-t", "tmpfs", "-o", options, "tmpfs")
        tree(self.dest, OWN)
        if read_only:
            subprocess.run(["mount", "-o", "remount,ro", self.dest], check=True)
        return run("extract", self.archive, self.dest), self.states(OWN)

    def test_full_disk(self):
        done, found = self.run_on("size=1m")
        cut = next(i for i, s in enumerate(found) if s != "new")
        self.assertEqual(found[4], "new", "the empty file after it is created")
        self.assertIsInstance(found[cut], int)
        self.exits(done, 3, BIG[cut][0] + ": cannot write it in full: the disk is full")
        self.assertIn("of 8 files written", done.stdout)

    def test_an_archive_that_does_not_fit_leaves_nothing(self):
        os.makedirs(self.dest)
        self.mount(self.dest, "-t", "tmpfs", "-o", "size=256k", "tmpfs")
        payload = tree(self.path("p"), {"big.bin": bytes(1 << 20)})
        self.exits(run("create", self.dest + "/a.pak", payload), 1,
                   "/a.pak: cannot write it: No space left on device")
        self.assertEqual(os.listdir(self.dest), [], "no archive and no temporary file")

    def test_a_file_that_changes_size_while_packed(self):
        """A kernel file reads more than its size says, as a file still being written."""
        payload = tree(self.path("p"), {"a.txt": b"a", "version": b""})
        self.mount(payload + "/version", "--bind", "/proc/version")
        self.refused(["create", self.path("a.pak"), payload], 1, "changed size while being packed")

    def test_read_only_folder(self):
        done, found = self.run_on("size=1m", read_only=True)
        self.assertEqual(found, ["old"] * 8)
        self.exits(done, 5)
        self.assertEqual(done.stderr.count("cannot create it"), 8, done.stderr)
        self.assertIn("0 of 8 files written", done.stdout)


class Killed(Faults):
    def test_killed_midway(self):
        large = [i for i, (_, data) in enumerate(BIG) if len(data) > 100000]
        for n in range(2 if ARGS.runner else 4):
            rng = random.Random("%d %d" % (SEED, n))
            index = rng.choice(large)
            size = rng.randrange(512, len(BIG[index][1]))
            with self.subTest(run=n, file=BIG[index][0], size=size):
                # A run that outpaces the watch is tried again.
                self.assertTrue(any(self.kill_at(index, size) for _ in range(3)), "no kill")

    def kill_at(self, index, size):
        subprocess.run(["rm", "-rf", self.dest])
        before = dict(OWN, **{name: b"old " + name.encode() for name, _ in BIG[::2]})
        tree(self.dest, before)
        command = ARGS.runner + [ARGS.patchpack, "extract", self.archive, self.dest]
        process = subprocess.Popen(command, preexec_fn=lambda: os.nice(10))
        path = os.path.join(self.dest, BIG[index][0].replace("\\", "/"))
        deadline = time.monotonic() + 120
        while process.poll() is None and time.monotonic() < deadline:
            if os.path.exists(path) and os.path.getsize(path) >= size:
                process.send_signal(signal.SIGKILL)
                break
        killed = process.wait() == -signal.SIGKILL
        found = self.states(before)
        print("killed in %s at %d: %s" % (BIG[index][0], size, found), file=sys.stderr)
        cut = next((i for i, s in enumerate(found) if s != "new"), len(found))
        self.assertGreaterEqual(cut, index, "a file before the moment is not complete")
        self.assertEqual(found[cut + 1:], ["old"] * (len(found) - cut - 1), "a later file changed")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["Orvantis III", "big.pak"])
        return killed


if __name__ == "__main__":
    main()
