"""What the patchpack suites share: the programs (with --runner, the Windows
builds under Wine, sharing one Wine server), a scratch folder per test, and
the files the programs work on.

  SUITE.py --patchpack EXE --sample-payload EXE --probe EXE --limit BYTES
           [--runner WINE_RUN] [unittest args]
"""
import argparse
import contextlib
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import ENTRY, HEADER  # noqa: E402
from wine_screen import one_server  # noqa: E402

ARGS = argparse.Namespace(runner=[])


def run(*args, cwd=None, stdin=None, program=None):
    """patchpack, or another program of the build, run to its end."""
    return subprocess.run(ARGS.runner + [program or ARGS.patchpack, *args], cwd=cwd, input=stdin,
                          capture_output=True, text=True, errors="replace", timeout=600)


def write(path, data=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tree(root, files):
    """Writes {name: bytes, or a size for a sparse file}; a bytes tree makes root a file."""
    if isinstance(files, bytes):
        open(root, "wb").close()
    for name, data in (files or {}).items():
        path = os.path.join(root, name.replace("\\", "/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.truncate(data) if isinstance(data, int) else f.write(data)
        os.utime(path, (1, 1))  # equal times everywhere: only the bytes may tell
    return root


def parse(data):
    """The header and the entries as (fields, name), read independently."""
    header = HEADER.unpack_from(data)
    names = data[header[8]:header[8] + header[7]]
    entries = [ENTRY.unpack_from(data, header[5] + 32 * i) for i in range(header[4] // 32)]
    return header, [(e, names[e[2]:names.index(b"\0", e[2])].decode()) for e in entries]


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", self.tmp])

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def pack(self, files, folder="p", archive="a.pak"):
        self.ok(run("create", self.path(archive), tree(self.path(folder), files)))
        return self.path(archive)

    def ok(self, done):
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        return done.stdout

    def fails(self, done, code, *phrases):
        self.assertEqual(done.returncode, code, done.stderr)
        for phrase in phrases:
            self.assertIn(phrase, done.stderr)
        for line in done.stderr.splitlines():
            self.assertTrue(line.startswith("patchpack: "), line)


def main():
    parser = argparse.ArgumentParser()
    for option in ("patchpack", "sample-payload", "probe"):
        parser.add_argument("--" + option)
    parser.add_argument("--limit", type=int, help="the largest archive patchpack writes")
    parser.add_argument("--runner", type=lambda r: [r], default=[])
    rest = parser.parse_known_args(namespace=ARGS)[1]
    with one_server(ARGS.runner[0]) if ARGS.runner else contextlib.nullcontext():
        result = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False).result
    sys.exit(not result.wasSuccessful())
