#!/usr/bin/env python3
"""Writes the hostile archive corpus and the fuzzers' seed archives.

make_corpus.py [TESTS]   TESTS defaults to the tests/ folder this script is in

Writes TESTS/hostile/corpus/*.pak, the table TESTS/hostile/corpus.tsv that
says what each one must do, and TESTS/fuzz/seeds/*.pak (small valid archives).
The output depends on nothing but this script: running it again gives the same
bytes, which the tests check.

Columns of corpus.tsv:
  file       name under corpus/
  native     extractor result in a 64-bit build
  win32      extractor result in the 32-bit Windows build
  list       exit status of 'patchpack list'
  list_says  a phrase that must appear in list's report: on the stderr line
             naming the archive when the status is 1, on stdout when it is 0
  kept       files that must be written whatever the platform, as
             PATH@OFFSET+LENGTH: PATH (below the destination, '/' between
             folders) holds exactly the archive's bytes [OFFSET, OFFSET+LENGTH);
             ';' between files
  what       what the archive is

Expected results come from the documented behaviour. Where they differ, the
32-bit Windows build cannot allocate a block of nearly 4 GiB (4, where a 64-bit
process allocates it and then finds the block short, 2), and its ANSI file
functions refuse paths longer than 259 characters and names holding '?'.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import patch_archive  # noqa: E402
from patch_archive import ENTRY, HEADER  # noqa: E402

U64 = 2**64
U32 = 2**32

# The tests extract into a folder whose path has exactly this many characters,
# so that the rows about the 1,023-character path limit are exact.
DESTINATION_LENGTH = 150
PATH_LIMIT = 1023
# Names that climb out of the destination climb at most this far; the tests
# put the destination deeper than that inside their scratch folder.
MAX_CLIMB = 4

OK_BYTES = b"written before the hostile entry\r\n"
AFTER_BYTES = b"written after the hostile entry\r\n"


class Archive(patch_archive.Archive):
    def kept(self, index, path, length=None):
        """A file that must be written: PATH@OFFSET+LENGTH of entry `index`."""
        offset, size = self.entries[index][:2]
        return "%s@%d+%d" % (path, offset if size else 0, size if length is None else length)


def with_ok(*names):
    """An archive whose first file is sound, followed by the given names."""
    a = Archive()
    a.add(b"keep\\ok.txt", OK_BYTES)
    for name in names:
        a.add(name, b"hostile")
    return a


def pattern(n):
    return bytes((i * 7 + (i >> 8)) & 0xFF for i in range(n))


def long_name(length):
    """A relative name of exactly `length` characters, in components short
    enough for any file system."""
    parts, left = [], length
    while left > 200:
        parts.append(b"d" * 199)
        left -= 200
    parts.append(b"f" * left)
    name = b"\\".join(parts)
    assert len(name) == length
    return name


CORPUS = []


def row(file, native, win32, list_status, list_says, what):
    def register(make):
        CORPUS.append((file, native, win32, list_status, list_says, what, make))
        return make
    return register


def bad_name_row(file, name, what,
                 says="name would be written outside the destination folder or to a device"):
    quoted = name.decode("latin-1")

    def make():
        a = with_ok(name)
        return a.build(), [a.kept(0, "keep/ok.txt")]
    CORPUS.append((file, 5, 5, 1, "entry 2 (%s): %s" % (quoted, says) if name else says, what,
                   make))


# --- The header --------------------------------------------------------------

@row("header-empty.pak", 2, 2, 1, "too short for the 48-byte header (0 bytes)",
     "no bytes at all")
def _():
    return b"", []


@row("header-47.pak", 2, 2, 1, "too short for the 48-byte header (47 bytes)",
     "a sound header cut one byte short")
def _():
    return with_ok().build()[:47], []


@row("table-size-33.pak", 2, 2, 1, "entry table size 33 is not a multiple of 32",
     "a table size that is no whole number of entries")
def _():
    return with_ok().build(table_size=33), []


@row("unread-fields.pak", 0, 0, 0, "1 files, 34 bytes",
     "every header and entry field the extractor does not read is all ones")
def _():
    a = with_ok()
    data = bytearray(a.build(head_word=U32 - 1, head_size=U32 - 1, head_offset=U64 - 1,
                             table_word=U32 - 1, names_word=U32 - 1))
    table = a.table_offset()
    data[table + 16:table + 32] = b"\xff" * 16
    return bytes(data), [a.kept(0, "keep/ok.txt")]


# --- Entry table and names block out of reach ----------------------------------

@row("table-size-4g.pak", 2, 4, 1, "entry table (offset 48, 4294967264 bytes) runs past the end",
     "a table of nearly 4 GiB in a small archive: 32 bits cannot allocate it, 64 bits find it "
     "short")
def _():
    return with_ok().build(table_size=U32 - 32, table_offset=48), []


@row("names-size-4g.pak", 2, 4, 1, "names block (offset 82, 4294967295 bytes) runs past the end",
     "a names block of 4 GiB - 1 bytes in a small archive")
def _():
    a = with_ok()
    assert a.names_offset() == 82
    return a.build(names_size=U32 - 1), []


def far_block_rows():
    for block, field in (("table", "table_offset"), ("names", "names_offset")):
        label = "entry table" if block == "table" else "names block"
        for tag, offset, what in (
                ("past-end", None, "just past the end of the archive"),
                ("straddles-end", -1, "starting inside the archive and running past its end"),
                ("2p32", U32 + 48, "at 2^32 + 48: beyond any memory stream, a file seeks there"),
                ("2p63", 2**63, "at 2^63: a negative offset for a file's pointer"),
                ("wraps", 0, "so close to 2^64 that offset + size wraps around to 0"),
                ("max", U64 - 1, "at 2^64 - 1")):
            def make(offset=offset, field=field, block=block):
                a = with_ok()
                size = ENTRY.size if block == "table" else len(a.names)
                length = len(a.build())
                at = {None: length, -1: length - size // 2, 0: U64 - size}.get(offset, offset)
                return a.build(**{field: at}), []
            sample = make()[0]
            at = HEADER.unpack_from(sample)[5 if block == "table" else 8]
            size = HEADER.unpack_from(sample)[4 if block == "table" else 7]
            CORPUS.append(("%s-%s.pak" % (block, tag), 2, 2, 1,
                           "%s (offset %d, %d bytes) runs past the end" % (label, at, size),
                           "the %s %s" % (label, what), make))


far_block_rows()


@row("empty-blocks-far.pak", 0, 0, 1, "entry table (offset 4294967296, 0 bytes) runs past the end",
     "an empty table at 2^32 and empty names at 2^64 - 1: nothing to read is never a short read")
def _():
    return Archive().build(table_offset=U32, names_offset=U64 - 1), []


# --- Names that do not lie inside the names block ------------------------------

@row("names-unterminated.pak", 5, 5, 1,
     "entry 2: name at offset 12 is not NUL-terminated inside the names block",
     "the last name runs to the end of the names block with no NUL")
def _():
    a = with_ok()
    a.names += b"unterminated"
    a.refer(48, 4, 12)
    return a.build(), [a.kept(0, "keep/ok.txt")]


@row("name-offset-at-end.pak", 5, 5, 1,
     "entry 2: name offset 12 lies outside the names block (12 bytes)",
     "a name offset equal to the names block's size")
def _():
    a = with_ok()
    a.refer(48, 4, len(a.names))
    return a.build(), [a.kept(0, "keep/ok.txt")]


@row("name-offset-max.pak", 5, 5, 1,
     "entry 2: name offset 4294967295 lies outside the names block (12 bytes)",
     "a name offset of 2^32 - 1, which wraps a 32-bit pointer sum")
def _():
    a = with_ok()
    a.refer(48, 4, U32 - 1)
    return a.build(), [a.kept(0, "keep/ok.txt")]


@row("names-empty.pak", 5, 5, 1, "entry 1: name offset 0 lies outside the names block (0 bytes)",
     "one entry and a names block of 0 bytes")
def _():
    a = Archive()
    a.blob += b"data"
    a.refer(48, 4, 0)
    return a.build(), []


@row("table-is-names.pak", 0, 0, 0, "1 files, 1 bytes",
     "the names block is the entry table itself: the data offset 48 reads as the name \"0\"")
def _():
    a = Archive()
    a.blob += b"Z"
    a.refer(48, 1, 0)
    table = a.table_offset()
    return a.build(names_offset=table, names_size=ENTRY.size, head_offset=table), \
        ["0@48+1"]


# --- File data out of reach ----------------------------------------------------

def far_data_row(file, offset, size, what):
    def make():
        a = with_ok()
        a.refer(offset, size, a.name(b"far.bin"))
        return a.build(), [a.kept(0, "keep/ok.txt"), "far.bin@0+0"]
    data = make()[0]
    CORPUS.append((file, 2, 2, 1, "entry 2 (far.bin): file data (offset %d, %d bytes) runs past "
                   "the end of the archive (%d bytes)" % (offset, size, len(data)), what, make))


far_data_row("data-offset-2p32.pak", U32 + 48, 5,
             "a file at 2^32 + 48: a memory stream cannot seek there, a file finds nothing")
far_data_row("data-offset-2p63.pak", 2**63, 5, "a file at 2^63")
far_data_row("data-offset-wraps.pak", U64 - 16, 32,
             "a file at 2^64 - 16 of 32 bytes: offset + size wraps around to 16")
far_data_row("data-offset-max.pak", U64 - 1, 2, "a file at 2^64 - 1")


@row("empty-files-far.pak", 0, 0, 1, "entry 2 (far.bin): file data (offset 18446744073709551615, "
     "0 bytes) runs past the end",
     "empty files at 2^64 - 1 and at 2^32: there is nothing to read, so they are written empty")
def _():
    a = with_ok()
    a.refer(U64 - 1, 0, a.name(b"far.bin"))
    a.refer(U32, 0, a.name(b"far2.bin"))
    return a.build(), [a.kept(0, "keep/ok.txt"), "far.bin@0+0", "far2.bin@0+0"]


def short_data(file, size, stored, what):
    """A file whose bytes end the archive early; a sound file comes after it
    in table order and must still be written."""
    def make():
        a = with_ok()
        short = a.refer(0, size, a.name(b"short.bin"))
        after = a.add(b"after.txt", AFTER_BYTES)
        a.entries[short][0] = a.trailer_offset()
        whole = stored // 512 * 512
        return a.build(trailer=pattern(stored)), [
            a.kept(0, "keep/ok.txt"), a.kept(short, "short.bin", whole),
            a.kept(after, "after.txt")]
    data = make()[0]
    offset = len(data) - stored
    CORPUS.append((file, 2, 2, 1, "entry 2 (short.bin): file data (offset %d, %d bytes) runs past "
                   "the end" % (offset, size), what, make))


short_data("data-past-end.pak", 1000, 700,
           "a file claiming 1000 bytes where 700 are left: it keeps its one whole piece")
short_data("size-4g-minus-1.pak", U32 - 1, 1500,
           "a file claiming 4 GiB - 1 bytes where 1500 are left: it keeps two whole pieces")


@row("overlapping.pak", 0, 0, 0, "5 files, 52 bytes",
     "files sharing bytes, one inside another, one empty, and a later one stored earlier")
def _():
    a = Archive()
    first = a.add(b"a.bin", pattern(20))
    kept = [a.kept(first, "a.bin")]
    for name, start, size in ((b"b.bin", 53, 10), (b"c.bin", 48, 20), (b"sub\\d.bin", 60, 0),
                              (b"e.bin", 50, 2)):
        index = a.refer(start, size, a.name(name))
        kept.append(a.kept(index, name.decode().replace("\\", "/")))
    return a.build(), kept


@row("many-duplicates.pak", 0, 0, 0, "5000 files, 27 bytes",
     "5,000 entries of one name, the first and last with bytes: the last one wins")
def _():
    # The empty ones in between keep it quick: a file system may flush a file
    # that is truncated and rewritten on every close.
    a = Archive()
    a.add(b"dup\\same.txt", b"earlier\n")
    for _ in range(4998):
        a.refer(48, 0, 0)
    last = a.refer(56, 19, 0)
    a.blob += b"last one wins here\n"
    return a.build(), [a.kept(last, "dup/same.txt")]


# --- Names that would leave the destination or are no file -------------------

bad_name_row("dotdot-back.pak", b"..\\escaped.txt", "'..' first, with '\\'")
bad_name_row("dotdot-slash.pak", b"../escaped.txt", "'..' first, with '/'")
bad_name_row("dotdot-middle.pak", b"sub\\..\\..\\escaped.txt",
             "'..' after a folder, climbing one level above the destination")
bad_name_row("dotdot-deep.pak", b"sub/../../../../escaped.txt",
             "'..' climbing %d levels, mixed into a '/' path" % (MAX_CLIMB - 1))
bad_name_row("dotdot-trailing.pak", b"sub\\..", "'..' as the last component")
bad_name_row("dotdot-only.pak", b"..", "the name '..' alone")
bad_name_row("leading-backslash.pak", b"\\rooted.txt", "a name starting with '\\'")
bad_name_row("leading-slash.pak", b"/rooted.txt", "a name starting with '/'")
bad_name_row("drive-absolute.pak", b"C:\\escaped.txt", "a drive with a root: C:\\x")
bad_name_row("drive-relative.pak", b"C:escaped.txt", "a drive without a root: C:x")
bad_name_row("stream.pak", b"keep\\ok.txt:evil",
             "an alternate data stream of the file written just before")
bad_name_row("name-empty.pak", b"", "an empty name", says="entry 2: name is empty")
bad_name_row("trailing-separator.pak", b"folder\\", "a name ending in '\\': a folder, no file")
bad_name_row("dots-three.pak", b"...\\escaped.txt", "'...', which Windows reads as '..'")
bad_name_row("dotdot-space.pak", b".. \\escaped.txt", "'.. ', which Windows reads as '..'")
bad_name_row("dot-space-last.pak", b"sub\\. ", "'. ' as the last component: the folder itself")
bad_name_row("device-con.pak", b"CON", "the console device")
bad_name_row("device-extension.pak", b"nul.txt", "NUL with an extension")
bad_name_row("device-folder.pak", b"sub\\com1\\x.txt", "COM1 as a folder")
bad_name_row("device-spaced.pak", b"LPT9  .log", "LPT9 with spaces before the extension")
bad_name_row("device-conin.pak", b"sub/CONIN$", "CONIN$ as the last component")


@row("double-separator.pak", 0, 0, 0, "2 files, 40 bytes",
     "a name with an empty middle component: two separators in a row mean one")
def _():
    a = with_ok()
    b = a.add(b"a\\\\b.txt", b"second")
    return a.build(), [a.kept(0, "keep/ok.txt"), a.kept(b, "a/b.txt")]


@row("wildcard.pak", 0, 5, 1, "\"what?.txt\": the name holds '?'",
     "a name holding '?': a POSIX file system takes it, Windows does not")
def _():
    a = with_ok(b"what?.txt")
    return a.build(), [a.kept(0, "keep/ok.txt")]


# --- The 1,023-character path limit ---------------------------------------------

def long_row(file, length, native, win32, what):
    def make():
        a = with_ok(long_name(length))
        return a.build(), [a.kept(0, "keep/ok.txt")]
    CORPUS.append((file, native, win32, 1, "%d characters, more than the 160" % length, what,
                   make))


long_row("name-1023.pak", PATH_LIMIT, 5, 5,
         "a name of 1,023 characters: with any destination the path passes 1,023")
long_row("path-fits.pak", PATH_LIMIT - DESTINATION_LENGTH - 1, 0, 5,
         "a name that, joined to a %d-character destination, makes exactly 1,023 characters, "
         "which Windows' ANSI functions refuse (they stop at 259)" % DESTINATION_LENGTH)
long_row("path-overflows.pak", PATH_LIMIT - DESTINATION_LENGTH, 5, 5,
         "a name that, joined to a %d-character destination, makes 1,024 characters"
         % DESTINATION_LENGTH)


# --- Seeds for the fuzzers: small, valid, varied ----------------------------

def seeds():
    empty = Archive()

    one = Archive()
    one.add(b"readme.txt", b"Orvantis III patch\r\n")

    tree = Archive()
    for name, content in ((b"data\\maps\\north.map", pattern(1000)), (b"data\\empty.dat", b""),
                          (b"data/forward/slash.txt", b"slash\n"),
                          (b"scripts\\piece.lua", pattern(512)), (b"one.bin", b"\x01")):
        tree.add(name, content)

    shared = Archive()
    shared.add(b"same.txt", b"first")
    shared.add(b"other.bin", pattern(300))
    shared.refer(49, 200, shared.name(b"inside.bin"))
    shared.refer(48, 5, 0)
    shared.entries.reverse()

    names_last = Archive()
    names_last.add(b"a\\b\\c.txt", b"names and table before the data")
    names_last.add(b"d.txt", b"")
    return {
        "empty.pak": empty.build(),
        "one-file.pak": one.build(),
        "tree.pak": tree.build(),
        "shared-and-unsorted.pak": shared.build(),
        # The header's fields are the only pointers: any order of the parts works.
        "table-first.pak": table_first(names_last),
    }


def table_first(a):
    """The same archive with the table and names placed before the data: laid
    out as an archive with no entries whose data is the table."""
    shift = ENTRY.size * len(a.entries) + len(a.names)
    table = b"".join(ENTRY.pack(offset + shift, size, name, length, 32, 0)
                     for offset, size, name, length in a.entries)
    return patch_archive.layout([], a.names, table, trailer=a.blob, table_size=len(table),
                                table_offset=HEADER.size)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main(argv):
    tests = argv[0] if argv else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    corpus = os.path.join(tests, "hostile", "corpus")
    seed_dir = os.path.join(tests, "fuzz", "seeds")
    for folder in (corpus, seed_dir):
        os.makedirs(folder, exist_ok=True)
        for old in os.listdir(folder):
            if old.endswith(".pak"):
                os.remove(os.path.join(folder, old))

    lines = ["# destination_length=%d" % DESTINATION_LENGTH,
             "# file\tnative\twin32\tlist\tlist_says\tkept\twhat"]
    seen = set()
    for file, native, win32, list_status, says, what, make in CORPUS:
        assert file not in seen, file
        seen.add(file)
        data, kept = make()
        assert len(data) <= 200 * 1024, file
        for field in (says, what, *kept):
            assert not any(c in field for c in "\t\n;"), field
        write(os.path.join(corpus, file), data)
        lines.append("\t".join([file, str(native), str(win32), str(list_status), says,
                                ";".join(kept), what]))
    with open(os.path.join(tests, "hostile", "corpus.tsv"), "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")

    for file, data in seeds().items():
        assert len(data) <= 4096, file
        write(os.path.join(seed_dir, file), data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
