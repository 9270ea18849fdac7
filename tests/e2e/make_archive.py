#!/usr/bin/env python3
"""Writes the small patch archives that the end-to-end runs install.

make_archive.py OUT            a well-formed archive of a few dozen files
make_archive.py --short OUT    the same files, but the last one's bytes are
                               cut short: they sit at the very end of the
                               archive, so reading the whole entry runs past
                               the end
"""
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import Archive  # noqa: E402

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
    """With `short`, the last file's (cut) bytes go after the table."""
    if not short:
        return Archive(files).build()
    archive = Archive(files[:-1])
    name, data = files[-1]
    last = archive.add(name)
    archive.entries[last][:2] = [archive.trailer_offset(), len(data)]
    return archive.build(trailer=data[:-SHORT_BY])


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
