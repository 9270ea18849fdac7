"""Runs the hostile corpus through 'patchpack list' and 'patchpack extract'.

Run as: python3 test_hostile_tools.py --patchpack PATH [--runner CMD] [unittest args]

With --runner (the Wine wrapper) patchpack is the 32-bit Windows build and the
corpus table's win32 column applies; otherwise its native column.
"""

import argparse
import filecmp
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
SEEDS = os.path.join(os.path.dirname(HERE), "fuzz", "seeds")
PATCHPACK = None
RUNNER = []


def read_table():
    """(destination length, rows); each row a dict of the table's columns."""
    length, rows = None, []
    with open(os.path.join(HERE, "corpus.tsv"), encoding="ascii") as f:
        for line in f.read().splitlines():
            if line.startswith("# destination_length="):
                length = int(line.split("=", 1)[1])
            if not line or line.startswith("#"):
                continue
            file, native, win32, listed, says, kept, what = line.split("\t")
            rows.append(dict(file=file, native=int(native), win32=int(win32), list=int(listed),
                             says=says, what=what,
                             kept=[parse_kept(k) for k in kept.split(";") if k]))
    return length, rows


def parse_kept(text):
    path, span = text.rsplit("@", 1)
    offset, length = span.split("+")
    return path, int(offset), int(length)


DESTINATION_LENGTH, ROWS = read_table()


def run_once(args):
    # Files, not pipes: a wineserver that a run starts keeps its pipes open
    # after the run ends, and reading them to the end would wait for it.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(RUNNER + [PATCHPACK, *args], stdin=subprocess.DEVNULL, stdout=out,
                              stderr=err, timeout=300)
        texts = []
        for f in (out, err):
            f.seek(0)
            texts.append(f.read().decode("ascii", "replace").replace("\r\n", "\n"))
    return subprocess.CompletedProcess(done.args, done.returncode, *texts)


def run(*args):
    result = run_once(args)
    # Wine losing its own server says nothing about patchpack: run it again.
    if RUNNER and "wine client error" in result.stderr:
        result = run_once(args)
    return result


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Scratch:
    """A scratch folder holding a/b/c/DEST, DEST's path exactly as long as the
    corpus's long names are built for; escapes land in the scratch folder."""

    def __init__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="hostile-")
        self.root = self._tmp.name
        parent = os.path.join(self.root, "a", "b", "c")
        os.makedirs(parent)
        pad = DESTINATION_LENGTH - len(parent) - 1
        if pad < 1:
            raise RuntimeError("the temporary folder lies too deep: " + parent)
        self.destination = os.path.join(parent, "d" * pad)
        assert len(self.destination) == DESTINATION_LENGTH

    def outside(self):
        leading = {os.path.join(self.root, *parts) for parts in (["a"], ["a", "b"],
                                                                 ["a", "b", "c"])}
        found = []
        for folder, dirs, files in os.walk(self.root):
            for name in dirs + files:
                path = os.path.join(folder, name)
                if path == self.destination:
                    dirs.remove(name)
                elif path not in leading:
                    found.append(path)
        return found

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self._tmp.cleanup()


class CorpusTest:
    """Runs check(row, archive) for every row of the table."""

    def test_each_archive(self):
        self.assertGreaterEqual(len(ROWS), 40)
        for row in ROWS:
            with self.subTest(file=row["file"]):
                self.check(row, os.path.join(CORPUS, row["file"]))

    def assertReports(self, result):
        """Every line of stderr is one of patchpack's own messages."""
        for line in result.stderr.splitlines():
            self.assertTrue(line.startswith("patchpack: "), line)


class List(CorpusTest, unittest.TestCase):
    def check(self, row, archive):
        result = run("list", archive)
        self.assertEqual(result.returncode, row["list"], result.stderr[-2000:])
        self.assertReports(result)
        if row["list"] == 0:
            self.assertEqual(result.stderr, "")
            self.assertIn(row["says"], result.stdout)
        else:
            named = [line for line in result.stderr.splitlines()
                     if line.startswith("patchpack: %s: " % archive)]
            self.assertTrue(any(row["says"] in line for line in named),
                            "%r not in %r" % (row["says"], result.stderr[-2000:]))


class Extract(CorpusTest, unittest.TestCase):
    def check(self, row, archive):
        column = "win32" if RUNNER else "native"
        with Scratch() as scratch:
            result = run("extract", archive, scratch.destination)
            self.assertEqual(result.returncode, row[column],
                             "%s\n%s" % (row["what"], result.stderr[-2000:]))
            self.assertReports(result)
            if row[column] == 0:
                self.assertEqual(result.stderr, "")
            else:
                self.assertNotEqual(result.stderr, "")
            self.assertEqual(scratch.outside(), [])
            data = read(archive)
            for path, offset, length in row["kept"]:
                written = os.path.join(scratch.destination, *path.split("/"))
                self.assertTrue(os.path.isfile(written), path)
                self.assertEqual(read(written), data[offset:offset + length], path)


class Seeds(unittest.TestCase):
    def test_seeds_are_small_sound_archives(self):
        seeds = sorted(os.listdir(SEEDS))
        self.assertGreaterEqual(len(seeds), 3)
        for name in seeds:
            with self.subTest(seed=name):
                path = os.path.join(SEEDS, name)
                self.assertLessEqual(os.path.getsize(path), 4096)
                listed = run("list", path)
                self.assertEqual((listed.returncode, listed.stderr), (0, ""))
                with Scratch() as scratch:
                    extracted = run("extract", path, scratch.destination)
                self.assertEqual((extracted.returncode, extracted.stderr), (0, ""))
                files = int(listed.stdout.splitlines()[-1].split()[0])
                self.assertIn("%d of %d files written" % (files, files), extracted.stdout)


class Generator(unittest.TestCase):
    def test_regenerates_the_committed_files(self):
        with tempfile.TemporaryDirectory() as tests:
            done = subprocess.run([sys.executable, os.path.join(HERE, "make_corpus.py"), tests],
                                  capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(read(os.path.join(tests, "hostile", "corpus.tsv")),
                             read(os.path.join(HERE, "corpus.tsv")))
            for made, committed in ((os.path.join(tests, "hostile", "corpus"), CORPUS),
                                    (os.path.join(tests, "fuzz", "seeds"), SEEDS)):
                names = sorted(os.listdir(made))
                self.assertEqual(names, sorted(os.listdir(committed)))
                match, mismatch, errors = filecmp.cmpfiles(made, committed, names,
                                                           shallow=False)
                self.assertEqual((mismatch, errors), ([], []))


def main():
    global PATCHPACK, RUNNER
    parser = argparse.ArgumentParser()
    parser.add_argument("--patchpack", required=True)
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    PATCHPACK = os.path.abspath(args.patchpack)
    RUNNER = [args.runner] if args.runner else []
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
