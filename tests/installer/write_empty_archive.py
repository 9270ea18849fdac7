#!/usr/bin/python3
"""Writes an archive with no files: a 48-byte header and nothing else.

    write_empty_archive.py OUTPUT

The header is filled as an archive writer fills it for an empty payload: the
file data, the names block and the entry table all begin and end at 48.
"""

import struct
import sys

HEADER = struct.Struct("<IIQIIQIIQ")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: write_empty_archive.py OUTPUT")
    end = HEADER.size
    # headWord, headSize, headOffset, tableWord, tableSize, tableOffset,
    # namesWord, namesSize, namesOffset
    header = HEADER.pack(1, 0, end, 32, 0, end, 0, 0, end)
    with open(sys.argv[1], "wb") as out:
        out.write(header)


if __name__ == "__main__":
    main()
