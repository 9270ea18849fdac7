#!/usr/bin/env python3
"""The archive layout, written and read without the project's code, and the
archives the Windows tests build Patch.exe variants around.

  patch_archive.py NAME OUT                  writes archive NAME (see ARCHIVES)
  patch_archive.py cut EXE ARCHIVE OUT BYTES  Patch.exe carrying ARCHIVE cut short
  patch_archive.py flip EXE OUT               Patch.exe with a byte of its archive flipped
"""
import os
import random
import struct
import sys

HEADER = struct.Struct("<IIQIIQIIQ")
ENTRY = struct.Struct("<QIIIIQ")


def layout(entries, names=b"", data=b"", trailer=b"", **fields):
    """Header, data, names, table, trailer. Each entry is (data offset, size,
    name offset[, name length[, entry word, entry tail]]); `fields` replace the
    header's, by name."""
    at = HEADER.size + len(data)
    table = b"".join(ENTRY.pack(*e, *(0, 32, 0)[len(e) - 3:]) for e in entries)
    header = dict(head_word=1, head_size=0, head_offset=at, table_word=32, table_size=len(table),
                  table_offset=at + len(names), names_word=0, names_size=len(names),
                  names_offset=at)
    assert set(fields) <= set(header), fields
    header.update(fields)
    return HEADER.pack(*header.values()) + bytes(data) + bytes(names) + table + bytes(trailer)


class Archive:
    """Files in table order; `entries` stay open to change before build()."""

    def __init__(self, files=()):
        self.blob, self.names, self.entries = bytearray(), bytearray(), []
        for name, content in files:
            self.add(name, content)

    def name(self, name):
        offset = len(self.names)
        self.names += (name.encode("latin-1") if isinstance(name, str) else name) + b"\0"
        return offset

    def add(self, name, content=b""):
        self.entries.append([HEADER.size + len(self.blob), len(content), self.name(name),
                             len(name) + 1])
        self.blob += content
        return len(self.entries) - 1

    def refer(self, data_offset, size, name_offset):
        self.entries.append([data_offset, size, name_offset, 0])
        return len(self.entries) - 1

    def trailer_offset(self):
        return HEADER.size + len(self.blob) + len(self.names) + ENTRY.size * len(self.entries)

    def build(self, trailer=b"", **fields):
        return layout(self.entries, self.names, self.blob, trailer, **fields)


def installed(data):
    """{name with '\\': bytes} an install of the archive leaves, the last entry
    of a name winning; a file cut short keeps its whole 512-byte pieces."""
    header = HEADER.unpack_from(data)
    names = data[header[8]:header[8] + header[7]]
    files = {}
    for i in range(header[4] // ENTRY.size):
        offset, size, name = ENTRY.unpack_from(data, header[5] + ENTRY.size * i)[:3]
        stored = data[offset:offset + size]
        if len(stored) < size:
            stored = stored[:len(stored) // 512 * 512]
        files[names[name:names.index(b"\0", name)].decode("latin-1").replace("/", "\\")] = stored
    return files


def read(path):
    with open(path, "rb") as f:
        return f.read()


def files_under(root):
    """{path relative to root, with '/': bytes} of every file under root."""
    return {os.path.relpath(os.path.join(f, n), root): read(os.path.join(f, n))
            for f, _, names in os.walk(root) for n in names}


def blobs(seed, sizes):
    rng = random.Random(seed)
    return [(name, rng.randbytes(size)) for name, size in sizes]


SMALL = blobs(3, [("readme.txt", 25), ("empty.dat", 0), ("data\\one.bin", 1000),
                  ("data\\exactly512.bin", 512), ("data\\maps\\deep\\level 01.map", 70000),
                  ("data/forward/slash.txt", 30), ("replaced\\readonly.cfg", 333),
                  ("replaced\\hidden.cfg", 4097), ("held\\locked.dat", 20000)]
              + [("pack\\file%02d.bin" % i, 97 * i + 1) for i in range(24)]
              + [("last\\final.bin", 2000)])
# Large files between small and empty ones: where a full disk or a kill lands.
BIG = blobs(5, [("readme.txt", 120), ("data\\first.bin", 700 * 1024 + 5),
                ("data\\settings.cfg", 300), ("data\\maps\\second.map", 1200 * 1024 + 77),
                ("empty.dat", 0), ("third.bin", 900 * 1024 + 3),
                ("sounds\\fourth.snd", 1500 * 1024 + 311), ("notes.txt", 2000)])


def short(cut=700):
    """SMALL, but the last file's bytes end the archive 700 bytes early (with
    cut=0, whole: what goes into a Patch.exe around SMALL, of its length, then
    cut, as patchpack build takes only the layout it writes)."""
    archive = Archive(SMALL[:-1])
    name, content = SMALL[-1]
    archive.entries[archive.add(name)][:2] = [archive.trailer_offset(), len(content)]
    return archive.build(trailer=content[:len(content) - cut])


def resource(pe, kind):
    """The directory entry of a program's one resource of type kind."""
    (entry,) = [lang.data.struct for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if str(t.name) ==
                kind for n in t.directory.entries for lang in n.directory.entries]
    return entry


def cut_resource(exe, archive, out, cut):
    """Patch.exe whose archive resource, replaced by one of its length, ends cut
    bytes early, and with no check of it, as programs were built before they
    carried one: the extractor meets the end."""
    import pefile
    pe = pefile.PE(exe)
    entry = resource(pe, "BINARY")
    data = read(archive)
    assert len(data) == entry.Size, "the archive replaced must have its length"
    pe.set_bytes_at_rva(entry.OffsetToData, data)
    entry.Size -= cut
    (check,) = [t for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if str(t.name) == "CRC32"]
    # Renamed CRC3X: still after BINARY, as the loader's search wants names sorted.
    name = pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress + check.struct.NameOffset
    pe.set_bytes_at_rva(name + 2 + 2 * 4, b"X")
    pe.write(out)


def flip_byte(exe, out):
    """Patch.exe with the byte in the middle of its archive flipped, as a bad
    download would leave it: in the middle of a file's data."""
    import pefile
    pe = pefile.PE(exe)
    entry = resource(pe, "BINARY")
    at = entry.OffsetToData + entry.Size // 2
    pe.set_bytes_at_rva(at, bytes([pe.get_data(at, 1)[0] ^ 0xFF]))
    pe.write(out)


# "empty" holds one empty file: patchpack build refuses an archive of none.
ARCHIVES = {"empty": lambda: Archive([("readme.txt", b"")]).build(), "small": lambda: Archive(SMALL).build(),
            "short": short, "whole_short": lambda: short(0), "big": lambda: Archive(BIG).build()}

if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "cut":
        sys.exit(cut_resource(*sys.argv[2:5], int(sys.argv[5])))
    if len(sys.argv) == 4 and sys.argv[1] == "flip":
        sys.exit(flip_byte(sys.argv[2], sys.argv[3]))
    if len(sys.argv) != 3 or sys.argv[1] not in ARCHIVES:
        sys.exit(__doc__)
    with open(sys.argv[2], "wb") as f:
        f.write(ARCHIVES[sys.argv[1]]())
