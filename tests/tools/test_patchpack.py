"""Black-box tests of patchpack and sample-payload.

Run as: python3 test_patchpack.py --patchpack PATH --sample-payload PATH [--runner CMD] [unittest args]
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

PATCHPACK = None
SAMPLE_PAYLOAD = None
RUNNER = []

# What the shipped archive measures; the sample payload must reproduce it.
SAMPLE_FILES = 3927
SAMPLE_ARCHIVE_SIZE = 15955200
SAMPLE_DATA_END = 15639579
SAMPLE_NAMES_SIZE = 189957
SAMPLE_TABLE_OFFSET = 15829536
# The sample archive from every build on every platform.
SAMPLE_SHA256 = "b6eb178c798f881166b3b50af5c3daf218e1e28bbf25cb3bbe315f477ad01209"


def run(*args, cwd=None):
    return subprocess.run(RUNNER + [PATCHPACK, *args], cwd=cwd, capture_output=True,
                          text=True, errors="replace", timeout=300)


def write(path, data=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def parse(archive):
    """The archive's header and entries as (offset, size, name) read independently."""
    data = read(archive)
    header = HEADER.unpack_from(data, 0)
    table_size, table_offset = header[4], header[5]
    names_size, names_offset = header[7], header[8]
    names = data[names_offset:names_offset + names_size]
    entries = []
    for i in range(table_size // 32):
        fields = ENTRY.unpack_from(data, table_offset + 32 * i)
        end = names.index(b"\0", fields[2])
        entries.append((fields, names[fields[2]:end].decode("ascii")))
    return data, header, entries


class ToolTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.tmp = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def pack(self, files):
        """Packs `files` from p/ into a.pak, which it returns."""
        make_tree(self.path("p"), files)
        self.assertSucceeds(run("create", self.path("a.pak"), self.path("p")))
        return self.path("a.pak")

    def given(self, archive_bytes, command, *rest):
        """Runs `command` on x.pak holding the given bytes."""
        write(self.path("x.pak"), archive_bytes)
        return run(command, self.path("x.pak"), *rest)

    def assertFails(self, result, *fragments, code=None):
        if code is None:
            self.assertNotEqual(result.returncode, 0, result.stderr)
        else:
            self.assertEqual(result.returncode, code, result.stderr)
        for fragment in fragments:
            self.assertIn(fragment, result.stderr)
        for line in result.stderr.splitlines():
            self.assertTrue(line.startswith("patchpack: "), line)

    def assertSucceeds(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)
        return result


VARIED_TREE = {
    "readme.txt": b"patch notes\n",
    "empty.dat": b"",
    "one.bin": b"\x00",
    "data/piece.bin": bytes(range(256)) * 2,
    "data/piece_and_one.bin": bytes(range(256)) * 2 + b"!",
    "data/thousand.bin": bytes((i * 7) & 255 for i in range(1000)),
    "data/textures/stone/wall_01.dds": os.urandom(5000),
    "data/textures/stone/wall_02.dds": b"ab" * 4096,
    "data_extra/z.txt": b"underscore sorts after the separator",
    "maps/north/deep/deeper/deepest/level.map": b"\xff" * 3333,
    "Upper/Case.TXT": b"case kept",
}


def make_tree(root, files=VARIED_TREE):
    for name, data in files.items():
        write(os.path.join(root, name), data)


class RoundTrip(ToolTest):
    def test_create_list_extract_verify(self):
        archive, out = self.pack(VARIED_TREE), self.path("out")

        listed = self.assertSucceeds(run("list", archive)).stdout.splitlines()
        names = sorted(n.replace("/", "\\") for n in VARIED_TREE)
        self.assertEqual([line.split()[2] for line in listed[:-1]], names)
        total = sum(len(d) for d in VARIED_TREE.values())
        self.assertEqual(listed[-1], "%d files, %d bytes, archive %d bytes"
                         % (len(names), total, os.path.getsize(archive)))
        for line in listed[:-1]:
            size, offset, name = line.split()
            self.assertEqual(int(size), len(VARIED_TREE[name.replace("\\", "/")]))

        self.assertSucceeds(run("extract", archive, out))
        for name, data in VARIED_TREE.items():
            self.assertEqual(read(os.path.join(out, name)), data, name)
        self.assertIn("%d files match" % len(names),
                      self.assertSucceeds(run("verify", archive, out)).stdout)

    def test_layout_is_the_carried_one(self):
        data, header, entries = parse(self.pack(VARIED_TREE))
        names = [name for _, name in entries]
        self.assertEqual(names, sorted(names, key=lambda n: n.encode()))
        data_end = 48 + sum(len(d) for d in VARIED_TREE.values())
        names_size = sum(len(n) + 1 for n in names)
        self.assertEqual(header, (1, 0, data_end, 32, 32 * len(names), data_end + names_size,
                                  0, names_size, data_end))
        self.assertEqual(len(data), data_end + names_size + 32 * len(names))
        offset, name_offset = 48, 0
        for fields, name in entries:
            self.assertEqual(fields, (offset, len(VARIED_TREE[name.replace("\\", "/")]),
                                      name_offset, len(name) + 1, 32, 0))
            self.assertEqual(data[offset:offset + fields[1]],
                             VARIED_TREE[name.replace("\\", "/")])
            offset += fields[1]
            name_offset += len(name) + 1
        self.assertEqual(data[data_end:data_end + names_size],
                         b"".join(n.encode() + b"\0" for n in names))

    def test_same_tree_gives_identical_archives(self):
        first, second = self.path("one"), self.path("two")
        make_tree(first)
        # Created in the opposite order, so the folder lists differ.
        for name in reversed(list(VARIED_TREE)):
            write(os.path.join(second, name), VARIED_TREE[name])
        os.utime(os.path.join(second, "readme.txt"), (1, 1))
        self.assertSucceeds(run("create", self.path("1.pak"), first))
        self.assertSucceeds(run("create", self.path("2.pak"), second))
        self.assertEqual(read(self.path("1.pak")), read(self.path("2.pak")))

    def test_empty_folder_gives_empty_archive(self):
        os.makedirs(self.path("empty", "only", "folders"))
        self.assertSucceeds(run("create", self.path("e.pak"), self.path("empty")))
        self.assertEqual(read(self.path("e.pak")),
                         HEADER.pack(1, 0, 48, 32, 0, 48, 0, 0, 48))
        self.assertIn("0 files, 0 bytes, archive 48 bytes",
                      self.assertSucceeds(run("list", self.path("e.pak"))).stdout)

    def test_replaces_an_existing_archive(self):
        write(self.path("a.pak"), b"old contents" * 1000)
        self.assertEqual(parse(self.pack({"a.txt": b"new"}))[2][0][1], "a.txt")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["a.pak", "p"])


class CreateRefusals(ToolTest):
    def refuse(self, bad, fragment, make=None, named=None):
        """Packs a tree holding one good file and a bad one; the run must fail
        naming the bad file (or the folder named), and leave the old archive and
        no temporary file."""
        payload = self.path("payload")
        write(os.path.join(payload, "good.txt"), b"good")
        if make is None:
            write(os.path.join(payload, bad), b"bad")
        else:
            make(os.path.join(payload, bad))
        write(self.path("out", "a.pak"), b"previous archive")
        result = run("create", self.path("out", "a.pak"), payload)
        shown = (named or bad).encode("utf-8", "surrogateescape")
        shown = "".join(chr(c) if 0x20 <= c < 0x7F else "\\x%02x" % c for c in shown)
        self.assertFails(result, shown, fragment)
        self.assertEqual(os.listdir(self.path("out")), ["a.pak"])
        self.assertEqual(read(self.path("out", "a.pak")), b"previous archive")
        self._tmp.cleanup()
        os.makedirs(self.tmp)

    def test_characters_windows_forbids(self):
        for c in '<>:"|?*':
            with self.subTest(c=c):
                self.refuse("a%sb.txt" % c, "holds '%s', which Windows forbids" % c)
        for c in "\x01\x1f\x7f":
            with self.subTest(c=c):
                self.refuse("x%sy" % c, "control character 0x%02x" % ord(c))
        self.refuse("data/a\\b.txt", "holds '\\', the archive's folder separator")

    def test_names_not_plain_ascii(self):
        self.refuse("caf\u00e9.txt", "not plain ASCII")
        self.refuse("d\u00e4ta/a.txt", "not plain ASCII", named="payload/d\u00e4ta:")
        self.refuse(os.fsdecode(b"raw\xff"), "not plain ASCII")

    def test_trailing_dots_and_spaces(self):
        self.refuse("name.", "ends in a dot")
        self.refuse("name ", "ends in a space")
        self.refuse("folder./a.txt", "ends in a dot", named="payload/folder.:")
        self.refuse("folder /a.txt", "ends in a space", named="payload/folder :")

    def test_device_names(self):
        for name in ["CON", "prn.txt", "Aux.dat", "nul", "COM1", "com9.log", "LPT1",
                     "lpt9.x.y", "nul .txt"]:
            with self.subTest(name=name):
                self.refuse(name, "device name")
        self.refuse("data/con/a.txt", "device name", named="payload/data/con:")

    def test_device_like_names_are_accepted(self):
        self.pack({"CONSOLE.txt": b"", "COM10": b"", "LPT10": b"", "nulls": b"", "a.con": b""})

    def test_names_differing_only_in_case(self):
        def pair(path):
            write(path, b"1")
            write(os.path.join(os.path.dirname(path), "readme.TXT"), b"2")
        self.refuse("readme.txt", "differs only in letter case", make=pair)

        def file_and_folder(path):
            write(path, b"1")
            write(os.path.join(os.path.dirname(path), "DATA", "x.txt"), b"2")
        self.refuse("data", "same name as the folder", make=file_and_folder)

    def test_pair_is_named_both_ways(self):
        make_tree(self.path("p"), {"Maps/a.map": b"1", "maps/A.MAP": b"2"})
        result = run("create", self.path("a.pak"), self.path("p"))
        self.assertFails(result, "Maps/a.map", "maps/A.MAP")

    def test_name_length_limit(self):
        ok = "d" * 100 + "/" + "f" * 59
        self.assertEqual(len(parse(self.pack({ok: b"x"}))[2][0][1]), 160)
        self.refuse("d" * 100 + "/" + "f" * 60, "161 characters")

    def test_files_of_4_gib_or_more(self):
        def sparse(path):
            with open(path, "wb") as f:
                f.truncate(1 << 32)
        self.refuse("huge.bin", "under 4 GiB", make=sparse)

    def test_file_just_under_4_gib_passes_the_size_check(self):
        # Packing it would write 4 GiB: stop at the check by also refusing a name.
        payload = self.path("payload")
        write(os.path.join(payload, "bad:name"))
        with open(os.path.join(payload, "big.bin"), "wb") as f:
            f.truncate((1 << 32) - 1)
        result = run("create", self.path("a.pak"), payload)
        self.assertFails(result, "bad:name", "1 file refused")
        self.assertNotIn("big.bin", result.stderr)

    def test_what_is_neither_file_nor_folder(self):
        self.refuse("link", "symbolic link", make=lambda p: os.symlink("good.txt", p))
        self.refuse("dirlink", "symbolic link",
                    make=lambda p: os.symlink(os.path.dirname(p), p))
        self.refuse("pipe", "FIFO", make=os.mkfifo)

        def unix_socket(path):
            s = socket.socket(socket.AF_UNIX)
            s.bind(path)
            s.close()
        self.refuse("sock", "socket", make=unix_socket)
        if os.geteuid() == 0:
            self.refuse("dev", "device",
                        make=lambda p: os.mknod(p, stat.S_IFCHR | 0o600, os.makedev(1, 3)))

    def test_archive_inside_the_folder(self):
        make_tree(self.path("p"), {"a.txt": b"x"})
        self.assertFails(run("create", self.path("p", "a.pak"), self.path("p")), "inside")
        self.assertEqual(os.listdir(self.path("p")), ["a.txt"])

    def test_failed_write_leaves_nothing(self):
        make_tree(self.path("p"), {"a.txt": b"x"})
        self.assertFails(run("create", self.path("missing", "a.pak"), self.path("p")),
                         "missing")
        self.assertFalse(os.path.exists(self.path("missing")))


class ListReports(ToolTest):
    def assertReported(self, archive_bytes, *fragments):
        result = self.given(archive_bytes, "list")
        self.assertFails(result, self.path("x.pak"), *fragments, code=1)
        return result

    def test_header_problems(self):
        for size in (0, 1, 47):
            with self.subTest(size=size):
                self.assertReported(bytes(size), "too short", "(%d bytes)" % size)
        self.assertReported(layout([], b"", table_size=33), "33 is not a multiple of 32")

    def test_blocks_running_past_the_end(self):
        names = b"a\0"
        good = layout([(48, 1, 0)], names, b"x")
        size = len(good)
        self.assertSucceeds(self.given(good, "list"))
        self.assertReported(layout([(48, 1, 0)], names, b"x", table_offset=size - 31),
                            "entry table", "runs past the end", "(%d bytes)" % size)
        self.assertReported(layout([(48, 1, 0)], names, b"x", names_size=size - 48),
                            "names block", "runs past the end")
        # Offsets near 2^64 must not wrap around into range.
        for offset in (2**64 - 1, 2**64 - 32, 2**63):
            with self.subTest(offset=offset):
                self.assertReported(layout([(48, 1, 0)], names, b"x",
                                                  table_offset=offset), "entry table")
                self.assertReported(layout([(48, 1, 0)], names, b"x",
                                                  names_offset=offset), "names block")

    def test_file_data_running_past_the_end(self):
        names = b"a\0b\0"
        for offset, size in ((48, 100), (2**64 - 1, 2), (2**64 - 8, 0xFFFFFFFF), (10**6, 0)):
            with self.subTest(offset=offset, size=size):
                result = self.assertReported(
                    layout([(48, 1, 0), (offset, size, 2)], names, b"x"),
                    "entry 2 (b): file data (offset %d, %d bytes) runs past the end"
                    % (offset, size))
                self.assertNotIn("entry 1", result.stderr)

    def test_bad_names(self):
        data = b"xy"
        self.assertReported(layout([(48, 1, 0), (49, 1, 4)], b"a\0b\0", data),
                            "entry 2: name offset 4 lies outside the names block (4 bytes)")
        self.assertReported(layout([(48, 1, 0), (49, 1, 2)], b"a\0bc", data),
                            "entry 2: name at offset 2 is not NUL-terminated")
        self.assertReported(layout([(48, 1, 0)], b"\0", data[:1]), "name is empty")
        for name in (b"..\\evil", b"\\root", b"c:\\x", b"a\\CON\\b"):
            with self.subTest(name=name):
                self.assertReported(layout([(48, 1, 0)], name + b"\0", data[:1]),
                                    "outside the destination folder or to a device")

    def test_sound_but_unusual_layouts_pass(self):
        # Unsorted offsets, a shared name and data in any order are all valid.
        names = b"same\0same\0other\0"
        result = self.assertSucceeds(self.given(
            layout([(50, 2, 0), (48, 2, 5), (48, 4, 10)], names, b"abcd"), "list"))
        self.assertIn("3 files, 8 bytes", result.stdout)
        self.assertEqual(result.stderr, "")

    def test_names_windows_cannot_take(self):
        result = self.assertReported(layout([(48, 1, 0)], b"a\nforged\0", b"x"),
                                     "entry 1 (a\\x0aforged): \"a\\x0aforged\": the name holds "
                                     "control character 0x0a")
        self.assertEqual(len(result.stdout.splitlines()), 2)
        self.assertReported(layout([(48, 1, 0)], b"maps/x?\\a\0", b"x"),
                            "\"x?\": the name holds '?'")
        self.assertReported(layout([(48, 1, 0)], b"dir.\\a\0", b"x"), "ends in a dot")

    def test_missing_archive(self):
        self.assertFails(run("list", self.path("none.pak")), "none.pak", code=1)


class Verify(ToolTest):
    FILES = {"a.txt": b"alpha" * 300, "sub/b.bin": bytes(range(256)) * 300, "c": b""}

    def setUp(self):
        super().setUp()
        self.pack(self.FILES)

    def test_catches_each_difference(self):
        os.remove(self.path("p", "a.txt"))
        with open(self.path("p", "sub", "b.bin"), "r+b") as f:
            f.seek(70000)
            f.write(b"\xff")
        result = run("verify", self.path("a.pak"), self.path("p"))
        self.assertFails(result, "a.txt: missing", "b.bin: different: byte 70000",
                         "2 of 3 files do not match", code=1)
        self.assertNotIn("/c:", result.stderr)

    def test_shorter_and_longer(self):
        write(self.path("p", "a.txt"), b"alpha")
        write(self.path("p", "c"), b"more")
        self.assertFails(run("verify", self.path("a.pak"), self.path("p")),
                         "a.txt: shorter: 5 bytes where the archive has 1500",
                         "c: longer: 4 bytes where the archive has 0", code=1)

    def test_extra_files_are_not_looked_at(self):
        write(self.path("p", "extra.txt"), b"not in the archive")
        self.assertSucceeds(run("verify", self.path("a.pak"), self.path("p")))

    def test_last_entry_of_a_name_wins(self):
        archive = layout([(48, 3, 0), (51, 3, 0)], b"f\0", b"oldnew")
        write(self.path("d", "f"), b"new")
        self.assertSucceeds(self.given(archive, "verify", self.path("d")))
        write(self.path("d", "f"), b"old")
        self.assertFails(self.given(archive, "verify", self.path("d")), "different", code=1)

    def test_faulty_archive(self):
        self.assertFails(self.given(bytes(20), "verify", self.path("p")), "too short", code=1)


class Extract(ToolTest):
    def test_into_the_current_folder(self):
        archive = self.pack({"x/y.txt": b"why"})
        os.makedirs(self.path("cwd"))
        self.assertSucceeds(run("extract", archive, cwd=self.path("cwd")))
        self.assertEqual(read(self.path("cwd", "x", "y.txt")), b"why")

    def test_replaces_read_only_files(self):
        archive = self.pack({"r.txt": b"fresh"})
        write(self.path("out", "r.txt"), b"stale contents")
        os.chmod(self.path("out", "r.txt"), 0o444)
        self.assertSucceeds(run("extract", archive, self.path("out")))
        self.assertEqual(read(self.path("out", "r.txt")), b"fresh")

    def test_data_in_any_order(self):
        # Backward jumps, overlaps, gaps and pieces across the reader's 128 KiB
        # buffer: each file must still get exactly its own bytes.
        blob = bytes((i * 131 + (i >> 9)) & 255 for i in range(300000))
        spans = [(150000, 70000), (0, 1000), (131073, 3), (1, 0), (0, 1000), (131072, 1),
                 (131071, 5000), (299000, 1000), (131072 * 2 - 1, 2), (10, 131072 + 7)]
        names = b"".join(b"f%02d\0" % i for i in range(len(spans)))
        entries = [(48 + start, size, 4 * i) for i, (start, size) in enumerate(spans)]
        self.assertSucceeds(self.given(layout(entries, names, blob), "extract", self.path("out")))
        for i, (start, size) in enumerate(spans):
            self.assertEqual(read(self.path("out", "f%02d" % i)), blob[start:start + size], i)

    def test_create_failure_names_the_file_and_goes_on(self):
        archive = self.pack({"a.txt": b"1", "b.txt": b"2", "c.txt": b"3"})
        os.makedirs(self.path("out", "b.txt"))  # a folder where a file must go
        result = run("extract", archive, self.path("out"))
        self.assertFails(result, self.path("out") + "\\b.txt: cannot create it", code=5)
        self.assertIn("2 of 3 files written", result.stdout)
        self.assertEqual(read(self.path("out", "c.txt")), b"3")

    def test_short_file_data(self):
        # The second file claims more bytes than the archive has after it.
        result = self.given(layout([(48, 2, 0), (50, 600, 2)], b"a\0b\0", b"ok"), "extract",
                            self.path("out"))
        self.assertFails(result, "\\b: the archive ends before the file's bytes do", code=2)
        self.assertEqual(read(self.path("out", "a")), b"ok")

    def test_names_that_cannot_be_created(self):
        result = self.given(layout([(48, 1, 0), (49, 1, 9)], b"..\\evil\0\0ok\0", b"xy"),
                            "extract", self.path("out"))
        self.assertFails(result, "entry 1 (..\\evil): not created", code=5)
        self.assertEqual(read(self.path("out", "ok")), b"y")
        self.assertFalse(os.path.exists(self.path("evil")))

    def test_last_failure_sets_the_exit_code(self):
        result = self.given(layout([(48, 1, 0), (49, 900, 1)], b"\0b\0", b"xy"), "extract",
                            self.path("out"))
        self.assertFails(result, "entry 1: not created: name is empty", "\\b: the archive ends",
                         code=2)

    def test_unreadable_archives(self):
        self.assertFails(run("extract", self.path("none.pak"), self.path("out")),
                         "none.pak: cannot open it", code=1)
        self.assertFails(self.given(bytes(47), "extract", self.path("out")),
                         "cannot read it as an archive: too short", code=2)
        self.assertFails(self.given(layout([(48, 1, 0)], b"a\0", b"x", table_size=64), "extract",
                                    self.path("out")), "entry table", code=2)
        self.assertFalse(os.path.exists(self.path("out")))


class Sample(ToolTest):
    def test_sample_reproduces_the_shipped_figures(self):
        payload, archive = self.path("payload"), self.path("sample.pak")
        generated = subprocess.run(RUNNER + [SAMPLE_PAYLOAD, payload], capture_output=True,
                                   text=True, timeout=600)
        self.assertEqual(generated.returncode, 0, generated.stderr)
        self.assertSucceeds(run("create", archive, payload))
        data, header, entries = parse(archive)
        self.assertEqual(len(data), SAMPLE_ARCHIVE_SIZE)
        self.assertEqual(header, (1, 0, SAMPLE_DATA_END, 32, 32 * SAMPLE_FILES,
                                  SAMPLE_TABLE_OFFSET, 0, SAMPLE_NAMES_SIZE, SAMPLE_DATA_END))
        self.assertEqual(hashlib.sha256(data).hexdigest(), SAMPLE_SHA256)

        names = [name for _, name in entries]
        self.assertEqual(max(len(n) for n in names), 73)
        self.assertEqual(len({n.upper() for n in names}), SAMPLE_FILES)
        self.assertGreaterEqual(min(n.count("\\") for n in names if n.startswith("data")), 2)
        tops = {n.split("\\")[0] for n in names}
        self.assertTrue({"data", "sounds", "maps", "scripts"} <= tops, tops)

        sizes = sorted(fields[1] for fields, _ in entries)
        self.assertTrue(1 <= sizes.count(0) <= 10, sizes[:10])
        self.assertGreater(sum(1 for s in sizes if s < 8192), SAMPLE_FILES // 2)
        self.assertTrue(3 <= sum(1 for s in sizes if s >= 200000) <= 20)

        def ratio(suffix):
            picked = [f for f, n in entries if n.endswith(suffix) and f[1] > 1024][:20]
            raw = b"".join(data[f[0]:f[0] + f[1]] for f in picked)
            return len(zlib.compress(raw)) / len(raw)
        self.assertLess(ratio(".lua"), 0.5)
        self.assertGreater(ratio(".ogg"), 0.98)
        contents = {data[f[0]:f[0] + f[1]] for f, _ in entries if f[1] > 64}
        self.assertEqual(len(contents), sum(1 for s in sizes if s > 64))


def main():
    global PATCHPACK, SAMPLE_PAYLOAD, RUNNER
    parser = argparse.ArgumentParser()
    parser.add_argument("--patchpack", required=True)
    parser.add_argument("--sample-payload", required=True)
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    PATCHPACK = os.path.abspath(args.patchpack)
    SAMPLE_PAYLOAD = os.path.abspath(args.sample_payload)
    RUNNER = [args.runner] if args.runner else []
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
