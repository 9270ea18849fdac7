#!/usr/bin/python3
"""patchpack build, as a release engineer runs it on the installer's stub: the
program it writes keeps every byte of the stub but the archive and, with
--version, the version texts; what it refuses; the Windows build's patchpack
under Wine writing the same bytes; a signed stub.

  test_build.py --patchpack EXE --patchpack-exe EXE --wine-run SCRIPT --stub EXE
                --identity DIR --limit BYTES [unittest args]
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import SMALL, Archive  # noqa: E402

ARGS = None
BINARY = ("BINARY", 105, 0x419)
TREE = {"readme.txt": b"patch notes\n", "data/maps/level.map": bytes(range(256)) * 41 + b"!",
        "empty.dat": b""}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tree(root, files):
    for name, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        with open(os.path.join(root, name), "wb") as f:
            f.truncate(data) if isinstance(data, int) else f.write(data)
    return root


def resources(path):
    """{(type, name, language): bytes} of a program, and the program."""
    pe, found = pefile.PE(path), {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                entry = lang.data.struct
                key = (str(kind.name) if kind.name else kind.id,
                       str(name.name) if name.name else name.id, lang.id)
                found[key] = pe.get_data(entry.OffsetToData, entry.Size)
    return found, pe


def strings(block):
    """The sixteen strings of a string table block."""
    found, at = [], 0
    while at < len(block):
        length = struct.unpack_from("<H", block, at)[0]
        found.append(block[at + 2:at + 2 + 2 * length].decode("utf-16-le"))
        at += 2 + 2 * length
    return found


def section(pe, name):
    (found,) = [s for s in pe.sections if s.Name.rstrip(b"\0") == name]
    return found


class Build(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def build(self, *args, program=None, stub=None):
        command = ([ARGS.wine_run, ARGS.patchpack_exe] if program == "exe" else [ARGS.patchpack])
        return subprocess.run(command + ["build", "--stub", stub or ARGS.stub, *args],
                              capture_output=True, text=True, cwd=self.tmp)

    def built(self, *args, **kwargs):
        done = self.build(*args, **kwargs)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done

    def test_the_stub_kept_but_the_archive_and_version(self):
        tree(self.path("new"), TREE)
        self.built("--version", "12.34.567", "new", "Patch.exe")
        subprocess.run([ARGS.patchpack, "create", self.path("a.pak"), self.path("new")], check=True)
        stub, stub_pe = resources(ARGS.stub)
        got, pe = resources(self.path("Patch.exe"))
        self.assertEqual(got.pop(BINARY), read(self.path("a.pak")))
        versions = {key: got.pop(key) for key in [(6, 7, 0x419), (16, 1, 0x419)]}
        self.assertEqual(got, {k: v for k, v in stub.items() if k not in versions})
        self.assertEqual(strings(versions[(6, 7, 0x419)])[104 % 16], "Version: 12.34.567")
        fixed = pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
                          fixed.ProductVersionLS), (12 << 16 | 3, 4 << 16 | 567) * 2)
        tables = [t for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
                  for t in info.StringTable]
        self.assertEqual(len(tables), 2)
        for table in tables:
            self.assertEqual((table.entries[b"FileVersion"], table.entries[b"ProductVersion"]),
                             (b"12, 3, 4, 567",) * 2)
        # The relocations moved whole, the resources last, the sizes and checksum right.
        self.assertEqual(section(pe, b".reloc").get_data(), section(stub_pe, b".reloc").get_data())
        self.assertEqual(pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size,
                         stub_pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size)
        self.assertEqual(pe.sections[-1].Name.rstrip(b"\0"), b".rsrc")
        last = pe.sections[-1]
        self.assertEqual(pe.OPTIONAL_HEADER.SizeOfImage,
                         -(-(last.VirtualAddress + last.Misc_VirtualSize)
                           // pe.OPTIONAL_HEADER.SectionAlignment)
                         * pe.OPTIONAL_HEADER.SectionAlignment)
        self.assertTrue(pe.verify_checksum())
        for old, new in zip(stub_pe.sections, pe.sections):
            if old.Name not in (b".rsrc\0\0\0", b".reloc\0\0"):
                self.assertEqual(old.get_data(), new.get_data(), old.Name)

    def test_windows_build_writes_the_same_bytes(self):
        tree(self.path("old"), {"readme.txt": b"old notes\n", "empty.dat": b""})
        tree(self.path("new"), TREE)
        self.built("--base", "old", "new", "native.exe")
        self.built("--base", "old", "new", "windows.exe", program="exe")
        self.assertEqual(read(self.path("windows.exe")), read(self.path("native.exe")))

    def test_a_signed_stub_loses_its_signature_saying_so(self):
        signed, identity = self.path("signed-stub.exe"), ARGS.identity
        subprocess.run(["osslsigncode", "sign", "-pkcs12", identity + "/signer.p12", "-readpass",
                        identity + "/password.txt", "-in", ARGS.stub, "-out", signed], check=True,
                       capture_output=True)
        tree(self.path("new"), TREE)
        done = self.built("new", "from-signed.exe", stub=signed)
        self.assertIn("signature is removed", done.stderr)
        self.built("new", "from-plain.exe")
        self.assertEqual(read(self.path("from-signed.exe")), read(self.path("from-plain.exe")))

    def test_refusals_write_nothing(self):
        tree(self.path("new"), TREE)
        tree(self.path("bad"), {"con.txt": b"x"})
        tree(self.path("huge"), {"big.bin": ARGS.limit})
        stub = bytearray(read(ARGS.stub))
        pe = struct.unpack_from("<I", stub, 0x3C)[0]

        def variant(name, offset, value, fmt="<H"):
            data = bytearray(stub)
            struct.pack_into(fmt, data, offset, value)
            with open(self.path(name), "wb") as f:
                f.write(data)
            return self.path(name)
        (dialog,) = [n for t in resources(ARGS.stub)[1].DIRECTORY_ENTRY_RESOURCE.entries
                     if t.id == 5 for n in t.directory.entries]
        no_dialog = variant("no-dialog.exe", dialog.struct.get_file_offset(), 1006)
        with open(self.path("short.pak"), "wb") as f:
            f.write(Archive(SMALL).build()[:-40])
        rows = [
            (["new", "o.exe"], self.path("new", "readme.txt"), "not a Windows program"),
            (["new", "o.exe"], variant("console.exe", pe + 24 + 68, 3), "not a GUI program"),
            (["new", "o.exe"], variant("wide.exe", pe + 24, 0x20B), "64-bit"),
            (["new", "o.exe"], no_dialog, "no dialog 1005"),
            (["bad", "o.exe"], None, "device name"),
            (["huge", "o.exe"], None, "a Patch.exe can carry"),
            (["--archive", "short.pak", "o.exe"], None, "short.pak"),
            (["--version", "1.2.3", "new", "o.exe"], None, "X.YY.ZZZ"),
            (["--version", "65536.00.001", "new", "o.exe"], None, "does not fit"),
            (["--base", "new", "new", "o.exe"], None, "nothing to patch"),
        ]
        for args, stub_file, says in rows:
            before = set(os.listdir(self.tmp))
            done = self.build(*args, stub=stub_file)
            self.assertIn(done.returncode, (1, 64), args)
            self.assertIn(says, done.stderr, args)
            self.assertEqual(set(os.listdir(self.tmp)), before, args)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("patchpack", "patchpack-exe", "wine-run", "stub", "identity"):
        parser.add_argument("--" + option)
    parser.add_argument("--limit", type=int)
    ARGS, rest = parser.parse_known_args()
    ARGS.limit += 1
    unittest.main(argv=[sys.argv[0]] + rest)
