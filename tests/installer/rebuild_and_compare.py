#!/usr/bin/python3
"""Builds Patch.exe once more in a fresh folder and compares it with a built one.

    rebuild_and_compare.py --source DIR --build-dir DIR --exe FILE --target NAME
                           [--cmake-arg ARG]...

The fresh build lives at another path, so anything that depends on where a
build happens (paths, timestamps, file order) shows up as a difference. The
fresh folder is removed when the two agree and kept for inspection otherwise.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile


def run(command):
    print("+", " ".join(command), flush=True)
    subprocess.run(command, check=True, stdout=sys.stdout, stderr=sys.stderr)


def first_difference(a, b):
    for offset, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return offset
    return min(len(a), len(b))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--build-dir", required=True, help="the build that made --exe")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--target", required=True)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--cmake-arg", action="append", default=[])
    args = parser.parse_args()

    relative = os.path.relpath(os.path.abspath(args.exe), os.path.abspath(args.build_dir))
    with open(args.exe, "rb") as f:
        built = f.read()

    fresh = tempfile.mkdtemp(prefix="patch-rebuild-")
    run([args.cmake, "-S", args.source, "-B", fresh, "-DPATCH_BUILD_TESTS=OFF"] + args.cmake_arg)
    run([args.cmake, "--build", fresh, "--target", args.target, "--parallel", "2"])
    with open(os.path.join(fresh, relative), "rb") as f:
        rebuilt = f.read()

    if rebuilt != built:
        offset = first_difference(built, rebuilt)
        print(f"FAIL: {relative} differs from the fresh build at byte {offset:#x} "
              f"({len(built)} and {len(rebuilt)} bytes); fresh build kept in {fresh}")
        return 1
    shutil.rmtree(fresh)
    print(f"{relative}: {len(built)} bytes, identical in a fresh build")
    return 0


if __name__ == "__main__":
    sys.exit(main())
