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
import zlib

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import SMALL, Archive, read  # noqa: E402
from tool_case import ARGS, ToolTest, main, run, tree, write  # noqa: E402

BINARY, CHECK = ("BINARY", 105, 0x419), ("CRC32", 105, 0x419)
VERSIONS = [(6, 7, 0x419), (16, 1, 0x419)]  # the string table holding it, the version block
TREE = {"readme.txt": b"patch notes\n", "data/maps/level.map": bytes(range(256)) * 41 + b"!",
        "empty.dat": b""}
# What build refuses, in a folder holding new/ (TREE), bad/ and huge/: its
# arguments, what it says, the stub it is given and the exit code.
Refusal = collections.namedtuple("Refusal", "args says stub code", defaults=(None, 1))
REFUSALS = [
    Refusal(["bad", "o.exe"], "device name"),
    Refusal(["huge", "o.exe"], "a Patch.exe can carry"),
    Refusal(["--archive", "short.pak", "o.exe"], "short.pak"),
    Refusal(["--archive", "out.pak", "o.exe"], "would be written outside the destination"),
    Refusal(["--version", "1.2.3", "new", "o.exe"], "X.YY.ZZZ", code=64),
    Refusal(["--version", "65536.00.001", "new", "o.exe"], "does not fit", code=64),
    Refusal(["--base", "new", "new", "o.exe"], "nothing to patch"),
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
        self.ok(self.build("--version", "12.34.567", "new", "Patch.exe"))
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
        self.ok(self.build("--base", "old", "new", "windows.exe", windows=True))
        self.assertEqual(read(self.path("windows.exe")), read(self.path("from-signed.exe")))

    def test_refusals_write_nothing(self):
        tree(self.path("new"), TREE)
        tree(self.path("bad"), {"con.txt": b"x"})
        tree(self.path("huge"), {"big.bin": ARGS.limit})
        write(self.path("short.pak"), Archive(SMALL).build()[:-40])
        write(self.path("out.pak"), Archive([("..\\escaped.txt", b"x")]).build())
        stub = read(ARGS.stub)
        pe = struct.unpack_from("<I", stub, 0x3C)[0]
        (dialog,) = [n for t in resources(ARGS.stub)[1].DIRECTORY_ENTRY_RESOURCE.entries
                     if t.id == 5 for n in t.directory.entries]
        variants = [("console.exe", pe + 24 + 68, 3, "not a GUI program"),
                    ("wide.exe", pe + 24, 0x20B, "64-bit"),
                    ("no-dialog.exe", dialog.struct.get_file_offset(), 1006, "no dialog 1005")]
        rows = [Refusal(["new", "o.exe"], "not a Windows program", self.path("new", "readme.txt"))]
        for name, offset, value, says in variants:
            data = bytearray(stub)
            struct.pack_into("<H", data, offset, value)
            write(self.path(name), data)
            rows.append(Refusal(["new", "o.exe"], says, self.path(name)))
        for row in rows + REFUSALS:
            with self.subTest(args=row.args, says=row.says):
                self.refused(["build", "--stub", row.stub or ARGS.stub, *row.args], row.code,
                             row.says, cwd=self.tmp)


if __name__ == "__main__":
    main()
