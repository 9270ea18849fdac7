"""What the patchpack suites share: the programs (with --runner, the Windows
builds under Wine, sharing one Wine server), a scratch folder per test, the
files the programs work on, and what a run must leave behind.

  SUITE.py --patchpack EXE [--sample-payload EXE --probe EXE --project-version X.YY.ZZZ]
           --limit BYTES
           [--runner WINE_RUN] [--patchpack-exe EXE --wine-run SCRIPT --stub EXE
           --identity DIR] [unittest args]
"""
import argparse
import contextlib
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from wine_screen import one_server  # noqa: E402

ARGS = argparse.Namespace(runner=[])


def run(*args, program=None, timeout=600, locale="C.UTF-8", env=None, **options):
    """patchpack, or another program of the build, run to its end in the locale."""
    return subprocess.run((program or ARGS.runner + [ARGS.patchpack]) + list(args),
                          capture_output=True, text=True, errors="replace", timeout=timeout,
                          env=dict(env or os.environ, LC_ALL=locale), **options)


def write(path, data=b""):
    """The bytes, or a sparse file of that many bytes."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.truncate(data) if isinstance(data, int) else f.write(data)


def tree(root, files):
    """Writes {name: data} under root; a bytes tree makes root a file."""
    if isinstance(files, bytes):
        write(root, files)
    for name, data in (files or {}).items():
        path = os.path.join(root, name.replace("\\", "/"))
        write(path, data)
        os.utime(path, (1, 1))  # equal times everywhere: only the bytes may tell
    return root


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", self.tmp])

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def pack(self, files, *options, folder="p", archive="a.pak"):
        self.ok(run("create", *options, self.path(archive), tree(self.path(folder), files)))
        return self.path(archive)

    def ok(self, done):
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        return done.stdout

    def exits(self, done, code, *phrases):
        """The code, each phrase said on one line, every line patchpack's, and none twice."""
        self.assertEqual(done.returncode, code, done.stderr)
        lines = done.stderr.splitlines()
        self.assertEqual([sum(p in line for line in lines) for p in phrases], [1] * len(phrases),
                         done.stderr)
        self.assertEqual([line for line in lines if not line.startswith("patchpack: ")], [])
        self.assertEqual(len(set(lines)), len(lines), "a line said twice")

    def state(self):
        """Every path under the scratch folder, at any depth, and for what is not a folder
        what a rewrite or a change of mode changes."""
        listed = subprocess.run(["find", self.tmp, "-mindepth", "1", "-printf",
                                 r"%p\0%y%m %i %s %T@\0"], capture_output=True,
                                check=True).stdout.split(b"\0")
        return {os.fsdecode(p): None if s.startswith(b"d") else s
                for p, s in zip(listed[0::2], listed[1::2])}

    def refused(self, args, code, *phrases, **options):
        """patchpack fails, saying the phrases, and writes nothing anywhere."""
        before = self.state()
        done = run(*args, **options)
        self.exits(done, code, *phrases)
        self.assertEqual(self.state(), before)
        return done


def main():
    parser = argparse.ArgumentParser()
    for option in ("patchpack", "sample-payload", "probe", "patchpack-exe", "wine-run", "stub",
                   "identity", "project-version"):
        parser.add_argument("--" + option)
    parser.add_argument("--limit", type=int, help="the largest archive patchpack writes")
    parser.add_argument("--runner", type=lambda r: [r], default=[])
    rest = parser.parse_known_args(namespace=ARGS)[1]
    with one_server(ARGS.runner[0]) if ARGS.runner else contextlib.nullcontext():
        result = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False).result
    sys.exit(not result.wasSuccessful())
