#!/usr/bin/env python3
"""Writes the small patch archives that the end-to-end runs install.

make_archive.py OUT            a well-formed archive of a few dozen files
make_archive.py --short OUT    the same files, but the last one's bytes are
                               cut short: they sit at the very end of the
                               archive, so reading the whole entry runs past
                               the end

Written independently of the project's own tools so that the runs do not
depend on the code they test.
"""
import random
import struct
import sys

ENTRY_SIZE = 32
# The last file claims this many bytes more than the archive holds for it.
SHORT_BY = 700


def sample_files():
    rng = random.Random(3)

    def blob(n):
        return bytes(rng.getrandbits(8) for _ in range(n))

    files = [
        ("readme.txt", b"Orvantis III test patch\r\n"),
        ("empty.dat", b""),
        ("data\\one.bin", blob(1000)),
        ("data\\exactly512.bin", blob(512)),
        ("data\\maps\\deep\\level 01.map", blob(70000)),
        ("data/forward/slash.txt", b"separated by a forward slash\r\n"),
        ("replaced\\readonly.cfg", blob(333)),
        ("replaced\\hidden.cfg", blob(4097)),
        ("held\\locked.dat", blob(20000)),
    ]
    for i in range(24):
        files.append(("pack\\file%02d.bin" % i, blob(rng.randrange(1, 3000))))
    files.append(("last\\final.bin", blob(2000)))
    return files


def build(files, short):
    """Lays the archive out as the shipped one is: header, data, names,
    table; with `short`, the last file's (cut) bytes go after the table."""
    body = bytearray()
    offset = 48
    entries = []
    stored_last = None
    for i, (name, data) in enumerate(files):
        if short and i == len(files) - 1:
            stored_last = data[: len(data) - SHORT_BY]
            entries.append([None, len(data)])
            continue
        entries.append([offset + len(body), len(data)])
        body += data
    names = bytearray()
    name_offsets = []
    for name, _ in files:
        encoded = name.encode("ascii") + b"\0"
        name_offsets.append((len(names), len(encoded)))
        names += encoded
    names_offset = offset + len(body)
    table_offset = names_offset + len(names)
    table_size = ENTRY_SIZE * len(files)
    if short:
        entries[-1][0] = table_offset + table_size
    header = struct.pack(
        "<IIQIIQIIQ", 1, 0, names_offset, ENTRY_SIZE, table_size, table_offset, 0,
        len(names), names_offset)
    table = bytearray()
    for (data_offset, size), (name_offset, name_length) in zip(entries, name_offsets):
        table += struct.pack("<QIIIIQ", data_offset, size, name_offset, name_length, 32, 0)
    out = header + body + names + table
    if short:
        out += stored_last
    return bytes(out)


def main(argv):
    short = "--short" in argv
    paths = [a for a in argv if a != "--short"]
    if len(paths) != 1:
        sys.stderr.write(__doc__)
        return 2
    with open(paths[0], "wb") as f:
        f.write(build(sample_files(), short))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
