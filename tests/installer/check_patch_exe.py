#!/usr/bin/python3
"""Checks of a built Patch.exe: a 32-bit GUI program with no manifest, timestamp
or foreign DLL, its resources as designed (decompiled by windres), its archive,
its size without it, no build paths; that a fresh build elsewhere gives the same
bytes; and signing, with a throwaway certificate (IDENTITY/signer.pem, .p12 and
password.txt).

  check_patch_exe.py --exe EXE --archive FILE --objdump OBJDUMP --windres WINDRES
                     --version X.YY.ZZZ [--forbid TEXT]... [--bundle ZIP Bundle] PatchExe
  check_patch_exe.py --exe EXE --archive FILE --source DIR --identity DIR [--cmake-arg ARG]...
                     [--signed EXE --unsigned EXE] Builds[.test_...]
"""
import argparse
import calendar
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import read, resource  # noqa: E402

ARGS = None
DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
        "comctl32.dll", "msvcrt.dll"}
BUNDLE = ["Patch-stub.exe", "README.txt", "patchpack", "patchpack.exe"]
# What QA needs to set up a test machine from the bundle alone.
KEYS = ["Software\\Kestrova\\Orvantis 3",
        "Software\\Kestrova\\Kestrova Launcher\\Games\\Orvantis 3"]
README = ["HKEY_CURRENT_USER", '"InstallPath"'] + ['"%s"' % key for key in KEYS] + [
    'reg add "HKCU\\%s" /v InstallPath /t REG_SZ /d "C:\\Games\\Orvantis III" /f' % KEYS[0],
    '  wine reg add "HKCU\\%s" /v InstallPath' % KEYS[0],
    "mkdir -p signed", '-n "Orvantis III Patch" -in Patch.exe -out signed/Patch.exe']
# The design, as windres writes it back (see the file's head).
RESOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "patch-exe-resources.txt")


def commas(version):
    """The version block's form of a version: 1.00.001 is 1, 0, 0, 1."""
    major, minor, build = version.split(".")
    return "%d, %d, %d, %d" % (int(major), int(minor[0]), int(minor[1]), int(build))


class PatchExe(unittest.TestCase):
    def test_32_bit_gui_program_with_no_timestamp_or_foreign_dll(self):
        pe = pefile.PE(ARGS.exe, fast_load=True)
        self.assertEqual((pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic,
                          pe.OPTIONAL_HEADER.Subsystem, pe.FILE_HEADER.TimeDateStamp),
                         (0x14C, 0x10B, 2, 0))
        self.assertEqual(pe.FILE_HEADER.Characteristics & 0x2002, 0x0002, "an executable, no DLL")
        dump = subprocess.run([ARGS.objdump, "-p", ARGS.exe], check=True, capture_output=True,
                              text=True).stdout
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertIn("kernel32.dll", dlls)
        self.assertEqual(dlls - DLLS, set())

    def test_resources_are_the_design_and_nothing_more(self):
        with open(RESOURCES, encoding="utf-8") as f:
            expected = f.read().splitlines()
        rc = subprocess.run([ARGS.windres, "-i", ARGS.exe, "-O", "rc"], check=True,
                            capture_output=True, text=True).stdout
        lines = [line.strip() for line in re.sub(r"/\*.*?\*/", "", rc, flags=re.S).splitlines()]
        # Less the bytes of the archive, of its check and of the icon's image.
        data = re.compile(r"0x|L?\"(?!\\040)")
        self.assertEqual([line for line in lines if line and not data.match(line)],
                         [line.format(text=ARGS.version, commas=commas(ARGS.version))
                          for line in expected if not line.startswith("# ")])

    def test_archive_stub_size_and_no_build_paths(self):
        pe, data = pefile.PE(ARGS.exe), read(ARGS.exe)
        entry = resource(pe, "BINARY")
        start = pe.get_offset_from_rva(entry.OffsetToData)
        self.assertTrue(data[start:start + entry.Size] == read(ARGS.archive), "the archive differs")
        stub = data[:start] + data[start + entry.Size:]
        print("\nstub: %d bytes" % len(stub), file=sys.stderr)
        self.assertLessEqual(len(stub), 40 * 1024)
        for text in ARGS.forbid:
            for encoded in (text.encode(), text.encode("utf-16-le")):
                self.assertNotIn(encoded, stub, text)


class Bundle(unittest.TestCase):
    """What a studio unpacks: the tools, the stub, and a README.txt that
    says how to set up a machine to test a patch on."""

    def test_the_tools_and_where_the_installer_looks_for_the_game(self):
        top = os.path.basename(ARGS.bundle)[:-len(".zip")]
        with zipfile.ZipFile(ARGS.bundle) as bundle:
            self.assertEqual(sorted(bundle.namelist()), [top + "/" + name for name in BUNDLE])
            readme = bundle.read(top + "/README.txt").decode()
        for said in README:
            self.assertIn(said, readme)


class Builds(unittest.TestCase):
    """A fresh build elsewhere, and signing."""

    def test_a_fresh_signed_build_gives_the_same_program_and_signs_a_copy(self):
        # The sample archive's own bytes are pinned by the tools' tests.
        when, work = int(time.time()) - 1, tempfile.mkdtemp(prefix="patch-build-")
        for command in (["cmake", "-S", ARGS.source, "-B", work, "-DPATCH_BUILD_TESTS=OFF",
                         "-DPATCH_ARCHIVE=" + ARGS.archive, "-DPATCH_SIGN_TIME=%d" % when,
                         "-DPATCH_SIGN_PKCS12=%s/signer.p12" % ARGS.identity,
                         "-DPATCH_SIGN_PASSWORD_FILE=%s/password.txt" % ARGS.identity]
                        + ARGS.cmake_arg, ["cmake", "--build", work, "-j2"]):
            subprocess.run(command, check=True)
        self.assertEqual(read(work + "/installer/Patch.exe"), read(ARGS.exe), "not the same bytes")
        check_signed(self, work + "/installer/signed/Patch.exe", ARGS.exe, when)
        shutil.rmtree(work)

    def test_a_signed_variant(self):
        check_signed(self, ARGS.signed, ARGS.unsigned)


def verify(exe, *options):
    done = subprocess.run(["osslsigncode", "verify", "-in", exe, *options], text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return done.returncode, done.stdout


def check_signed(case, signed, unsigned_path, when=None):
    """It verifies with the issuing certificate only (SHA-256, the product's
    description, no timestamp server); it is the unsigned file plus the
    certificate table, which removing the signature gives back; a changed byte
    is caught."""
    data, unsigned, cert = read(signed), read(unsigned_path), ARGS.identity + "/signer.pem"
    pe = struct.unpack_from("<I", unsigned, 0x3C)[0]
    table_at = pe + 24 + 96 + 4 * 8  # data directory 4: the certificate table
    case.assertEqual(struct.unpack_from("<II", unsigned, table_at), (0, 0))
    code, out = verify(signed, "-CAfile", cert)
    case.assertEqual(code, 0, out)
    for phrase in ("Signature verification: ok", "Text description: Orvantis III Patch",
                   "Timestamp is not available"):
        case.assertIn(phrase, out)
    case.assertRegex(out, r"Message digest algorithm\s*:\s*SHA256")
    if when is not None:
        found = re.search(r"Signing time: (\w+ +\d+ [\d:]+ \d+) GMT", out).group(1)
        case.assertEqual(calendar.timegm(time.strptime(found, "%b %d %H:%M:%S %Y")), when)
    case.assertNotEqual(verify(signed)[0], 0, "another issuer verifies it")
    offset, size = struct.unpack_from("<II", data, table_at)
    case.assertEqual((offset, offset + size), (len(unsigned), len(data)), "the table ends the file")

    def masked(b):  # all but the checksum and the table's entry
        b = bytearray(b[:len(unsigned)])
        b[pe + 88:pe + 92], b[table_at:table_at + 8] = bytes(4), bytes(8)
        return b
    case.assertEqual(masked(data), masked(unsigned), "no other byte of the unsigned file changed")
    with tempfile.TemporaryDirectory() as scratch:
        out = scratch + "/out.exe"
        subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", out])
        case.assertEqual(read(out), unsigned, "removing the signature gives the bytes back")
        for at in (len(unsigned) // 3, len(unsigned) - 1, offset + size // 2):
            with open(out, "wb") as f:
                f.write(data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:])
            case.assertNotEqual(verify(out, "-CAfile", cert)[0], 0, "byte %d changed" % at)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("exe", "archive", "objdump", "windres", "source", "identity", "signed",
                   "unsigned", "version", "bundle"):
        parser.add_argument("--" + option)
    parser.add_argument("--forbid", action="append", default=[])
    parser.add_argument("--cmake-arg", action="append", default=[])
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)
