"""patchpack diff, names in a code page and the archive size limit, on real folders.

Run as: python3 test_diff.py --patchpack PATH --limit BYTES [unittest args]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import ENTRY, HEADER  # noqa: E402

PATCHPACK = None
LIMIT = None
CP = ["--codepage", "1251"]

# (name in OLD, name in NEW, old bytes, new bytes, what diff makes of it), under --codepage 1251.
CASES = [
    ("same.txt", "same.txt", b"same", b"same", "unchanged"),
    ("grown.txt", "grown.txt", b"ab", b"abc", "changed"),
    ("flip.bin", "flip.bin", b"abcd", b"abce", "changed"),
    ("big.bin", "big.bin", bytes(200000), bytes(199999) + b"\1", "changed"),
    ("Case.txt", "CASE.TXT", b"kept", b"kept", "unchanged"),
    ("Recase.txt", "recase.TXT", b"old", b"new", "changed"),
    ("Папка/Ёлка.txt", "папка/ЁЛКА.txt", b"\xff" * 70000, b"\xff" * 70000, "unchanged"),
    (None, "data/added.bin", None, b"new file", "added"),
    (None, "Новый.txt", None, b"", "added"),
    ("gone.txt", None, b"x", None, "removed"),
    ("data/old/gone.txt", None, b"y", None, "removed"),
]
A = {"a.txt": b"a"}


def run(*args):
    return subprocess.run([PATCHPACK, *args], capture_output=True, text=True, errors="replace",
                          timeout=300)


def tree(root, files):
    """Writes {name: bytes, or a size for a sparse file}; a bytes tree makes root a file."""
    if isinstance(files, bytes):
        open(root, "wb").close()
    for name, data in (files or {}).items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.truncate(data) if isinstance(data, int) else f.write(data)
        os.utime(path, (1, 1))  # equal times everywhere: only the bytes may tell
    return root


def stored(name):
    return name.replace("/", "\\").encode("cp1251")


def entries(archive):
    """(name, bytes) of each entry, read with the layout alone."""
    with open(archive, "rb") as f:
        data = f.read()
    fields = HEADER.unpack_from(data)
    out = []
    for at in range(fields[5], fields[5] + fields[4], ENTRY.size):
        offset, size, name = ENTRY.unpack_from(data, at)[:3]
        name += fields[8]
        out.append((data[name:data.index(b"\0", name)], data[offset:offset + size]))
    return out


class Diff(unittest.TestCase):
    def setUp(self):
        self.tmp = self.enterContext(tempfile.TemporaryDirectory())

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def refused(self, archive, args, *fragments):
        """Runs patchpack with args, which must fail and leave no archive."""
        result = run(*args)
        self.assertNotEqual(result.returncode, 0, result.stderr)
        for fragment in fragments:
            self.assertIn(fragment, result.stderr)
        folder, name = os.path.split(archive)
        self.assertEqual([f for f in os.listdir(folder) if f.startswith(name)], [])

    def assertSucceeds(self, *args):
        result = run(*args)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def test_classifies_and_packs_what_create_packs_of_the_changed_set(self):
        old = tree(self.path("old"), {o: d for o, _, d, _, _ in CASES if o})
        new = tree(self.path("new"), {n: d for _, n, _, d, _ in CASES if n})
        os.utime(os.path.join(new, "same.txt"), (9, 9))
        result = run("diff", *CP, "--removed", self.path("removed.txt"), old, new,
                     self.path("d.pak"))
        self.assertEqual(result.returncode, 0, result.stderr)
        kinds = [case[4] for case in CASES]
        self.assertEqual(result.stdout, "%d added, %d changed, %d unchanged, %d removed; archive "
                         "%d bytes\n" % (*map(kinds.count, ("added", "changed", "unchanged",
                                                            "removed")),
                                         os.path.getsize(self.path("d.pak"))))
        patched = {n: d for _, n, _, d, kind in CASES if kind in ("added", "changed")}
        self.assertEqual(entries(self.path("d.pak")),
                         sorted((stored(n), d) for n, d in patched.items()))
        self.assertSucceeds("create", *CP, self.path("c.pak"), tree(self.path("set"), patched))
        with open(self.path("c.pak"), "rb") as c, open(self.path("d.pak"), "rb") as d:
            self.assertEqual(c.read(), d.read())
        gone = sorted(o.replace("/", "\\") for o, _, _, _, kind in CASES if kind == "removed")
        with open(self.path("removed.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "".join(name + "\n" for name in gone))
        self.assertIn("%d files are not in" % len(gone), result.stderr)
        for name in gone:
            self.assertIn(os.path.join(old, name.replace("\\", "/")) + ": removed", result.stderr)

    def test_refusals(self):
        big = LIMIT + 1 - HEADER.size - len(b"big.bin\0") - ENTRY.size
        for old, new, options, fragments in [
                (A, A, [], ["nothing to patch"]),
                (None, A, [], ["old: No such file"]),
                (A, b"", [], ["new: not a folder"]),
                (A, {"a.txt": b"b", "bad?.txt": b""}, [], ["bad?.txt: the name holds '?'"]),
                ({"x": b"1", "X": b"2"}, {"x": b"3"}, [], ["differs only in letter case"]),
                (A, {"Ёж": b"1", "ёЖ": b"2"}, CP, ["differs only in letter case"]),
                ({"data": b"1"}, {"data/x": b"2"}, [], ["data/x: the old release has a file"]),
                (A, {"a.txt": b"a", "huge.bin": 1 << 32}, [],
                 ["huge.bin: it has 4294967296 bytes", "under 4 GiB"]),
                (A, {"a.txt": b"a", "big.bin": big}, [], ["would have %d bytes" % (LIMIT + 1),
                                                          "than the %d bytes" % LIMIT])]:
            with self.subTest(new=new, fragments=fragments):
                row = tempfile.mkdtemp(dir=self.tmp)
                out = os.path.join(row, "d.pak")
                self.refused(out, ["diff", *options, tree(os.path.join(row, "old"), old),
                                   tree(os.path.join(row, "new"), new), out], *fragments)
        tree(self.path("new"), {"big.bin": big})
        out = self.path("c.pak")
        self.refused(out, ["create", out, self.path("new")], "would have %d bytes" % (LIMIT + 1))
        tree(self.path("old"), A)
        for inside in ("old", "new"):
            out = self.path(inside, "d.pak")
            self.refused(out, ["diff", self.path("old"), self.path("new"), out], "would lie inside")

    def test_names_in_code_page_1251(self):
        files = {"Текстуры/Ёлка.dds": b"tree", "readme.txt": b"r"}
        tree(self.path("p"), files)
        self.refused(self.path("a.pak"), ["create", self.path("a.pak"), self.path("p")],
                     "not plain ASCII")
        self.assertSucceeds("create", *CP, self.path("a.pak"), self.path("p"))
        self.assertEqual(entries(self.path("a.pak")), sorted((stored(n), d) for n, d in files.items()))
        listed = self.assertSucceeds("list", *CP, self.path("a.pak"))
        self.assertIn("  Текстуры\\Ёлка.dds\n", listed)
        self.assertNotEqual(run("list", self.path("a.pak")).returncode, 0)
        self.assertSucceeds("extract", self.path("a.pak"), self.path("x"))
        # Extraction hands the stored bytes to the file functions, as Patch.exe does.
        name = stored("Текстуры/Ёлка.dds").split(b"\\")
        with open(os.path.join(self.path("x").encode(), *name), "rb") as f:
            self.assertEqual(f.read(), b"tree")
        self.assertIn("2 files match", self.assertSucceeds("verify", *CP, self.path("a.pak"),
                                                           self.path("p")))
        tree(self.path("p"), {"中文.txt": b""})
        self.refused(self.path("b.pak"), ["create", *CP, self.path("b.pak"), self.path("p")],
                     "p/\\xe4\\xb8\\xad\\xe6\\x96\\x87.txt: the name holds U+4E2D, which code "
                     "page 1251 cannot hold")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--patchpack", required=True)
    parser.add_argument("--limit", type=int, required=True)
    args, rest = parser.parse_known_args()
    PATCHPACK, LIMIT = os.path.abspath(args.patchpack), args.limit
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
