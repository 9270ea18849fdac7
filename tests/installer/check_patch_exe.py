#!/usr/bin/python3
"""Static checks of a built Patch.exe: PE header, resources, size and imports.

    check_patch_exe.py --exe Patch.exe --archive patch.pak --objdump OBJDUMP
                       [--forbid TEXT]... [unittest arguments, e.g. -k Dialog]

Every expected value below is the program's design, written out by hand; the
checks read the executable with pefile and a parser of their own for the
dialog template and the string table.
"""

import argparse
import functools
import os
import re
import struct
import subprocess
import sys
import unittest

import pefile

RUSSIAN = 0x0419
STUB_LIMIT = 40 * 1024

RT_ICON = 3
RT_DIALOG = 5
RT_STRING = 6
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

# Window styles, spelled out so that the expectations read like the design.
WS_POPUP = 0x80000000
WS_CHILD = 0x40000000
WS_VISIBLE = 0x10000000
WS_DISABLED = 0x08000000
WS_CAPTION = 0x00C00000
WS_BORDER = 0x00800000
WS_SYSMENU = 0x00080000
WS_GROUP = 0x00020000
WS_TABSTOP = 0x00010000
WS_MINIMIZEBOX = 0x00020000
DS_CENTER = 0x0800
DS_SETFOREGROUND = 0x0200
DS_MODALFRAME = 0x0080
DS_SETFONT = 0x0040
DS_FIXEDSYS = 0x0008
WS_EX_APPWINDOW = 0x00040000
WS_EX_RIGHT = 0x00001000
BS_DEFPUSHBUTTON = 0x0001
ES_AUTOHSCROLL = 0x0080

# Predefined window classes are stored as ordinals.
BUTTON, EDIT, STATIC = 0x80, 0x81, 0x82

CHILD = WS_CHILD | WS_VISIBLE
# (id, class, text, (x, y, cx, cy), style, extended style), in template order.
CONTROLS = [
    (1003, BUTTON, "&Install", (7, 94, 50, 14), CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, 0),
    (2, BUTTON, "E&xit", (69, 94, 50, 14), CHILD | WS_TABSTOP, 0),
    (-1, STATIC,
     "The Patch Installer has found that the Orvantis III is installed in the following folder:",
     (7, 7, 253, 16), CHILD | WS_GROUP, 0),
    (1001, EDIT, "", (7, 26, 232, 14), CHILD | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0),
    (1002, BUTTON, "...", (240, 26, 20, 14), CHILD | WS_TABSTOP, 0),
    (1004, STATIC, "Version: unknown", (142, 100, 118, 8), CHILD | WS_DISABLED | WS_GROUP,
     WS_EX_RIGHT),
    (1009, STATIC,
     "If you want to install the patch to a different location, change the path above.",
     (7, 44, 253, 19), CHILD | WS_GROUP, 0),
    (1008, STATIC,
     "To start installation, click Install button. To quit, click the Exit button.",
     (7, 65, 253, 8), CHILD | WS_GROUP, 0),
    (1007, "msctls_progress32", "", (7, 80, 253, 8), CHILD | WS_BORDER, 0),
]

STRINGS = {
    103: "Please wait while the patch installer copies new files to the target folder...",
    104: "Version: 1.00.001",
    105: "Patch is installed successfully.",
    106: "Cannot open file.",
    107: "Error reading file.",
    108: "Error writting file.",
    109: "Insufficient memory to complete requested operation.",
    110: "Cannot create file.",
    111: "Unknown error.",
    112: "Patch installed successfully.",
    113: "Orvantis III Patch",
}

VERSION_STRINGS = {
    "FileDescription": "Orvantis III Patch",
    "FileVersion": "1, 0, 0, 1",
    "InternalName": "Patch",
    "OriginalFilename": "Patch.exe",
    "ProductName": " Orvantis III",
    "ProductVersion": "1, 0, 0, 1",
}

ALLOWED_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
    "comctl32.dll", "msvcrt.dll",
}

ARGS = None


class Reader:
    """Reads little-endian fields and UTF-16 strings from a resource's bytes."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.pos
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        value = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return value

    def name_or_ordinal(self):
        first = struct.unpack_from("<H", self.data, self.pos)[0]
        if first == 0:
            self.pos += 2
            return None
        if first == 0xFFFF:
            self.pos += 2
            return self.take("H")
        return self.text()

    def align(self, size):
        self.pos = (self.pos + size - 1) // size * size


def parse_dialog(data):
    r = Reader(data)
    version, signature = r.take("HH")
    if (version, signature) != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    dialog = {}
    dialog["help"], dialog["exstyle"], dialog["style"] = r.take("III")
    count = r.take("H")
    dialog["rect"] = r.take("hhhh")
    dialog["menu"] = r.name_or_ordinal()
    dialog["class"] = r.name_or_ordinal()
    dialog["caption"] = r.text()
    if dialog["style"] & DS_SETFONT:
        dialog["font"] = r.take("HHBB") + (r.text(),)
    controls = []
    for _ in range(count):
        r.align(4)
        help_id, exstyle, style = r.take("III")
        rect = r.take("hhhh")
        control_id = r.take("i")
        window_class = r.name_or_ordinal()
        title = r.name_or_ordinal()
        extra = r.take("H")
        r.pos += extra
        controls.append({"id": control_id, "class": window_class, "text": title or "",
                         "rect": rect, "style": style, "exstyle": exstyle, "help": help_id})
    dialog["controls"] = controls
    dialog["trailing"] = len(data) - r.pos
    return dialog


def parse_string_block(block_id, data):
    r = Reader(data)
    strings = {}
    for index in range(16):
        length = r.take("H")
        text = data[r.pos:r.pos + 2 * length].decode("utf-16-le")
        r.pos += 2 * length
        if length:
            strings[(block_id - 1) * 16 + index] = text
    return strings


class PatchExe:
    """The executable's bytes, PE headers and resources by (type, name, language)."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        self.pe = pefile.PE(data=self.data)
        self.resources = {}
        if not hasattr(self.pe, "DIRECTORY_ENTRY_RESOURCE"):
            return
        for type_entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            rtype = str(type_entry.name) if type_entry.name is not None else type_entry.id
            for name_entry in type_entry.directory.entries:
                rname = str(name_entry.name) if name_entry.name is not None else name_entry.id
                for lang_entry in name_entry.directory.entries:
                    entry = lang_entry.data.struct
                    raw = self.pe.get_data(entry.OffsetToData, entry.Size)
                    self.resources[(rtype, rname, lang_entry.id)] = (raw, entry)

    def of_type(self, rtype):
        return {(n, l): v[0] for (t, n, l), v in self.resources.items() if t == rtype}

    def file_range(self, key):
        """(start, end) of a resource's bytes within the file."""
        entry = self.resources[key][1]
        start = self.pe.get_offset_from_rva(entry.OffsetToData)
        return start, start + entry.Size


@functools.cache
def exe():
    return PatchExe(ARGS.exe)


class PeFormat(unittest.TestCase):
    def test_32_bit_gui_program(self):
        pe = exe().pe
        self.assertEqual(pe.FILE_HEADER.Machine, 0x14C, "i386")
        self.assertEqual(pe.OPTIONAL_HEADER.Magic, 0x10B, "PE32")
        self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, 2, "Windows GUI subsystem")
        self.assertTrue(pe.FILE_HEADER.Characteristics & 0x0002, "executable image")
        self.assertFalse(pe.FILE_HEADER.Characteristics & 0x2000, "not a DLL")

    def test_no_manifest(self):
        manifests = [k for k in exe().resources if k[0] == RT_MANIFEST]
        self.assertEqual(manifests, [])

    def test_no_timestamp(self):
        self.assertEqual(exe().pe.FILE_HEADER.TimeDateStamp, 0)


class Dialog(unittest.TestCase):
    def setUp(self):
        dialogs = exe().of_type(RT_DIALOG)
        self.assertEqual(list(dialogs), [(1005, RUSSIAN)], "one dialog, 1005, in Russian")
        self.dialog = parse_dialog(dialogs[(1005, RUSSIAN)])

    def test_frame(self):
        d = self.dialog
        self.assertEqual(d["style"], WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU
                         | WS_MINIMIZEBOX | DS_CENTER | DS_SETFOREGROUND | DS_MODALFRAME
                         | DS_SETFONT | DS_FIXEDSYS)
        self.assertEqual(d["exstyle"], WS_EX_APPWINDOW)
        self.assertEqual(d["help"], 0)
        self.assertEqual(d["rect"], (0, 0, 267, 115))
        self.assertIsNone(d["menu"])
        self.assertIsNone(d["class"])
        self.assertEqual(d["caption"], "Orvantis III patch")

    def test_font(self):
        # Point size, weight, italic, DEFAULT_CHARSET, typeface.
        self.assertEqual(self.dialog["font"], (8, 400, 0, 1, "MS Shell Dlg"))

    def test_controls(self):
        controls = self.dialog["controls"]
        self.assertEqual([c["id"] for c in controls], [c[0] for c in CONTROLS])
        for control, (cid, cls, text, rect, style, exstyle) in zip(controls, CONTROLS):
            with self.subTest(id=cid):
                if isinstance(cls, str):
                    # Class names are matched without regard to case.
                    self.assertIsInstance(control["class"], str)
                    self.assertEqual(control["class"].lower(), cls)
                else:
                    self.assertEqual(control["class"], cls)
                self.assertEqual(control["text"], text)
                self.assertEqual(control["rect"], rect)
                self.assertEqual(hex(control["style"]), hex(style))
                self.assertEqual(hex(control["exstyle"]), hex(exstyle))
                self.assertEqual(control["help"], 0)

    def test_nothing_after_the_last_control(self):
        self.assertLess(self.dialog["trailing"], 4)


class StringTable(unittest.TestCase):
    def test_strings(self):
        blocks = exe().of_type(RT_STRING)
        self.assertTrue(blocks)
        self.assertEqual({lang for _, lang in blocks}, {RUSSIAN})
        strings = {}
        for (block_id, _), data in blocks.items():
            strings.update(parse_string_block(block_id, data))
        self.assertEqual(strings, STRINGS)


class VersionBlock(unittest.TestCase):
    def setUp(self):
        self.pe = exe().pe
        self.assertTrue(hasattr(self.pe, "VS_FIXEDFILEINFO"), "a version block")

    def test_fixed_part(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0x00000001))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS),
                         (0x00010000, 0x00000001))
        self.assertEqual(fixed.FileOS, 0x00000004, "VOS__WINDOWS32")
        self.assertEqual(fixed.FileType, 0x00000001, "VFT_APP")

    def test_string_tables(self):
        tables = {}
        translations = []
        for info in self.pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    tables[table.LangID.decode()] = {k.decode(): v.decode()
                                                     for k, v in table.entries.items()}
            elif info.Key == b"VarFileInfo":
                for var in info.Var:
                    translations.append(var.entry)
        self.assertEqual(sorted(tables), ["000004b0", "041904b0"])
        self.assertEqual(tables["000004b0"], tables["041904b0"], "the same entries in both")
        entries = tables["041904b0"]
        for key, value in VERSION_STRINGS.items():
            self.assertEqual(entries.get(key), value, key)
        self.assertTrue(entries.get("CompanyName"), "a company name")
        self.assertTrue(entries.get("LegalCopyright"), "a legal line")
        self.assertEqual(translations, [{b"Translation": "0x0419 0x04b0"}])


class Icon(unittest.TestCase):
    def test_one_32x32_24_bit_image(self):
        groups = exe().of_type(RT_GROUP_ICON)
        self.assertEqual([name for name, _ in groups], [102])
        group = next(iter(groups.values()))
        reserved, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((reserved, kind, count), (0, 1, 1))
        width, height, colours, _, planes, bits, size, icon_id = struct.unpack_from(
            "<BBBBHHIH", group, 6)
        self.assertEqual((width, height, colours, planes, bits), (32, 32, 0, 1, 24))
        images = {name: data for (name, _), data in exe().of_type(RT_ICON).items()}
        self.assertIn(icon_id, images)
        image = images[icon_id]
        self.assertEqual(len(image), size)
        header, bi_width, bi_height, bi_planes, bi_bits = struct.unpack_from("<IiiHH", image)
        self.assertEqual((header, bi_width, bi_height, bi_planes, bi_bits), (40, 32, 64, 1, 24))
        # A 24-bit colour image plus its 1-bit mask, rows padded to 4 bytes.
        self.assertEqual(len(image), 40 + 32 * 32 * 3 + 32 * 4)


class ArchiveResource(unittest.TestCase):
    def test_equals_the_archive(self):
        binaries = exe().of_type("BINARY")
        self.assertEqual(list(binaries), [(105, RUSSIAN)], "one BINARY resource, 105, Russian")
        with open(ARGS.archive, "rb") as f:
            self.assertTrue(binaries[(105, RUSSIAN)] == f.read(),
                            "the BINARY resource differs from " + ARGS.archive)


class StubSize(unittest.TestCase):
    def test_within_40_kb(self):
        binary = exe().of_type("BINARY")[(105, RUSSIAN)]
        stub = len(exe().data) - len(binary)
        print(f"\nstub: {stub} bytes ({len(exe().data)} in all, archive {len(binary)})",
              file=sys.stderr)
        self.assertLessEqual(stub, STUB_LIMIT)


class Imports(unittest.TestCase):
    def test_only_system_dlls(self):
        dump = subprocess.run([ARGS.objdump, "-p", ARGS.exe], check=True, capture_output=True,
                              text=True).stdout
        dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
        self.assertIn("kernel32.dll", dlls, "the import table was read")
        self.assertEqual(dlls - ALLOWED_DLLS, set())


class NoBuildPaths(unittest.TestCase):
    def test_no_build_path_outside_the_archive(self):
        start, end = exe().file_range(("BINARY", 105, RUSSIAN))
        stub = exe().data[:start] + exe().data[end:]
        for text in ARGS.forbid:
            for encoded in (text.encode(), text.encode("utf-16-le")):
                self.assertNotIn(encoded, stub, text)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--archive", required=True)
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--forbid", action="append", default=[],
                        help="text that must not appear in the program outside its archive")
    ARGS, rest = parser.parse_known_args()
    ARGS.exe = os.path.abspath(ARGS.exe)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
