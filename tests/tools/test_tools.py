#!/usr/bin/env python3
"""patchpack on sound archives and on archives built to break readers, run as a
release engineer runs it; with --runner, the Windows build under Wine.

  test_tools.py OPTIONS [RoundTrip VerifyExtract Hostile]   (see tool_case.py)
"""
import collections
import os
import stat
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import Archive, installed, layout, read  # noqa: E402
from tool_case import ARGS, ToolTest, main, run, tree, write  # noqa: E402

CP = ["--codepage", "1251"]
TREE = {
    "readme.txt": b"patch notes\n", "empty.dat": b"", "one.bin": b"\x00",
    "data/piece.bin": bytes(range(256)) * 2, "data/piece_and_one.bin": bytes(range(256)) * 2 + b"!",
    "data/textures/stone/wall_01.dds": os.urandom(5000), "data/thousand.bin": bytes(1000),
    "data_extra/z.txt": b"underscore sorts after the separator",
    "maps/north/deep/deeper/deepest/level.map": b"\xff" * 3333, "Upper/Case.TXT": b"case kept",
    "/".join("n" * 40) + ".deep": b"forty folders down",
}


class RoundTrip(ToolTest):
    def test_create_list_extract_verify(self):
        archive = self.pack(TREE)
        data = read(archive)
        # Laid out as the carried archive: sorted names, data, names block, table.
        stored = sorted((name.replace("/", "\\"), content) for name, content in TREE.items())
        expected = Archive(stored)
        self.assertEqual(data, expected.build())
        listed = self.ok(run("list", archive)).splitlines()
        self.assertEqual([line.split() for line in listed[:-1]],
                         [[str(e[1]), str(e[0]), n] for e, (n, _) in zip(expected.entries, stored)])
        self.assertEqual(listed[-1], "%d files, %d bytes, archive %d bytes"
                         % (len(TREE), sum(map(len, TREE.values())), len(data)))
        self.assertIn("%d of %d files written" % (len(TREE), len(TREE)),
                      self.ok(run("extract", archive, self.path("out"))))
        self.assertEqual({name: read(self.path("out", name)) for name in TREE}, TREE)
        verified = self.ok(run("verify", archive, self.path("out")))
        self.assertIn("%d files match" % len(TREE), verified)
        write(self.path("b.pak"), b"old contents" * 1000)
        # Created in the opposite order, so the folder lists differ.
        self.pack(dict(reversed(list(TREE.items()))), folder="q", archive="b.pak")
        self.assertEqual(read(self.path("b.pak")), data)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["a.pak", "b.pak", "out", "p", "q"])
        os.makedirs(self.path("e", "only", "folders"))
        self.ok(run("create", self.path("e.pak"), self.path("e")))
        self.assertEqual(read(self.path("e.pak")), layout([]))


    def test_names_in_a_code_page_both_ways(self):
        # Packed for Russian Windows and written back as the host names files,
        # the copy is the tree; Windows' ANSI code page must hold the names.
        tree(self.path("p"), {"Текстуры/Ёлка.dds": b"tree", "readme.txt": b"r"})
        archive, copy, ru = self.path("a.pak"), self.path("copy"), "ru_RU.UTF-8"
        self.ok(run("create", *CP, archive, self.path("p")))
        self.ok(run("extract", *CP, archive, copy, locale=ru))
        self.assertEqual(self.ok(run("verify", *CP, archive, copy)), "2 files match\n")
        self.assertEqual(subprocess.run(["diff", "-r", self.path("p"), copy]).returncode, 0)
        self.exits(run("verify", archive, copy), 1, "\"\\xd2\\xe5\\xea\\xf1\\xf2\\xf3\\xf0\\xfb\": "
                   "the name is not plain ASCII", "1 entry is faulty")
        write(self.path("b.pak"), Archive([("bad\x98.txt", b"x")]).build())
        self.refused(["extract", *CP, self.path("b.pak"), self.path("o")], 1,
                     "byte 0x98 is no character of code page 1251; nothing extracted")
        if ARGS.runner:  # Wine's ANSI code page follows the locale: 1252 here
            self.refused(["extract", *CP, archive, self.path("o")], 1, "cannot hold the name")


class VerifyExtract(ToolTest):
    def test_verify_reports_each_difference(self):
        piece = bytes(range(256)) * 300
        archive = self.pack({"a.txt": b"alpha" * 300, "sub/b.bin": piece, "c": b"", "d": b"dee"})
        os.remove(self.path("p", "a.txt"))
        tree(self.path("p"), {"sub/b.bin": piece[:70000] + b"\xff" + piece[70001:], "c": b"more",
                              "d": b"d", "extra.txt": b"not in the archive"})
        self.exits(run("verify", archive, self.path("p")), 1, "a.txt: missing",
                   "b.bin: different: byte 70000", "c: longer: 4 bytes where the archive has 0",
                   "d: shorter: 1 bytes where the archive has 3", "4 of 4 files do not match")
        none = self.path("none.pak")
        self.refused(["verify", none, self.path("p")], 1, "none.pak")
        self.refused(["list", none], 1, "none.pak")
        self.refused(["extract", none, self.path("o")], 1, "none.pak: cannot open it")
        write(self.path("x.pak"), bytes(20))
        self.refused(["verify", self.path("x.pak"), self.path("p")], 1, "too short")
        self.refused(["verify", archive, self.path("none")], 1, "none: ")
        self.refused(["verify", self.path("p"), archive], 64, "the operands look swapped")

    def test_names_windows_takes_for_one_file(self):
        # Letter case and a doubled separator: one file on Windows, where the
        # later entry is what an install leaves; natively each has its own.
        write(self.path("x.pak"), Archive([("Data\\A.TXT", b"earlier and longer"), ("f", b"old"),
                                           ("data\\\\a.txt", b"later"), ("f", b"new")]).build())
        clashes = ["entry 3 (data\\\\a.txt) names the file that entry 1 (Data\\A.TXT) names on "
                   "Windows: the later one wins", "entry 4 (f) names the file that entry 2 (f)"]
        self.exits(run("list", self.path("x.pak")), 0, *clashes)
        self.ok(run("extract", self.path("x.pak"), self.path("d")))
        self.exits(run("verify", self.path("x.pak"), self.path("d")), 0, *clashes)
        write(self.path("d", "f"), b"old")
        self.exits(run("verify", self.path("x.pak"), self.path("d")), 1, "f: different")
        write(self.path("y.pak"), layout([(100000, 3, 0)], b"f\0", b"new"))
        self.exits(run("verify", self.path("y.pak"), self.path("d")), 1,
                   "not a patch archive: entry 1 (f): data offset 100000 where patchpack writes 48")

    def test_extract_into_the_current_folder_and_past_a_failure(self):
        archive = self.pack({"a.txt": b"1", "b.txt": b"2", "x/c.txt": b"3"})
        os.makedirs(self.path("cwd", "b.txt"))  # a folder where a file must go
        done = run("extract", archive, cwd=self.path("cwd"))
        self.exits(done, 5, "b.txt: cannot create it")
        self.assertIn("2 of 3 files written", done.stdout)
        self.assertEqual(read(self.path("cwd", "x", "c.txt")), b"3")
        # An entry of the archive's own name would write over it while it is read.
        write(self.path("cwd", "s.pak"), Archive([("a.txt", b"1"), ("s.pak", b"")]).build())
        self.refused(["extract", "s.pak"], 1, "entry 2 (s.pak): it would replace the archive being "
                     "extracted; nothing extracted", cwd=self.path("cwd"))

    def test_extract_reads_pieces_across_its_buffer(self):
        # Files ending before, on and after each edge of the reader's 128 KiB
        # buffer, one longer than it: each must still get exactly its own bytes.
        blob = bytes((i * 131 + (i >> 9)) & 255 for i in range(400000))
        sizes = [131072 - 48 - 1, 1, 1, 0, 131072 - 3, 2, 131072 + 7, 1000]
        starts = [sum(sizes[:i]) for i in range(len(sizes))]
        files = [("f%02d" % i, blob[at:at + size]) for i, (at, size) in enumerate(zip(starts, sizes))]
        write(self.path("x.pak"), Archive(files).build())
        self.ok(run("extract", self.path("x.pak"), self.path("out")))
        self.assertEqual({name: read(self.path("out", name)) for name, _ in files}, dict(files))


# Archives built to break readers, one of each kind (every name rule and bound is
# in the unit tests): what the extractor (the probe, from memory and from a
# file) must do with each, and what patchpack list and extract say. The tools
# take for an archive only what patchpack's writer lays out: any other file
# they refuse whole, naming the first difference (tool: extract's exit code
# then; it says what list says and writes nothing). With a runner the programs
# are the 32-bit Windows builds and the win32 column applies: such a process
# cannot allocate a block of nearly 4 GiB, and its ANSI file functions refuse
# names holding '?' or control characters and paths past 259 characters.
U32, U64 = 2**32, 2**64
# Every run extracts into a folder whose path has exactly this many characters,
# so that the rows about the 1,023-character path limit are exact.
DEST_LENGTH = 150
OK = b"written before the hostile entry\r\n"
KEEP = [("keep/ok.txt", OK)]
ESCAPES = "name would be written outside the destination folder or to a device"
PATTERN = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(1500))
# says: phrases of list's stderr (its stdout when listed is 0); kept: (path, bytes)
# the core writes on every platform; extract: phrases of extract's stderr, which
# is empty exactly when the run succeeds.
Row = collections.namedtuple("Row", "name data native win32 listed says kept extract tool",
                             defaults=((), (), None))


def with_ok(*names):
    return Archive([("keep\\ok.txt", OK)] + [(name, b"hostile") for name in names])


def short():
    """The file's bytes end the archive early; a sound file comes after it."""
    a = with_ok()
    entry = a.refer(0, 1000, a.name("short.bin"))
    a.add("after.txt", b"written after")
    a.entries[entry][0] = a.trailer_offset()
    return a.build(trailer=PATTERN[:700])


def long_name(length):
    return with_ok("\\".join(["d" * 199] * (length // 200) + ["f" * (length % 200)])).build()


END = len(with_ok().build())
# Files sharing bytes, and every field no reader may look at all ones.
OVERLAPPING = layout([(48, 20, 0, 6), (53, 10, 6), (48, 20, 12), (60, 0, 18),
                      (50, 2, 28, U32 - 1, U32 - 1, U64 - 1)],
                     b"a.bin\0b.bin\0c.bin\0sub\\d.bin\0e.bin\0", PATTERN[:20], head_word=U32 - 1,
                     head_size=U32 - 1, head_offset=U64 - 1, table_word=U32 - 1, names_word=U32 - 1)
FAR = layout([(48, len(OK), 0, 12), (U64 - 16, 32, 12), (U32, 0, 20)],
             b"keep\\ok.txt\0far.bin\0far2.bin\0", OK)
WAYS_OUT = ["..\\escaped.txt", "sub/../../../../escaped.txt", "\\rooted.txt", "C:\\escaped.txt",
            "CON", "sub\\com1\\x.txt", "keep\\ok.txt:evil"]
SHOWN_OUT = ["entry %d (%s): %s" % (n, name, ESCAPES) for n, name in enumerate(WAYS_OUT, 2)]
NOT = "not a patch archive: "
ROWS = [
    Row("header-empty", b"", 2, 2, 1, ["too short for the 48-byte header (0 bytes)"], tool=2),
    Row("zeros", bytes(64), 0, 0, 1, [NOT + "header word 0 where patchpack writes 1"], tool=2),
    Row("table-size-33", with_ok().build(table_size=33), 2, 2, 1,
        ["entry table size 33 is not a multiple of 32"], tool=2),
    Row("table-size-4g", with_ok().build(table_size=U32 - 32, table_offset=48), 2, 4, 1,
        ["entry table (offset 48, 4294967264 bytes) runs past the end"], tool=2),
    Row("table-wraps", with_ok().build(table_offset=U64 - 32), 2, 2, 1,
        ["entry table (offset %d, 32 bytes) runs past the end" % (U64 - 32)], tool=2),
    Row("names-straddle-the-end", with_ok().build(names_offset=END - 6), 2, 2, 1,
        ["names block (offset %d, 12 bytes) runs past the end" % (END - 6)], tool=2),
    Row("empty-blocks-far", Archive().build(table_offset=U32, names_offset=U64 - 1), 0, 0, 1,
        ["entry table (offset 4294967296, 0 bytes) runs past the end"], tool=2),
    Row("names-outside", layout([(48, len(OK), 0, 12), (48, 4, 12), (48, 4, 24)],
                                b"keep\\ok.txt\0unterminated", OK), 5, 5, 1,
        [NOT + "entry 2: data offset 48 where patchpack writes 82"], KEEP, tool=2),
    Row("data-out-of-reach", FAR, 2, 2, 1,
        [NOT + "entry 2 (far.bin): data offset %d where patchpack writes 82" % (U64 - 16)],
        KEEP + [("far.bin", b""), ("far2.bin", b"")], tool=2),
    Row("short", short(), 2, 2, 1,
        [NOT + "entry 2 (short.bin): data offset %d where" % (len(short()) - 700)],
        KEEP + [("short.bin", PATTERN[:512]), ("after.txt", b"written after")], tool=2),
    Row("trailing-bytes", with_ok().build(trailer=b"\0" * 7), 0, 0, 1,
        [NOT + "%d bytes where patchpack ends the archive with its table, at %d" % (END + 7, END)],
        KEEP, tool=2),
    Row("overlapping", OVERLAPPING, 0, 0, 1, [NOT + "header word 4294967295 where"],
        [(n.replace("\\", "/"), b) for n, b in installed(OVERLAPPING).items()], tool=2),
    Row("many-duplicates", layout([(48, 8, 0, 13)] + [(48, 0, 0)] * 4998 + [(56, 19, 0)],
                                  b"dup\\same.txt\0", b"earlier\nlast one wins here\n"), 0, 0, 1,
        [NOT + "entry 2 (dup\\same.txt): data offset 48 where patchpack writes 56"],
        [("dup/same.txt", b"last one wins here\n")], tool=2),
    Row("two-failures", layout([(48, 1, 0), (49, 900, 1)], b"\0b\0", b"xy"), 2, 2, 1,
        [NOT + "entry 1: name length 0 where patchpack writes 1"], [("b", b"")], tool=2),
    Row("ways-out", with_ok(*WAYS_OUT).build(), 5, 5, 1, SHOWN_OUT, KEEP,
        [s.replace("): ", "): not created: ") for s in SHOWN_OUT]),
    Row("windows-names", with_ok("what?.txt", "a\nforged", "dir.\\a").build(), 0, 5, 1,
        ["\"what?.txt\": the name holds '?'", "entry 3 (a\\x0aforged): \"a\\x0aforged\": the "
         "name holds control character 0x0a", "\"dir.\": the name ends in a dot"], KEEP),
    Row("path-fits", long_name(1023 - DEST_LENGTH - 1), 0, 5, 1,
        ["%d characters, more than the 160" % (1023 - DEST_LENGTH - 1)], KEEP),
    Row("path-too-long", long_name(1023 - DEST_LENGTH), 5, 5, 1,
        ["%d characters, more than the 160" % (1023 - DEST_LENGTH)], KEEP),
]


def destination(base, name):
    """base/name/a/b/c/DEST, DEST's path DEST_LENGTH long: whatever climbs out of
    DEST lands beside it, where nothing else is written."""
    parent = os.path.join(base, name, "a", "b", "c")
    os.makedirs(parent)
    return os.path.join(parent, "d" * (DEST_LENGTH - len(parent) - 1))


class Hostile(ToolTest):
    def test_every_row(self):
        self.assertLess(len(self.tmp), DEST_LENGTH - 100)
        for n, row in enumerate(ROWS):
            write(self.path("%d.pak" % n), row.data)
        dests = [[destination(self.tmp, "%d-%s" % (n, k)) for k in "mfx"] for n in range(len(ROWS))]
        lines = ["%s\t%s\t%s\n" % (kind, self.path("%d.pak" % n), d[i]) for n, d in enumerate(dests)
                 for i, kind in enumerate(("memory", "file"))]
        before = self.state()
        probed = run(input="".join(lines), program=ARGS.runner + [ARGS.probe])
        codes = [int(c) for c in probed.stdout.split()]
        self.assertEqual(len(codes), 2 * len(ROWS), probed.stderr)
        for n, row in enumerate(ROWS):
            expected, archive = row.win32 if ARGS.runner else row.native, self.path("%d.pak" % n)
            with self.subTest(row=row.name):
                self.assertEqual(codes[2 * n:2 * n + 2], [expected] * 2, "memory, file")
                done = run("list", archive)
                self.assertEqual(done.returncode, row.listed, done.stderr[-2000:])
                out = done.stdout.splitlines()
                if out:  # a forged name must not forge a line
                    self.assertEqual(len(out), int(out[-1].split()[0]) + 1)
                for phrase in row.says:
                    self.assertIn(phrase, done.stderr if row.listed else done.stdout)
                done = run("extract", archive, dests[n][2])
                self.exits(done, row.tool or expected, *(row.says if row.tool else row.extract))
                self.assertEqual(done.stderr == "", (row.tool or expected) == 0, done.stderr)
                for dest, kept in zip(dests[n], [row.kept] * 2 + [() if row.tool else row.kept]):
                    self.assertEqual(os.path.isdir(dest), bool(kept), "destination created")
                    self.assertEqual({p: read(os.path.join(dest, p)) for p, _ in kept}, dict(kept))
        made = [p for p, _ in set(self.state().items()) - set(before.items())
                if not any((p + "/").startswith(d + "/") for d in sum(dests, []))]
        self.assertEqual(made, [], "written outside the destinations")


# What may stand in the destination where an entry goes: a link to a folder
# outside, a link to a read-only file outside, a FIFO, a device (as root).
# Nothing is written through one or waits on one; each entry is named as not
# created. Wine 8 shows a Unix link to a folder as a reparse point, but a link
# to a file as the file.
Planted = collections.namedtuple("Planted", "entry make wine")
PLANTED = [
    Planted("sub\\evil.txt", lambda dest, outside: os.symlink(outside, dest + "/sub"), True),
    Planted("victim.txt", lambda dest, outside: os.symlink(outside + "/precious.txt",
                                                          dest + "/victim.txt"), False),
    Planted("pipe", lambda dest, outside: os.mkfifo(dest + "/pipe"), True)] + (
    [Planted("null", lambda dest, outside: os.mknod(dest + "/null", stat.S_IFCHR | 0o666,
                                                    os.makedev(1, 3)), True)]
    if os.geteuid() == 0 else [])


class Destination(ToolTest):
    def test_nothing_written_through_what_stands_there(self):
        rows = [row for row in PLANTED if row.wine or not ARGS.runner]
        dest, outside = self.path("dest"), self.path("outside")
        write(outside + "/precious.txt", b"precious")
        os.chmod(outside + "/precious.txt", 0o444)
        os.makedirs(dest)
        for row in rows:
            row.make(dest, outside)
        write(self.path("a.pak"), with_ok(*(row.entry for row in rows)).build())
        before = self.state()
        done = run("extract", self.path("a.pak"), dest, timeout=300)
        self.exits(done, 5, *(row.entry + ": cannot create it" for row in rows))
        self.assertIn("1 of %d files written" % (len(rows) + 1), done.stdout)
        self.assertEqual(read(dest + "/keep/ok.txt"), OK)
        changed = {p for p, _ in set(self.state().items()) ^ set(before.items())}
        self.assertEqual(changed, {dest + "/keep", dest + "/keep/ok.txt"})


if __name__ == "__main__":
    main()
