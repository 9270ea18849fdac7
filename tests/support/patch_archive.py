#!/usr/bin/env python3
"""Writes the carried archive's layout for the tests, without the project's
code, so that they do not depend on what they test.

  patch_archive.py OUT    writes an archive with no files (a 48-byte header)

An archive is a 48-byte header, the files' bytes, a block of NUL-terminated
names and a table of 32-byte entries; integers are little-endian.
"""
import struct
import sys

HEADER = struct.Struct("<IIQIIQIIQ")
ENTRY = struct.Struct("<QIIIIQ")


def layout(entries, names=b"", data=b"", trailer=b"", **fields):
    """Header, data, names, table, trailer. Each entry is (data offset, size,
    name offset[, name length]); `fields` replace the header's, by name."""
    names_offset = HEADER.size + len(data)
    table = b"".join(ENTRY.pack(e[0], e[1], e[2], e[3] if len(e) > 3 else 0, 32, 0)
                     for e in entries)
    header = dict(head_word=1, head_size=0, head_offset=names_offset, table_word=32,
                  table_size=len(table), table_offset=names_offset + len(names), names_word=0,
                  names_size=len(names), names_offset=names_offset)
    unknown = set(fields) - set(header)
    if unknown:
        raise TypeError("no header fields %s" % sorted(unknown))
    header.update(fields)
    return HEADER.pack(*header.values()) + bytes(data) + bytes(names) + table + bytes(trailer)


class Archive:
    """Files added in table order; `entries` are [data offset, size, name
    offset, name length], open to change before build()."""

    def __init__(self, files=()):
        self.blob = bytearray()  # file data, from offset 48
        self.names = bytearray()
        self.entries = []
        for name, content in files:
            self.add(name, content)

    def name(self, name):
        """Stores a name (str or bytes); returns its offset."""
        offset = len(self.names)
        self.names += (name.encode("ascii") if isinstance(name, str) else name) + b"\0"
        return offset

    def add(self, name, content=b""):
        """Appends a file; returns its entry's index."""
        offset = HEADER.size + len(self.blob)
        self.blob += content
        self.entries.append([offset, len(content), self.name(name), len(name) + 1])
        return len(self.entries) - 1

    def refer(self, data_offset, size, name_offset):
        """An entry over bytes and a name already stored."""
        self.entries.append([data_offset, size, name_offset, 0])
        return len(self.entries) - 1

    def names_offset(self):
        return HEADER.size + len(self.blob)

    def table_offset(self):
        return self.names_offset() + len(self.names)

    def trailer_offset(self):
        """Where build's trailer starts."""
        return self.table_offset() + ENTRY.size * len(self.entries)

    def build(self, trailer=b"", **fields):
        return layout(self.entries, self.names, self.blob, trailer, **fields)


def write(path, files=()):
    """Writes the archive of (name, bytes) files."""
    with open(path, "wb") as f:
        f.write(Archive(files).build())


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    write(sys.argv[1])
