#!/usr/bin/python3
"""patchpack build, as a release engineer runs it on the installer's stub: the
program it writes keeps every byte of the stub but the archive and, with
--version, the version texts; what it refuses; the Windows build's patchpack
under Wine writing the same bytes; a signed stub.

  test_build.py --patchpack EXE --patchpack-exe EXE --wine-run SCRIPT --stub EXE
                --identity DIR --limit BYTES [unittest args]
"""
import collections
import os
import struct
import subprocess
import sys
import time
import zlib

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import SMALL, Archive, read  # noqa: E402
from tool_case import ARGS, ToolTest, main, run, tree, write  # noqa: E402

BINARY, CHECK = ("BINARY", 105, 0x419), ("CRC32", 105, 0x419)
VERSIONS = [(6, 7, 0x419), (16, 1, 0x419)]  # the string table holding it, the version block
TREE = {"readme.txt": b"patch notes\n", "data/maps/level.map": bytes(range(256)) * 41 + b"!",
        "empty.dat": b""}
# What build refuses, in a folder holding new/ (TREE), bad/, huge/, empty/, the
# archives below and a copy of the stub: its arguments, what it says, the stub
# it is given and the exit code ({patchpack} stands for the program itself).
Refusal = collections.namedtuple("Refusal", "args says stub code", defaults=(None, 1))
REFUSALS = [
    Refusal(["bad", "o.exe"], "device name"),
    Refusal(["huge", "o.exe"], "a Patch.exe can carry"),
    Refusal(["--archive", "short.pak", "o.exe"], "short.pak"),
    Refusal(["--archive", "out.pak", "o.exe"], "would be written outside the destination"),
    Refusal(["--archive", "zeros.pak", "o.exe"],
            "zeros.pak: not a patch archive: header word 0 where patchpack writes 1"),
    Refusal(["--version", "1.2.3", "new", "o.exe"], "X.YY.ZZZ", code=64),
    Refusal(["--version", "65536.00.001", "new", "o.exe"], "does not fit", code=64),
    Refusal(["--version", "", "new", "o.exe"], "--version \"\": not a version", code=64),
    Refusal(["--base", "new", "new", "o.exe"], "nothing to patch"),
    Refusal(["empty", "o.exe"], "empty: nothing to patch: the folder holds no files"),
    Refusal(["--archive", "empty.pak", "o.exe"], "nothing to patch: the archive holds no files"),
    Refusal(["new", "stub.exe"], "stub.exe: the program would replace the stub", "stub.exe"),
    Refusal(["new", "{patchpack}"], "the program would replace patchpack itself"),
    Refusal(["--archive", "a.pak", "./a.pak"], "the program would replace the archive it carries"),
    Refusal(["new", "new/o.exe"], "the program would lie inside the folder being packed"),
    Refusal(["--base", "bad", "--removed", "new/gone.txt", "new", "o.exe"],
            "the list of removed files would lie inside the new release's folder"),
    Refusal(["o.exe", "new"], "the operands look swapped", code=64),
]


def key(entry):
    return str(entry.name) if entry.name else entry.id


def resources(path):
    """{(type, name, language): bytes} of a program, and the program."""
    pe = pefile.PE(path)
    found = {(key(kind), key(name), lang.id): lang.data.struct
             for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries for name in kind.directory.entries
             for lang in name.directory.entries}
    return {k: pe.get_data(e.OffsetToData, e.Size) for k, e in found.items()}, pe


def hostile(stub, distinct, count=20000):
    """The stub with its resource directory in a new last section, in the shape
    that once took gigabytes: one 65,535-character name for the type and the
    name, and count data entries, of languages 0 to count - 1 or all 0."""
    pe, high, entries, name = pefile.PE(data=stub), 0x80000000, 64 + 8 * count, 64 + 24 * count
    va, optional = pe.OPTIONAL_HEADER.SizeOfImage, pe.OPTIONAL_HEADER.get_file_offset()
    rsrc = bytearray(struct.pack("<12xH2xII12xH2xII14xH", 1, high | name, high | 24, 1,
                                 high | name, high | 48, count))
    rsrc += b"".join(struct.pack("<II", i * distinct, entries + 16 * i) for i in range(count))
    rsrc += struct.pack("<II8x", va, 16) * count + b"\xff\xff" + "A".encode("utf-16-le") * 0xFFFF
    rsrc += bytes(-len(rsrc) % 0x1000)
    out, size = bytearray(stub) + rsrc, len(rsrc)
    header = pe.sections[-1].get_file_offset() + 40  # the free slot after the last one
    struct.pack_into("<8sIIII12xI", out, header, b".hostile", size, va, size, len(stub), 0x40000040)
    struct.pack_into("<H", out, pe.FILE_HEADER.get_file_offset() + 2, len(pe.sections) + 1)
    struct.pack_into("<I", out, optional + 56, va + size)
    struct.pack_into("<II", out, optional + 96 + 16, va, size)
    return out


def strings(pe):
    """{number: text} of a program's string tables."""
    return {i: text for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == 6
            for name in kind.directory.entries for i, text in name.directory.strings.items()}


class Build(ToolTest):
    def build(self, *args, stub=None, windows=False):
        program = [ARGS.wine_run, ARGS.patchpack_exe] if windows else None
        return run("build", "--stub", stub or ARGS.stub, *args, cwd=self.tmp, program=program)

    def test_the_stub_kept_but_the_archive_and_version(self):
        archive = self.pack(TREE, folder="new")
        said = self.ok(self.build("--version", "12.34.567", "new", "Patch.exe"))
        self.assertTrue(said.endswith(' it shows "Version: 12.34.567"\n'), said)
        stub, stub_pe = resources(ARGS.stub)
        got, pe = resources(self.path("Patch.exe"))
        self.assertEqual(got.pop(BINARY), read(archive))
        self.assertEqual(got.pop(CHECK), struct.pack("<I", zlib.crc32(read(archive))))
        for version in VERSIONS:
            got.pop(version)
        self.assertEqual(got, {k: v for k, v in stub.items() if k not in VERSIONS})
        self.assertEqual(strings(pe), {**strings(stub_pe), 104: "Version: 12.34.567"})
        fixed = pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
                          fixed.ProductVersionLS), (12 << 16 | 3, 4 << 16 | 567) * 2)
        self.assertEqual([(t.entries[b"FileVersion"], t.entries[b"ProductVersion"])
                          for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
                          for t in info.StringTable], [(b"12, 3, 4, 567",) * 2] * 2)
        # The relocations moved whole, the resources last, the sizes and checksum right.
        kept = [[(s.Name, s.get_data()) for s in p.sections if s.Name != b".rsrc\0\0\0"]
                for p in (stub_pe, pe)]
        self.assertEqual(kept[1], kept[0])
        self.assertEqual(pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size,
                         stub_pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size)
        self.assertEqual(pe.sections[-1].Name.rstrip(b"\0"), b".rsrc")
        last, align = pe.sections[-1], pe.OPTIONAL_HEADER.SectionAlignment
        self.assertEqual(pe.OPTIONAL_HEADER.SizeOfImage,
                         -(-(last.VirtualAddress + last.Misc_VirtualSize) // align) * align)
        self.assertTrue(pe.verify_checksum())

    def test_a_signed_stub_and_the_windows_build_give_the_same_program(self):
        signed, identity = self.path("signed-stub.exe"), ARGS.identity
        subprocess.run(["osslsigncode", "sign", "-pkcs12", identity + "/signer.p12", "-readpass",
                        identity + "/password.txt", "-in", ARGS.stub, "-out", signed], check=True,
                       capture_output=True)
        tree(self.path("old"), {"readme.txt": b"old notes\n", "empty.dat": b""})
        tree(self.path("new"), TREE)
        self.exits(self.build("--base", "old", "new", "from-signed.exe", stub=signed), 0,
                   "signed-stub.exe: warning: its signature is removed")
        # The Windows build's patchpack, under Wine, from the plain stub.
        said = self.ok(self.build("--base", "old", "new", "windows.exe", windows=True))
        self.assertEqual(read(self.path("windows.exe")), read(self.path("from-signed.exe")))
        self.assertTrue(said.endswith(' it shows "%s", the stub\'s (--version sets another)\n'
                                      % strings(resources(ARGS.stub)[1])[104]), said)

    def test_refusals_write_nothing(self):
        tree(self.path("new"), TREE)
        tree(self.path("bad"), {"con.txt": b"x"})
        tree(self.path("huge"), {"big.bin": ARGS.limit})
        os.makedirs(self.path("empty", "only", "folders"))
        for name, data in (("short.pak", Archive(SMALL).build()[:-40]), ("zeros.pak", bytes(64)),
                           ("out.pak", Archive([("..\\escaped.txt", b"x")]).build()),
                           ("empty.pak", Archive().build()), ("a.pak", Archive(SMALL).build()),
                           ("stub.exe", read(ARGS.stub))):
            write(self.path(name), data)
        stub, pe = read(ARGS.stub), resources(ARGS.stub)[1]
        optional = pe.OPTIONAL_HEADER.get_file_offset()
        (dialog,) = [n for t in pe.DIRECTORY_ENTRY_RESOURCE.entries
                     if t.id == 5 for n in t.directory.entries]
        (rsrc,) = [s.VirtualAddress for s in pe.sections if s.Name.startswith(b".rsrc")]
        # Each a stub with fields changed: its name, the fields, what build says.
        variants = [("console.exe", [("<H", optional + 68, 3)], "not a GUI program"),
                    ("wide.exe", [("<H", optional, 0x20B)], "64-bit"),
                    ("no-dialog.exe", [("<H", dialog.struct.get_file_offset(), 1006)],
                     "no dialog 1005"),
                    ("aligned.exe", [("<II", optional + 32, 1 << 30, 1 << 30)],
                     "file alignment 0x40000000"),
                    ("relocated.exe", [("<I", optional + 96 + 40, rsrc)],
                     "base relocations lie inside its resources")]
        rows = [Refusal(["new", "o.exe"], "not a Windows program", self.path("new", "readme.txt"))]
        variants += [("twins.exe", [], "is listed twice"), ("names.exe", [], "no dialog 1005")]
        for name, fields, says in variants:
            data = hostile(stub, name == "names.exe") if not fields else bytearray(stub)
            for layout, offset, *values in fields:
                struct.pack_into(layout, data, offset, *values)
            write(self.path(name), data)
            rows.append(Refusal(["new", "o.exe"], says, self.path(name)))
        for row in rows + REFUSALS:
            with self.subTest(args=row.args, says=row.says):
                start = time.monotonic()
                args = [a.format(patchpack=ARGS.patchpack) for a in row.args]
                self.refused(["build", "--stub", row.stub or ARGS.stub, *args], row.code,
                             row.says, cwd=self.tmp)
                self.assertLess(time.monotonic() - start, 10, "every refusal is quick")


if __name__ == "__main__":
    main()
