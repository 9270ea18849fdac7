#!/usr/bin/python3
"""Shows Patch.exe at work on a virtual screen, as a player would use it: types
a folder, installs, closes, and says how it went, with screenshots.

  scripts/demo.py --patch EXE --folder DIR --prefix DIR --wine-run SCRIPT --driver EXE --work DIR

It works the program through the end-to-end tests' driver and steps.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from test_e2e import EXIT, INSTALL, PATH, prepare, run, windows_path  # noqa: E402


def steps(player):
    shown = player.do("start", windows_path(player.args.patch))
    return ([["warning"]] if shown == "box" else []) + [
        ["tab", PATH], ["type", windows_path(player.dest)], ["shot", "ready"],
        ["click", INSTALL], ["finish", "success"], ["shot", "finished"], ["tab", EXIT],
        ["key", "space"], ["exits"]]


def main():
    parser = argparse.ArgumentParser()
    for option in ("patch", "folder", "prefix", "wine-run", "driver", "work"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    args.case = "demo"
    prepare(args)
    code = run(args, os.path.abspath(args.folder), None, steps)
    print("\nOutcome:     %s\nFolder:      %s\nScreenshots: %s" % (
        "FAILED (see above)" if code else "installed", args.folder,
        args.work))
    return code


if __name__ == "__main__":
    sys.exit(main())
