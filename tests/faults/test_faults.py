#!/usr/bin/env python3
"""Faults of the machine met by `patchpack extract`, made real: a full disk and
a read-only folder (tmpfs mounts: the tests run as root) and a run killed
midway. With --runner, the Windows build under Wine. FAULT_SEED moves the kills.

  test_faults.py --patchpack EXE [--runner WINE_RUN] [unittest args]
"""
import argparse
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import BIG, Archive  # noqa: E402

ARGS = None
SEED = int(os.environ.get("FAULT_SEED", "8146"))
OWN = {"saves/slot1.sav": b"the player's", "data/mine.cfg": b"the player's settings"}


def write(root, files):
    for name, data in files.items():
        path = os.path.join(root, name.replace("\\", "/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def files(root):
    """{name with '/': bytes} of every file under root."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                found[os.path.relpath(os.path.join(folder, name), root)] = f.read()
    return found


class Faults(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="faults-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.tmp])
        self.archive, self.dest = self.tmp + "/big.pak", self.tmp + "/Orvantis III"
        with open(self.archive, "wb") as f:
            f.write(Archive(BIG).build())

    def extract(self, **options):
        return subprocess.Popen(ARGS.runner + [ARGS.patchpack, "extract", self.archive, self.dest],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **options)

    def states(self, before):
        """Per file: 'new', 'old' (as before the run, or missing), or the length
        of the prefix of its new bytes it holds, which ends on a 512-byte piece."""
        found, out = files(self.dest), []
        for name, data in BIG:
            now = found.pop(name.replace("\\", "/"), None)
            out.append("new" if now == data else "old" if now == before.get(name) else len(now))
            self.assertTrue(out[-1] in ("new", "old") or out[-1] % 512 == 0 and data.startswith(now))
        self.assertEqual(found, OWN, "the player's files, and nothing else")
        return out

    def run_on(self, options, read_only=False):
        os.makedirs(self.dest)
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", self.dest], check=True)
        try:
            write(self.dest, OWN)
            if read_only:
                subprocess.run(["mount", "-o", "remount,ro", self.dest], check=True)
            process = self.extract()
            out, err = process.communicate(timeout=300)
            return process.returncode, out, err, self.states(OWN)
        finally:
            subprocess.run(["umount", "-l", self.dest], check=True)

    def test_full_disk(self):
        code, out, err, found = self.run_on("size=1m")
        print("disk full: %s" % found, file=sys.stderr)
        cut = found.index(next(s for s in found if s != "new"))
        self.assertEqual((code, found[4]), (3, "new"), "the empty file after it is created")
        self.assertIsInstance(found[cut], int)
        self.assertIn(BIG[cut][0] + ": cannot write it in full: the disk is full", err)
        self.assertIn("of 8 files written", out)

    def test_read_only_folder(self):
        code, out, err, found = self.run_on("size=1m", read_only=True)
        self.assertEqual((code, found), (5, ["old"] * 8), err)
        self.assertEqual(err.count("cannot create it"), 8, err)
        self.assertIn("0 of 8 files written", out)

    def test_killed_midway(self):
        large = [i for i, (_, data) in enumerate(BIG) if len(data) > 100000]
        for run in range(2 if ARGS.runner else 4):
            rng = random.Random("%d %d" % (SEED, run))
            index = rng.choice(large)
            size = rng.randrange(512, len(BIG[index][1]))
            with self.subTest(run=run, file=BIG[index][0], size=size):
                for _ in range(3):  # a run that outpaces the watch is tried again
                    if self.kill_at(index, size):
                        break
                else:
                    self.fail("every run ended before its moment")

    def kill_at(self, index, size):
        subprocess.run(["rm", "-rf", self.dest])
        before = dict(OWN, **{name: b"old " + name.encode() for name, _ in BIG[::2]})
        write(self.dest, before)
        process = self.extract(preexec_fn=lambda: os.nice(10))
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
    parser = argparse.ArgumentParser()
    parser.add_argument("--patchpack", required=True)
    parser.add_argument("--runner", type=lambda r: [r], default=[])
    ARGS, rest = parser.parse_known_args()
    print("fault seed %d (FAULT_SEED)" % SEED, file=sys.stderr)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
