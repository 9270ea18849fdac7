#!/usr/bin/env python3
"""Archives built to break readers, each run through the extractor (from memory
and from a file, by the probe), `patchpack list` and `patchpack extract`.

  test_hostile.py --probe EXE --patchpack EXE [--runner WINE_RUN]

With --runner the programs are the 32-bit Windows builds, and the win32
column applies: such a process cannot allocate a block of nearly 4 GiB, and its
ANSI file functions refuse names holding '?' and paths past 259 characters.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import ENTRY, HEADER, Archive, installed, layout  # noqa: E402

U32, U64 = 2**32, 2**64
# Every run extracts into a folder whose path has exactly this many characters,
# so that the rows about the 1,023-character path limit are exact.
DEST_LENGTH = 150
OK = b"written before the hostile entry\r\n"
ESCAPES = "name would be written outside the destination folder or to a device"
SEEDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz", "seeds")
ROWS = []
ARGS = None


def row(name, data, native, win32, listed, says, kept=(), extract=()):
    """kept: (path, bytes) files every platform writes; extract: phrases of
    extract's stderr, which is empty exactly when the run succeeds."""
    ROWS.append((name, data, native, win32, listed, says, list(kept), extract))


def with_ok(*names, content=b"hostile"):
    a = Archive([("keep\\ok.txt", OK)])
    for name in names:
        a.add(name, content)
    return a


def pattern(n):
    return bytes((i * 7 + (i >> 8)) & 0xFF for i in range(n))


KEEP = [("keep/ok.txt", OK)]
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
    row("short-%d" % size, a.build(trailer=pattern(stored)), 2, 2, 1,
        "entry 2 (short.bin): file data (offset %d, %d bytes) runs past the end"
        % (a.trailer_offset(), size),
        KEEP + [("short.bin", pattern(stored)[:stored // 512 * 512]),
                ("after.txt", b"written after")], ["short.bin: the archive ends before"])
a = Archive([("a.bin", pattern(20))])
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
             "sub\\com1\\x.txt", "LPT9  .log", "sub/CONIN$", ""):
    says = "entry 2 (%s): %s" % (name, ESCAPES) if name else "entry 2: name is empty"
    row("name " + name, with_ok(name).build(), 5, 5, 1, says, KEEP,
        [says.replace("): ", "): not created: ").replace("2: name", "2: not created: name")])
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


def run(*command, stdin=None):
    for _ in range(2):
        done = subprocess.run(ARGS.runner + list(command), input=stdin, capture_output=True,
                              text=True, errors="replace", timeout=600)
        # Wine losing its own server says nothing about the program: run it again.
        if "wine client error" not in done.stderr:
            break
    return done


class Scratch:
    """root/a/b/c/DEST, DEST's path exactly DEST_LENGTH long: whatever climbs
    out of DEST lands in root, where outside() sees it."""

    def __init__(self, base, n):
        self.root = os.path.join(base, str(n))
        os.makedirs(os.path.join(self.root, "a", "b", "c"))
        parent = os.path.join(self.root, "a", "b", "c")
        self.dest = os.path.join(parent, "d" * (DEST_LENGTH - len(parent) - 1))

    def outside(self):
        lead = {os.path.join(self.root, *"abc"[:n]) for n in (1, 2, 3)}
        found = []
        for folder, dirs, files in os.walk(self.root):
            dirs[:] = [d for d in dirs if os.path.join(folder, d) != self.dest]
            found += [p for p in (os.path.join(folder, n) for n in dirs + files) if p not in lead]
        return found


class Hostile(unittest.TestCase):
    def check_dest(self, scratch, kept):
        self.assertEqual(scratch.outside(), [])
        self.assertEqual(os.path.isdir(scratch.dest), bool(kept), "destination created")
        for path, content in kept:
            with open(os.path.join(scratch.dest, path), "rb") as f:
                self.assertEqual(f.read(), content, path)

    def test_every_row(self):
        base = tempfile.mkdtemp(prefix="hostile-")
        self.addCleanup(subprocess.run, ["rm", "-rf", base])
        self.assertLess(len(base), DEST_LENGTH - 100)
        plans, lines = [], []
        for n, (name, data, *_) in enumerate(ROWS):
            archive = os.path.join(base, "%d.pak" % n)
            with open(archive, "wb") as f:
                f.write(data)
            scratches = [Scratch(base, "%d-%s" % (n, kind)) for kind in ("m", "f", "x")]
            lines += ["%s\t%s\t%s\n" % (k, archive, s.dest)
                      for k, s in zip(("memory", "file"), scratches)]
            plans.append((archive, scratches))
        probed = run(ARGS.probe, stdin="".join(lines))
        codes = [int(c) for c in probed.stdout.split()]
        self.assertEqual(len(codes), 2 * len(ROWS), probed.stderr)
        for n, (row_, (archive, scratches)) in enumerate(zip(ROWS, plans)):
            name, _, native, win32, listed, says, kept, phrases = row_
            expected = win32 if ARGS.runner else native
            with self.subTest(row=name):
                self.assertEqual(codes[2 * n:2 * n + 2], [expected] * 2, "memory, file")
                self.check_dest(scratches[0], kept)
                self.check_dest(scratches[1], kept)
                done = run(ARGS.patchpack, "list", archive)
                self.assertEqual(done.returncode, listed, done.stderr[-2000:])
                out = done.stdout.splitlines()
                if out:  # a forged name must not forge a line
                    self.assertEqual(len(out), int(out[-1].split()[0]) + 1)
                shown = done.stdout if listed == 0 else done.stderr
                self.assertIn(says, shown)
                done = run(ARGS.patchpack, "extract", archive, scratches[2].dest)
                self.assertEqual(done.returncode, expected, done.stderr[-2000:])
                self.assertEqual(done.stderr == "", expected == 0, done.stderr)
                for line in done.stderr.splitlines():
                    self.assertTrue(line.startswith("patchpack: "), line)
                for phrase in phrases:
                    self.assertIn(phrase, done.stderr)
                self.check_dest(scratches[2], kept)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--patchpack", required=True)
    parser.add_argument("--runner", type=lambda r: [r], default=[])
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
