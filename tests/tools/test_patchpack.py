#!/usr/bin/env python3
"""patchpack and sample-payload, run as a release engineer runs them, on sound
archives, hostile ones and a machine that fails; with --runner, the Windows build
under Wine.

  test_patchpack.py --patchpack EXE --sample-payload EXE --probe EXE [--runner WINE_RUN]
                    [unittest args: RoundTrip Create VerifyExtract Sample Hostile Faults]
"""
import argparse
import hashlib
import os
import random
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import BIG, ENTRY, HEADER, Archive, installed, layout  # noqa: E402

ARGS = None
# The shipped archive's figures, which the sample payload reproduces byte for byte.
SAMPLE = dict(files=3927, size=15955200,
              sha256="b6eb178c798f881166b3b50af5c3daf218e1e28bbf25cb3bbe315f477ad01209")
TREE = {
    "readme.txt": b"patch notes\n", "empty.dat": b"", "one.bin": b"\x00",
    "data/piece.bin": bytes(range(256)) * 2, "data/piece_and_one.bin": bytes(range(256)) * 2 + b"!",
    "data/textures/stone/wall_01.dds": os.urandom(5000), "data/thousand.bin": bytes(1000),
    "data_extra/z.txt": b"underscore sorts after the separator",
    "maps/north/deep/deeper/deepest/level.map": b"\xff" * 3333, "Upper/Case.TXT": b"case kept",
}


def run(*args, cwd=None, stdin=None, program=None):
    """patchpack, or another program of the build, run to its end."""
    for _ in range(2):
        done = subprocess.run(ARGS.runner + [program or ARGS.patchpack, *args], cwd=cwd,
                              input=stdin, capture_output=True, text=True, errors="replace",
                              timeout=600)
        # Wine losing its own server says nothing about the program: run it again.
        if "wine client error" not in done.stderr:
            return done
    return done


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


class RoundTrip(ToolTest):
    def test_create_list_extract_verify(self):
        archive = self.pack(TREE)
        data = read(archive)
        # Laid out as the carried archive: sorted names, data, names block, table.
        stored = sorted((name.replace("/", "\\"), content) for name, content in TREE.items())
        self.assertEqual(data, Archive(stored).build())
        entries = parse(data)[1]
        listed = self.ok(run("list", archive)).splitlines()
        self.assertEqual([line.split() for line in listed[:-1]],
                         [[str(f[1]), str(f[0]), n] for f, n in entries])
        self.assertEqual(listed[-1], "%d files, %d bytes, archive %d bytes"
                         % (len(TREE), sum(map(len, TREE.values())), len(data)))
        self.assertIn("%d of %d files written" % (len(TREE), len(TREE)),
                      self.ok(run("extract", archive, self.path("out"))))
        for name, content in TREE.items():
            self.assertEqual(read(self.path("out", name)), content, name)
        verified = self.ok(run("verify", archive, self.path("out")))
        self.assertIn("%d files match" % len(TREE), verified)

    def test_same_tree_same_bytes_and_an_old_archive_replaced(self):
        write(self.path("b.pak"), b"old contents" * 1000)
        # Created in the opposite order, so the folder lists differ.
        self.pack(dict(reversed(list(TREE.items()))), "q", "b.pak")
        self.assertEqual(read(self.pack(TREE)), read(self.path("b.pak")))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["a.pak", "b.pak", "p", "q"])
        os.makedirs(self.path("e", "only", "folders"))
        self.ok(run("create", self.path("e.pak"), self.path("e")))
        self.assertEqual(read(self.path("e.pak")), layout([]))


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
    ("pipe", os.mkfifo, "FIFO", None),
    ("sock", lambda p: socket.socket(socket.AF_UNIX).bind(p), "socket", None)] + [
    (name, write, "device name", None)
    for name in ["CON", "prn.txt", "Aux.dat", "nul", "COM1", "com9.log", "LPT1", "lpt9.x.y",
                 "nul .txt"]] + (
    [("dev", lambda p: os.mknod(p, stat.S_IFCHR | 0o600, os.makedev(1, 3)), "device", None)]
    if os.geteuid() == 0 else [])


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
        names = [n for _, n in parse(read(self.pack({ok: b"", "COM10": b"", "a.con": b""})))[1]]
        self.assertEqual(names, ["COM10", "a.con", ok.replace("/", "\\")])
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
        write(self.path("y.pak"), layout([(100000, 3, 0)], b"f\0", b"new"))
        self.fails(run("verify", self.path("y.pak"), self.path("d")), 1, "f): cannot be checked")

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
        entries = parse(data)[1]
        # Names like a game's: folders several deep, the longest of 73 characters.
        self.assertEqual(max(len(name) for _, name in entries), 73)


class Usage(ToolTest):
    def test_help_on_stdout_and_usage_errors_on_stderr(self):
        wrong = [(["frob"], "frob: unknown command"),
                 (["create", "--codepage"], "create: option --codepage needs a value")]
        for c in ("create", "diff", "list", "extract", "verify"):
            wrong += [([c, "-x", "a"], c + ": unknown option -x"), ([c], c + ": too few")]
            wrong += [([c, "a", "b", "c", "d"], c + ": too many")] if c != "diff" else []
        for args, says in wrong:
            self.fails(run(*args, cwd=self.tmp), 64, says)
        for args, usage in ((["-h"], "COMMAND"), (["help"], "COMMAND"), (["list", "--help"], "list"),
                            (["diff", "a", "-h", "b"], "diff")):
            self.assertTrue(self.ok(run(*args)).startswith("usage: patchpack " + usage), args)
        none = run()
        self.assertEqual((none.returncode, none.stdout), (64, ""))
        self.assertTrue(none.stderr.startswith("usage: patchpack COMMAND"))
        self.assertEqual(os.listdir(self.tmp), [])
        # After "--" a name may begin with a dash.
        tree(self.path("-p"), {"a.txt": b"x"})
        self.ok(run("create", "--", "-a.pak", "-p", cwd=self.tmp))
        self.assertIn("1 files", self.ok(run("list", "--", "-a.pak", cwd=self.tmp)))


# Archives built to break readers: what the extractor (the probe, from memory and from a
# file), patchpack list and patchpack extract must do with each. With a runner the
# programs are the 32-bit Windows builds and the win32 column applies: such a process
# cannot allocate a block of nearly 4 GiB, and its ANSI file functions refuse names
# holding '?' and paths past 259 characters.
U32, U64 = 2**32, 2**64
# Every run extracts into a folder whose path has exactly this many characters,
# so that the rows about the 1,023-character path limit are exact.
DEST_LENGTH = 150
OK = b"written before the hostile entry\r\n"
ESCAPES = "name would be written outside the destination folder or to a device"
SEEDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz", "seeds")
ROWS = []


def row(name, data, native, win32, listed, says, kept=(), extract=()):
    """kept: (path, bytes) files every platform writes; extract: phrases of
    extract's stderr, which is empty exactly when the run succeeds."""
    ROWS.append((name, data, native, win32, listed, says, list(kept), extract))


def with_ok(*names, content=b"hostile"):
    a = Archive([("keep\\ok.txt", OK)])
    for name in names:
        a.add(name, content)
    return a


KEEP = [("keep/ok.txt", OK)]
PATTERN = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(1500))
row("header-empty", b"", 2, 2, 1, "too short for the 48-byte header (0 bytes)",
    extract=["cannot read it as an archive: too short"])
row("header-47", with_ok().build()[:47], 2, 2, 1, "too short for the 48-byte header (47 bytes)")
row("table-size-33", with_ok().build(table_size=33), 2, 2, 1,
    "entry table size 33 is not a multiple of 32")
unread = bytearray(with_ok().build(head_word=U32 - 1, head_size=U32 - 1, head_offset=U64 - 1,
                                   table_word=U32 - 1, names_word=U32 - 1))
unread[-16:] = b"\xff" * 16
row("unread-fields-all-ones", bytes(unread), 0, 0, 0, "1 files, 34 bytes", KEEP)
row("table-size-4g", with_ok().build(table_size=U32 - 32, table_offset=48), 2, 4, 1,
    "entry table (offset 48, 4294967264 bytes) runs past the end")
row("names-size-4g", with_ok().build(names_size=U32 - 1), 2, 4, 1,
    "names block (offset 82, 4294967295 bytes) runs past the end")
for block, field, size in (("entry table", "table", ENTRY.size), ("names block", "names", 12)):
    end = len(with_ok().build())
    for tag, at in (("past-end", end), ("straddles-end", end - size // 2), ("2p32", U32 + 48),
                    ("2p63", 2**63), ("wraps", U64 - size), ("max", U64 - 1)):
        row("%s-%s" % (field, tag), with_ok().build(**{field + "_offset": at}), 2, 2, 1,
            "%s (offset %d, %d bytes) runs past the end" % (block, at, size))
row("empty-blocks-far", Archive().build(table_offset=U32, names_offset=U64 - 1), 0, 0, 1,
    "entry table (offset 4294967296, 0 bytes) runs past the end")

# Names that do not lie inside the names block.
for name, offset, says in (("unterminated", 12, "name at offset 12 is not NUL-terminated"),
                           ("offset-at-end", 12, "name offset 12 lies outside the names block"),
                           ("offset-max", U32 - 1, "name offset 4294967295 lies outside")):
    a = with_ok()
    a.names += b"unterminated" if name == "unterminated" else b""
    a.refer(48, 4, offset)
    row("name-" + name, a.build(), 5, 5, 1, "entry 2: " + says, KEEP,
        ["entry 2: not created: " + says])
row("names-empty", layout([(48, 4, 0)], b"", b"data"), 5, 5, 1,
    "entry 1: name offset 0 lies outside the names block (0 bytes)")
row("table-is-names", layout([(48, 1, 0)], b"", b"Z", names_offset=49, names_size=32), 0, 0, 0,
    "1 files, 1 bytes", [("0", b"Z")])

# File data out of reach.
for offset, size in ((U32 + 48, 5), (2**63, 5), (U64 - 16, 32), (U64 - 1, 2)):
    a = with_ok()
    a.refer(offset, size, a.name("far.bin"))
    row("data-at-%x" % offset, a.build(), 2, 2, 1, "entry 2 (far.bin): file data (offset %d, %d "
        "bytes) runs past the end of the archive (166 bytes)" % (offset, size),
        KEEP + [("far.bin", b"")], ["far.bin: the archive ends before the file's bytes do"])
a = with_ok()
a.refer(U64 - 1, 0, a.name("far.bin"))
a.refer(U32, 0, a.name("far2.bin"))
row("empty-files-far", a.build(), 0, 0, 1,
    "entry 2 (far.bin): file data (offset 18446744073709551615, 0 bytes) runs past the end",
    KEEP + [("far.bin", b""), ("far2.bin", b"")])
for size, stored in ((1000, 700), (U32 - 1, 1500)):
    # The file's bytes end the archive early; a sound file comes after it.
    a = with_ok()
    short = a.refer(0, size, a.name("short.bin"))
    a.add("after.txt", b"written after")
    a.entries[short][0] = a.trailer_offset()
    row("short-%d" % size, a.build(trailer=PATTERN[:stored]), 2, 2, 1,
        "entry 2 (short.bin): file data (offset %d, %d bytes) runs past the end"
        % (a.trailer_offset(), size),
        KEEP + [("short.bin", PATTERN[:stored // 512 * 512]),
                ("after.txt", b"written after")], ["short.bin: the archive ends before"])
a = Archive([("a.bin", PATTERN[:20])])
for name, start, size in (("b.bin", 53, 10), ("c.bin", 48, 20), ("sub\\d.bin", 60, 0),
                          ("e.bin", 50, 2)):
    a.refer(start, size, a.name(name))
row("overlapping", a.build(), 0, 0, 0, "5 files, 52 bytes",
    [(n.replace("\\", "/"), b) for n, b in installed(a.build()).items()])
a = Archive([("dup\\same.txt", b"earlier\n")])
for _ in range(4998):
    a.refer(48, 0, 0)
a.refer(56, 19, 0)
a.blob += b"last one wins here\n"
row("many-duplicates", a.build(), 0, 0, 0, "5000 files, 27 bytes",
    [("dup/same.txt", b"last one wins here\n")])
row("two-failures", layout([(48, 1, 0), (49, 900, 1)], b"\0b\0", b"xy"), 2, 2, 1,
    "entry 1: name is empty", [("b", b"")],
    extract=["entry 1: not created: name is empty", "b: the archive ends before"])

# Names that would leave the destination or name no file.
for name in ("..\\escaped.txt", "../escaped.txt", "sub\\..\\..\\escaped.txt",
             "sub/../../../../escaped.txt", "sub\\..", "..", "\\rooted.txt", "/rooted.txt",
             "C:\\escaped.txt", "C:escaped.txt", "keep\\ok.txt:evil", "folder\\",
             "...\\escaped.txt", ".. \\escaped.txt", "sub\\. ", "CON", "nul.txt",
             "sub\\com1\\x.txt", "LPT9  .log", "sub/CONIN$", "", ".\\a", "a\\Nul", "PRN.",
             "AUX .h", "aux", "CONOUT$.x", "COM0", "lpt\xb9.txt"):
    shown = "".join(c if " " <= c < "\x7f" else "\\x%02x" % ord(c) for c in name)
    says = "entry 2 (%s): %s" % (shown, ESCAPES) if name else "entry 2: name is empty"
    row("name " + name, with_ok(name).build(), 5, 5, 1, says, KEEP,
        [says.replace("): ", "): not created: ").replace("2: name", "2: not created: name")])
LIKE_DEVICES = ("CONSOLE", "NULL.txt", "LPT10", "COMA", "x\\AUXILIARY", "..a", "a..b")
row("device-like names", with_ok(*LIKE_DEVICES).build(), 0, 0, 0, "8 files",
    KEEP + [(n.replace("\\", "/"), b"hostile") for n in LIKE_DEVICES])
row("double-separator", with_ok("a\\\\b.txt", content=b"second").build(), 0, 0, 0,
    "2 files, 40 bytes", KEEP + [("a/b.txt", b"second")])
row("wildcard", with_ok("what?.txt").build(), 0, 5, 1, "\"what?.txt\": the name holds '?'", KEEP)
row("control-character", with_ok("a\nforged").build(), 0, 5, 1,
    "entry 2 (a\\x0aforged): \"a\\x0aforged\": the name holds control character 0x0a", KEEP)
row("trailing-dot", with_ok("dir.\\a").build(), 0, 0, 1, "\"dir.\": the name ends in a dot", KEEP)
for length, native, win32 in ((1023, 5, 5), (1023 - DEST_LENGTH - 1, 0, 5),
                              (1023 - DEST_LENGTH, 5, 5)):
    name = "\\".join(["d" * 199] * (length // 200) + ["f" * (length % 200)])
    row("name-length-%d" % length, with_ok(name).build(), native, win32, 1,
        "%d characters, more than the 160" % length, KEEP)
for seed in sorted(os.listdir(SEEDS)):
    with open(os.path.join(SEEDS, seed), "rb") as f:
        data = f.read()
    row("seed " + seed, data, 0, 0, 0, "%d files" % (HEADER.unpack_from(data)[4] // 32),
        [(n.replace("\\", "/"), b) for n, b in installed(data).items()])


def destination(base, name):
    """base/name/a/b/c/DEST, DEST's path DEST_LENGTH long: whatever climbs out of
    DEST lands in base/name, where outside() sees it."""
    parent = os.path.join(base, name, "a", "b", "c")
    os.makedirs(parent)
    return os.path.join(parent, "d" * (DEST_LENGTH - len(parent) - 1))


def outside(dest):
    """What lies under the destination's base but neither in it nor on the way."""
    root = dest[:-len("/a/b/c/") - len(os.path.basename(dest))]
    return [p for f, d, n in os.walk(root) for p in (os.path.join(f, x) for x in d + n)
            if not (p + "/").startswith(dest + "/") and not dest.startswith(p + "/")]


class Hostile(ToolTest):
    def check_dest(self, dest, kept):
        self.assertEqual(outside(dest), [])
        self.assertEqual(os.path.isdir(dest), bool(kept), "destination created")
        for path, content in kept:
            self.assertEqual(read(os.path.join(dest, path)), content, path)

    def test_every_row(self):
        self.assertLess(len(self.tmp), DEST_LENGTH - 100)
        for n, (name, data, *_) in enumerate(ROWS):
            write(self.path("%d.pak" % n), data)
        dests = [[destination(self.tmp, "%d-%s" % (n, k)) for k in "mfx"] for n in range(len(ROWS))]
        lines = ["%s\t%s\t%s\n" % (kind, self.path("%d.pak" % n), d[i]) for n, d in enumerate(dests)
                 for i, kind in enumerate(("memory", "file"))]
        probed = run(stdin="".join(lines), program=ARGS.probe)
        codes = [int(c) for c in probed.stdout.split()]
        self.assertEqual(len(codes), 2 * len(ROWS), probed.stderr)
        for n, (name, _, native, win32, listed, says, kept, phrases) in enumerate(ROWS):
            expected, archive = win32 if ARGS.runner else native, self.path("%d.pak" % n)
            with self.subTest(row=name):
                self.assertEqual(codes[2 * n:2 * n + 2], [expected] * 2, "memory, file")
                done = run("list", archive)
                self.assertEqual(done.returncode, listed, done.stderr[-2000:])
                out = done.stdout.splitlines()
                if out:  # a forged name must not forge a line
                    self.assertEqual(len(out), int(out[-1].split()[0]) + 1)
                self.assertIn(says, done.stderr if listed else done.stdout)
                done = run("extract", archive, dests[n][2])
                self.fails(done, expected, *phrases)
                self.assertEqual(done.stderr == "", expected == 0, done.stderr)
                for dest in dests[n]:
                    self.check_dest(dest, kept)



# Faults of the machine met by patchpack extract, made real: a full disk and a read-only
# folder (tmpfs mounts: the tests run as root) and a run killed midway. FAULT_SEED moves
# the kills.
SEED = int(os.environ.get("FAULT_SEED", "8146"))
OWN = {"saves/slot1.sav": b"the player's", "data/mine.cfg": b"the player's settings"}


class Faults(ToolTest):
    def setUp(self):
        super().setUp()
        self.archive, self.dest = self.tmp + "/big.pak", self.tmp + "/Orvantis III"
        write(self.archive, Archive(BIG).build())

    def extract(self, **options):
        command = ARGS.runner + [ARGS.patchpack, "extract", self.archive, self.dest]
        return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                **options)

    def states(self, before):
        """Per file: 'new', 'old' (as before the run, or missing), or the length
        of the prefix of its new bytes it holds, which ends on a 512-byte piece."""
        found = {os.path.relpath(os.path.join(f, n), self.dest): read(os.path.join(f, n))
                 for f, _, names in os.walk(self.dest) for n in names}
        out = []
        for name, data in BIG:
            now = found.pop(name.replace("\\", "/"), None)
            out.append("new" if now == data else "old" if now == before.get(name) else len(now))
            self.assertTrue(out[-1] in ("new", "old") or out[-1] % 512 == 0 and data.startswith(now),
                            name)
        self.assertEqual(found, OWN, "the player's files, and nothing else")
        return out

    def run_on(self, options, read_only=False):
        os.makedirs(self.dest)
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", self.dest], check=True)
        try:
            tree(self.dest, OWN)
            if read_only:
                subprocess.run(["mount", "-o", "remount,ro", self.dest], check=True)
            process = self.extract()
            out, err = process.communicate(timeout=300)
            return process.returncode, out, err, self.states(OWN)
        finally:
            subprocess.run(["umount", "-l", self.dest], check=True)

    def test_full_disk(self):
        code, out, err, found = self.run_on("size=1m")
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
        if ARGS.runner and os.environ.get("PATCH_WINE_EMULATED"):
            self.skipTest("emulated, Wine ends the program before any watch can kill it")
        large = [i for i, (_, data) in enumerate(BIG) if len(data) > 100000]
        for run in range(1 if ARGS.runner else 4):
            rng = random.Random("%d %d" % (SEED, run))
            index = rng.choice(large)
            size = rng.randrange(512, len(BIG[index][1]))
            with self.subTest(run=run, file=BIG[index][0], size=size):
                # A run that outpaces the watch is tried again.
                self.assertTrue(any(self.kill_at(index, size) for _ in range(3)), "no kill")

    def kill_at(self, index, size):
        subprocess.run(["rm", "-rf", self.dest])
        before = dict(OWN, **{name: b"old " + name.encode() for name, _ in BIG[::2]})
        tree(self.dest, before)
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


# patchpack diff, names in a code page and the archive size limit.
CP = ["--codepage", "1251"]
PATCH_EXE_CMAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake",
                               "PatchExe.cmake")

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


def stored(name):
    """A name as the archive holds it, read back as installed() reads names."""
    return name.replace("/", "\\").encode("cp1251").decode("latin-1")


class Diff(ToolTest):
    def refused(self, archive, args, *fragments):
        """patchpack with args fails, saying fragments, and leaves no archive."""
        self.fails(run(*args), 1, *fragments)
        folder, name = os.path.split(archive)
        self.assertEqual([f for f in os.listdir(folder) if f.startswith(name)], [])

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
        self.assertEqual(installed(read(self.path("d.pak"))),
                         {stored(n): d for n, d in patched.items()})
        self.ok(run("create", *CP, self.path("c.pak"), tree(self.path("set"), patched)))
        with open(self.path("c.pak"), "rb") as c, open(self.path("d.pak"), "rb") as d:
            self.assertEqual(c.read(), d.read())
        gone = sorted(o.replace("/", "\\") for o, _, _, _, kind in CASES if kind == "removed")
        with open(self.path("removed.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "".join(name + "\n" for name in gone))
        self.assertIn("%d files are not in" % len(gone), result.stderr)
        for name in gone:
            self.assertIn(os.path.join(old, name.replace("\\", "/")) + ": removed", result.stderr)

    def test_refusals(self):
        big = ARGS.limit + 1 - HEADER.size - len(b"big.bin\0") - ENTRY.size
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
                (A, {"a.txt": b"a", "big.bin": big}, [], ["would have %d bytes" % (ARGS.limit + 1),
                                                          "than the %d bytes" % ARGS.limit])]:
            with self.subTest(new=new, fragments=fragments):
                row = tempfile.mkdtemp(dir=self.tmp)
                out = os.path.join(row, "d.pak")
                self.refused(out, ["diff", *options, tree(os.path.join(row, "old"), old),
                                   tree(os.path.join(row, "new"), new), out], *fragments)
        tree(self.path("new"), {"big.bin": big})
        out = self.path("c.pak")
        self.refused(out, ["create", out, self.path("new")],
                     "would have %d bytes" % (ARGS.limit + 1))
        # The build refuses such an archive too, embedded as it is.
        tree(self.path("huge"), {"x.pak": ARGS.limit + 1})
        done = subprocess.run(["cmake", "-DPATCH_CHECK_ARCHIVE=" + self.path("huge", "x.pak"),
                               "-DPATCH_MAX_ARCHIVE_SIZE=%d" % ARGS.limit, "-P", PATCH_EXE_CMAKE],
                              capture_output=True, text=True)
        self.assertIn("has %d bytes" % (ARGS.limit + 1), " ".join(done.stderr.split()))
        tree(self.path("old"), A)
        for inside in ("old", "new"):
            out = self.path(inside, "d.pak")
            self.refused(out, ["diff", self.path("old"), self.path("new"), out], "would lie inside")

    def test_names_in_code_page_1251(self):
        files = {"Текстуры/Ёлка.dds": b"tree", "readme.txt": b"r"}
        tree(self.path("p"), files)
        self.refused(self.path("a.pak"), ["create", self.path("a.pak"), self.path("p")],
                     "not plain ASCII")
        self.ok(run("create", *CP, self.path("a.pak"), self.path("p")))
        self.assertEqual(installed(read(self.path("a.pak"))),
                         {stored(n): d for n, d in files.items()})
        listed = self.ok(run("list", *CP, self.path("a.pak")))
        self.assertIn("  Текстуры\\Ёлка.dds\n", listed)
        self.assertNotEqual(run("list", self.path("a.pak")).returncode, 0)
        self.ok(run("extract", self.path("a.pak"), self.path("x")))
        # Extraction hands the stored bytes to the file functions, as Patch.exe does.
        name = "Текстуры/Ёлка.dds".encode("cp1251").split(b"/")
        self.assertEqual(read(os.path.join(self.path("x").encode(), *name)), b"tree")
        verified = self.ok(run("verify", *CP, self.path("a.pak"), self.path("p")))
        self.assertIn("2 files match", verified)
        tree(self.path("p"), {"中文.txt": b""})
        self.refused(self.path("b.pak"), ["create", *CP, self.path("b.pak"), self.path("p")],
                     "p/\\xe4\\xb8\\xad\\xe6\\x96\\x87.txt: the name holds U+4E2D, which code "
                     "page 1251 cannot hold")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("patchpack", "sample-payload", "probe"):
        parser.add_argument("--" + option)
    parser.add_argument("--limit", type=int, help="the largest archive patchpack writes")
    parser.add_argument("--runner", type=lambda r: [r], default=[])
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
