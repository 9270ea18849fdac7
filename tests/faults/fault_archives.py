#!/usr/bin/env python3
"""The patch archives that the fault tests install.

  fault_archives.py NAME OUT    writes archive NAME (disk_full, interrupted)

Each archive is a list of (name, bytes) in table order.
"""
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import write  # noqa: E402

PIECE = 512

# The file-size limit Patch.exe runs under. Not a multiple of the 512-byte
# piece, so the piece that crosses it is seen to go in part.
FILE_SIZE_LIMIT = 37 * PIECE + 300


def blob(seed, size):
    return random.Random(seed).randbytes(size)


def disk_full_files(limit):
    """Files under, at and over `limit`, before and after the first one that
    reaches it (hit\\over.bin)."""
    sizes = [
        ("before\\notes.txt", 700),
        ("before\\at_limit.bin", limit),
        ("hit\\over.bin", 2 * limit + 1000),
        ("after\\small.bin", 1500),
        ("after\\empty.dat", 0),
        ("after\\at_limit.bin", limit),
        ("after\\over.bin", limit + 1),
        ("after\\tail.txt", 300),
    ]
    return [(name, blob("%s %d" % (name, limit), size)) for name, size in sizes]


def interrupted_files():
    """Large files, where a kill lands, between small and empty ones."""
    sizes = [
        ("readme.txt", 120),
        ("data\\first.bin", 700 * 1024 + 5),
        ("data\\settings.cfg", 300),
        ("data\\maps\\second.map", 1200 * 1024 + 77),
        ("empty.dat", 0),
        ("third.bin", 900 * 1024 + 3),
        ("sounds\\fourth.snd", 1500 * 1024 + 311),
        ("notes.txt", 2000),
        ("fifth.bin", 1000 * 1024 + 1),
        ("last\\final.bin", 600 * 1024 + 9),
    ]
    return [(name, blob(name, size)) for name, size in sizes]


ARCHIVES = {
    "disk_full": lambda: disk_full_files(FILE_SIZE_LIMIT),
    "interrupted": interrupted_files,
}


def main(argv):
    if len(argv) != 2 or argv[0] not in ARCHIVES:
        sys.stderr.write(__doc__)
        return 2
    write(argv[1], ARCHIVES[argv[0]]())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
