#!/usr/bin/env python3
"""patchpack and sample-payload, run as a release engineer runs them.

  test_patchpack.py --patchpack EXE --sample-payload EXE [--runner WINE_RUN] [unittest args]
"""
import argparse
import hashlib
import os
import socket
import stat
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import ENTRY, HEADER, layout  # noqa: E402

ARGS = None
# The shipped archive's figures, which the sample payload reproduces byte for byte.
SAMPLE = dict(files=3927, size=15955200, data_end=15639579, names=189957, table=15829536,
              sha256="b6eb178c798f881166b3b50af5c3daf218e1e28bbf25cb3bbe315f477ad01209")
TREE = {
    "readme.txt": b"patch notes\n", "empty.dat": b"", "one.bin": b"\x00",
    "data/piece.bin": bytes(range(256)) * 2, "data/piece_and_one.bin": bytes(range(256)) * 2 + b"!",
    "data/textures/stone/wall_01.dds": os.urandom(5000), "data/thousand.bin": bytes(1000),
    "data_extra/z.txt": b"underscore sorts after the separator",
    "maps/north/deep/deeper/deepest/level.map": b"\xff" * 3333, "Upper/Case.TXT": b"case kept",
}


def run(*args, cwd=None):
    return subprocess.run(ARGS.runner + [ARGS.patchpack, *args], cwd=cwd, capture_output=True,
                          text=True, errors="replace", timeout=600)


def write(path, data=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


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
        for name, data in files.items():
            write(self.path(folder, name), data)
        self.ok(run("create", self.path(archive), self.path(folder)))
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


class RoundTrip(ToolTest):
    def test_create_list_extract_verify(self):
        archive = self.pack(TREE)
        data = read(archive)
        header, entries = parse(data)
        names = [name for _, name in entries]
        self.assertEqual(names, sorted(n.replace("/", "\\") for n in TREE))
        end, size = 48 + sum(map(len, TREE.values())), sum(len(n) + 1 for n in names)
        self.assertEqual(header, (1, 0, end, 32, 32 * len(names), end + size, 0, size, end))
        self.assertEqual(len(data), end + size + 32 * len(names))
        offset, name_offset = 48, 0
        for fields, name in entries:
            content = TREE[name.replace("\\", "/")]
            self.assertEqual(fields, (offset, len(content), name_offset, len(name) + 1, 32, 0))
            self.assertEqual(data[offset:offset + len(content)], content)
            offset, name_offset = offset + len(content), name_offset + len(name) + 1
        listed = self.ok(run("list", archive)).splitlines()
        self.assertEqual([line.split() for line in listed[:-1]],
                         [[str(f[1]), str(f[0]), n] for f, n in entries])
        self.assertEqual(listed[-1], "%d files, %d bytes, archive %d bytes"
                         % (len(TREE), end - 48, len(data)))
        self.assertIn("%d of %d files written" % (len(TREE), len(TREE)),
                      self.ok(run("extract", archive, self.path("out"))))
        for name, content in TREE.items():
            self.assertEqual(read(self.path("out", name)), content, name)
        self.assertIn("%d files match" % len(TREE), self.ok(run("verify", archive, self.path("out"))))

    def test_same_tree_same_bytes_and_an_old_archive_replaced(self):
        write(self.path("b.pak"), b"old contents" * 1000)
        # Created in the opposite order, so the folder lists differ.
        self.pack(dict(reversed(list(TREE.items()))), "q", "b.pak")
        self.assertEqual(read(self.pack(TREE)), read(self.path("b.pak")))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["a.pak", "b.pak", "p", "q"])
        os.makedirs(self.path("e", "only", "folders"))
        self.ok(run("create", self.path("e.pak"), self.path("e")))
        self.assertEqual(read(self.path("e.pak")), layout([]))


def device(path):
    os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 3))


def unix_socket(path):
    s = socket.socket(socket.AF_UNIX)
    s.bind(path)
    s.close()


def sparse(size):
    def make(path):
        with open(path, "wb") as f:
            f.truncate(size)
    return make


def beside(other, make=write):
    """The bad file and `other` next to it."""
    return lambda path: (write(path), make(os.path.join(os.path.dirname(path), other)))


# (bad name under payload/, what makes it, what the refusal says, what it names)
REFUSALS = [("a%sb.txt" % c, write, "holds '%s', which Windows forbids" % c, None)
            for c in '<>:"|?*'] + [
    ("x\x01y", write, "control character 0x01", "x\\x01y"),
    ("x\x7fy", write, "control character 0x7f", "x\\x7fy"),
    ("data/a\\b.txt", write, "holds '\\', the archive's folder separator", None),
    ("caf\u00e9.txt", write, "not plain ASCII", "caf\\xc3\\xa9.txt"),
    ("d\u00e4ta/a.txt", write, "not plain ASCII", "/d\\xc3\\xa4ta:"),
    (os.fsdecode(b"raw\xff"), write, "not plain ASCII", "raw\\xff"),
    ("name.", write, "ends in a dot", None), ("name ", write, "ends in a space", None),
    ("folder./a.txt", write, "ends in a dot", "/folder.:"),
    ("folder /a.txt", write, "ends in a space", "/folder :"),
    ("data/con/a.txt", write, "device name", "/data/con:"),
    ("readme.txt", beside("readme.TXT"), "differs only in letter case", None),
    ("data", beside("DATA/x.txt"), "same name as the folder", None),
    ("d" * 100 + "/" + "f" * 60, write, "161 characters", None),
    ("huge.bin", sparse(1 << 32), "under 4 GiB", None),
    ("link", lambda p: os.symlink("good.txt", p), "symbolic link", None),
    ("dirlink", lambda p: os.symlink(".", p), "symbolic link", None),
    ("pipe", os.mkfifo, "FIFO", None), ("sock", unix_socket, "socket", None)] + [
    (name, write, "device name", None)
    for name in ["CON", "prn.txt", "Aux.dat", "nul", "COM1", "com9.log", "LPT1", "lpt9.x.y",
                 "nul .txt"]] + ([("dev", device, "device", None)] if os.geteuid() == 0 else [])


class Create(ToolTest):
    def test_refusals_name_the_file_and_leave_the_old_archive(self):
        for n, (bad, make, says, named) in enumerate(REFUSALS):
            with self.subTest(bad=bad):
                payload = self.path("p%d" % n)
                write(os.path.join(payload, "good.txt"), b"good")
                make(os.path.join(payload, bad))
                write(self.path("out", "a.pak"), b"previous archive")
                done = run("create", self.path("out", "a.pak"), payload)
                self.fails(done, 1, named or bad, says, "not written: ")
                self.assertEqual(os.listdir(self.path("out")), ["a.pak"])
                self.assertEqual(read(self.path("out", "a.pak")), b"previous archive")

    def test_what_is_accepted(self):
        ok = "d" * 100 + "/" + "f" * 59
        names = [n for _, n in parse(read(self.pack(
            {ok: b"", "CONSOLE.txt": b"", "COM10": b"", "LPT10": b"", "nulls": b"", "a.con": b""})))[1]]
        self.assertIn(ok.replace("/", "\\"), names)
        self.assertEqual(len(names), 6)
        # Just under 4 GiB passes the size check: stop at a bad name before packing it.
        write(self.path("q", "bad:name"))
        sparse((1 << 32) - 1)(self.path("q", "big.bin"))
        done = run("create", self.path("a.pak"), self.path("q"))
        self.fails(done, 1, "bad:name", "1 file refused")
        self.assertNotIn("big.bin", done.stderr)

    def test_inside_missing_and_pairs(self):
        self.pack({"a.txt": b"x"})
        self.fails(run("create", self.path("p", "a.pak"), self.path("p")), 1, "inside")
        self.fails(run("create", self.path("none", "a.pak"), self.path("p")), 1, "none/a.pak")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["a.pak", "p"])
        self.assertEqual(os.listdir(self.path("p")), ["a.txt"])
        write(self.path("p", "Maps/a.map"), b"1")
        write(self.path("p", "maps/A.MAP"), b"2")
        self.fails(run("create", self.path("b.pak"), self.path("p")), 1, "Maps/a.map", "maps/A.MAP")


class VerifyExtract(ToolTest):
    def test_verify_reports_each_difference(self):
        archive = self.pack({"a.txt": b"alpha" * 300, "sub/b.bin": bytes(range(256)) * 300,
                             "c": b"", "d": b"dee"})
        os.remove(self.path("p", "a.txt"))
        with open(self.path("p", "sub", "b.bin"), "r+b") as f:
            f.seek(70000)
            f.write(b"\xff")
        write(self.path("p", "c"), b"more")
        write(self.path("p", "d"), b"d")
        write(self.path("p", "extra.txt"), b"not in the archive")
        self.fails(run("verify", archive, self.path("p")), 1, "a.txt: missing",
                   "b.bin: different: byte 70000", "c: longer: 4 bytes where the archive has 0",
                   "d: shorter: 1 bytes where the archive has 3", "4 of 4 files do not match")
        self.fails(run("verify", self.path("none.pak"), self.path("p")), 1, "none.pak")
        self.fails(run("list", self.path("none.pak")), 1, "none.pak")
        self.fails(run("extract", self.path("none.pak"), self.path("o")), 1,
                   "none.pak: cannot open it")
        write(self.path("x.pak"), bytes(20))
        self.fails(run("verify", self.path("x.pak"), self.path("p")), 1, "too short")

    def test_last_entry_of_a_name_counts(self):
        write(self.path("x.pak"), layout([(48, 3, 0), (51, 3, 0)], b"f\0", b"oldnew"))
        write(self.path("d", "f"), b"new")
        self.ok(run("verify", self.path("x.pak"), self.path("d")))
        write(self.path("d", "f"), b"old")
        self.fails(run("verify", self.path("x.pak"), self.path("d")), 1, "different")

    def test_extract_into_the_current_folder_and_past_a_failure(self):
        archive = self.pack({"a.txt": b"1", "b.txt": b"2", "x/c.txt": b"3"})
        os.makedirs(self.path("cwd", "b.txt"))  # a folder where a file must go
        done = run("extract", archive, cwd=self.path("cwd"))
        self.fails(done, 5, "b.txt: cannot create it")
        self.assertIn("2 of 3 files written", done.stdout)
        self.assertEqual(read(self.path("cwd", "x", "c.txt")), b"3")

    def test_extract_reads_data_in_any_order(self):
        # Backward jumps, overlaps, gaps and pieces across the reader's 128 KiB
        # buffer: each file must still get exactly its own bytes.
        blob = bytes((i * 131 + (i >> 9)) & 255 for i in range(300000))
        spans = [(150000, 70000), (0, 1000), (131073, 3), (1, 0), (0, 1000), (131072, 1),
                 (131071, 5000), (299000, 1000), (131072 * 2 - 1, 2), (10, 131072 + 7)]
        entries = [(48 + start, size, 4 * i) for i, (start, size) in enumerate(spans)]
        names = b"".join(b"f%02d\0" % i for i in range(len(spans)))
        write(self.path("x.pak"), layout(entries, names, blob))
        self.ok(run("extract", self.path("x.pak"), self.path("out")))
        for i, (start, size) in enumerate(spans):
            self.assertEqual(read(self.path("out", "f%02d" % i)), blob[start:start + size], i)


class Sample(ToolTest):
    def test_sample_reproduces_the_shipped_archive(self):
        generated = subprocess.run(ARGS.runner + [ARGS.sample_payload, self.path("payload")],
                                   capture_output=True, text=True, timeout=600)
        self.assertEqual(generated.returncode, 0, generated.stderr)
        data = read(self.pack({}, "payload"))
        self.assertEqual(len(data), SAMPLE["size"])
        self.assertEqual(hashlib.sha256(data).hexdigest(), SAMPLE["sha256"])
        header, entries = parse(data)
        self.assertEqual(header, (1, 0, SAMPLE["data_end"], 32, 32 * SAMPLE["files"],
                                  SAMPLE["table"], 0, SAMPLE["names"], SAMPLE["data_end"]))
        names = [name for _, name in entries]
        self.assertEqual(max(map(len, names)), 73)
        self.assertTrue({"data", "sounds", "maps", "scripts"} <= {n.split("\\")[0] for n in names})
        self.assertGreaterEqual(min(n.count("\\") for n in names if n.startswith("data")), 2)
        sizes = sorted(f[1] for f, _ in entries)
        self.assertTrue(1 <= sizes.count(0) <= 10 and 3 <= sum(s >= 200000 for s in sizes) <= 20)
        self.assertGreater(sum(s < 8192 for s in sizes), SAMPLE["files"] // 2)

        def ratio(suffix):
            raw = b"".join([data[f[0]:f[0] + f[1]] for f, n in entries
                            if n.endswith(suffix) and f[1] > 1024][:20])
            return len(zlib.compress(raw)) / len(raw)
        self.assertLess(ratio(".lua"), 0.5)
        self.assertGreater(ratio(".ogg"), 0.98)
        self.assertEqual(len({data[f[0]:f[0] + f[1]] for f, _ in entries if f[1] > 64}),
                         sum(s > 64 for s in sizes))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--patchpack", required=True)
    parser.add_argument("--sample-payload", required=True)
    parser.add_argument("--runner", type=lambda r: [r], default=[])
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
