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
import stat
import subprocess
import sys
import tempfile
import unittest

from wine_screen import one_server

ARGS = argparse.Namespace(runner=[])


def run(*args, program=None, locale="C.UTF-8", **options):
    """patchpack, or another program of the build, run to its end in the locale."""
    return subprocess.run((program or ARGS.runner + [ARGS.patchpack]) + list(args),
                          capture_output=True, text=True, errors="replace", timeout=600,
                          env=dict(os.environ, LC_ALL=locale), **options)


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
        """Every path under the scratch folder, and for a file what a rewrite changes."""
        paths = [os.path.join(f, n) for f, dirs, files in os.walk(self.tmp) for n in dirs + files]
        return {p: None if stat.S_ISDIR(s.st_mode) else (s.st_ino, s.st_size, s.st_mtime_ns)
                for p, s in zip(paths, map(os.lstat, paths))}

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
