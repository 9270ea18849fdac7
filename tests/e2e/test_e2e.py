#!/usr/bin/env python3
"""Patch.exe under Wine on a virtual screen, worked as a player works it: each
case of cases.txt is the player's actions and what they must see, carried out
through the driver (driver.cpp), then what must be on disk.

  test_e2e.py --prefix DIR --wine-run SCRIPT --driver EXE --work DIR --patches DIR
              --sample EXE=ARCHIVE --version X.YY.ZZZ [--codepage N] [CASE...]
--patches holds Patch-NAME.exe and NAME.pak for small, short, big and cyrillic.
"""
import argparse
import contextlib
import getpass
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "support"), os.path.join(HERE, "..", "..", "scripts")]
from patch_archive import files_under, installed, read  # noqa: E402
from wine_screen import (EXIT, INSTALL, INSTALLED, NOT_FOUND, PATH, Driver,  # noqa: E402
                         on_screen, screenshot, wine_env, windows_path)

READY = "To start installation, click Install button. To quit, click the Exit button."
WAIT = "Please wait while the patch installer copies new files to the target folder..."
BOXES = dict(success=INSTALLED, create="Cannot create file.",
             read="Error reading file.", write="Error writting file.")
HELD = "held\\locked.dat"
VERSIONED = "2.01.017"  # what Patch-versioned.exe was built with
# Wine takes the ANSI code page from the locale: one whose Windows uses each
# single-byte code page (patchpack refuses the others).
LOCALES = {874: "th_TH", 1250: "pl_PL", 1251: "ru_RU", 1252: "en_US", 1253: "el_GR",
           1254: "tr_TR", 1255: "he_IL", 1256: "ar_EG", 1257: "lt_LT", 1258: "vi_VN"}


def load_cases():
    """{name: (patch, first value, second value, steps)} from cases.txt."""
    cases, steps = {}, []
    with open(os.path.join(HERE, "cases.txt"), encoding="utf-8") as f:
        for line in f:
            if line[0].isspace() and line.strip():
                steps.append(line.strip())
            elif line.strip() and not line.startswith("#"):
                name, *head = line.split()
                steps = []
                cases[name] = (*head, steps)
    return cases


CASES = load_cases()


class Player:
    """The steps of the table, each a method; a failed check raises."""

    def __init__(self, args, dest, archive):
        self.args, self.dest, self.path = args, dest, ""
        self.files = installed(archive) if archive else {}
        env = wine_env(args.prefix, args.env["DISPLAY"])
        if args.ansi:
            locale = LOCALES[args.ansi] + ".UTF-8"
            env.update(LANG=locale, LC_ALL=locale)
        self.driver = Driver(args.driver, env, args.wine_run)
        self.do = self.driver.do

    def __getattr__(self, verb):  # tab, key, click, close, wait, release: the driver's own
        return lambda *words: self.do(verb, *words)

    def seen(self, *words, **wanted):
        fields = self.driver.fields(*words)
        for key, value in wanted.items():
            assert fields[key] == str(value), "%s: %r, not %r" % (key, fields[key], value)
        return fields

    def at(self, name):
        """Where a stored name lands: Windows reads it in its ANSI code page."""
        codec = "cp%d" % self.args.ansi if self.args.ansi else "latin-1"
        name = name.encode("latin-1").decode(codec)
        return os.path.join(self.dest, *name.replace("\\", "/").split("/"))

    # The player's actions and what they see.
    def start(self, how=None):
        """how: "box" when a message box must come first, else the folder to run in."""
        cwd = [] if how in (None, "box") else [how]
        shown = self.do("start", windows_path(self.args.patch), *cwd)
        assert shown == ("box" if how == "box" else "dialog"), "first window: " + shown
        self.path = self.seen("view")["path"] if shown == "dialog" else ""

    def ready(self, path=""):
        self.seen("view", path=path, cancel="E&xit", version="Version: " + self.args.shown,
                  status=READY,
                  enabled=1, states="11101", cancel_on=1)
        self.path = path

    def type(self, text=""):
        self.do("type", text)
        self.path = text

    def warning(self):
        self.seen("box", caption="Warning", text=NOT_FOUND, owned=1, ok=1,
                  others=0, icon=1, focus_in=1)
        self.key("enter")
        self.wait("gone")

    def finish(self, outcome, bar=None):
        """The final box and the dialog behind it, then the dialog once it is closed."""
        self.seen("box", caption="Orvantis III Patch", text=BOXES[outcome], owned=1, ok=1,
                  others=0, icon=0, focus_in=1)
        locked = dict(path=self.path, states="00010", cancel_on=1, range="0-100",
                      status="Patch installed successfully." if outcome == "success" else WAIT)
        during = self.seen("view", cancel="Stop", enabled=0, **locked)
        self.key("enter")
        self.wait("gone")
        self.wait(EXIT, "Close")
        if bar == "held":
            total = sum(map(len, self.files.values()))
            bar = (total - len(self.files[HELD])) * 100 // total
        self.seen("view", cancel="Close", enabled=1, focus=EXIT,
                  bar=during["bar"] if bar is None else bar, **locked)

    def close(self):
        self.tab(EXIT)
        self.key("space")
        self.exits()

    def titlebar_close(self):
        self.do("close")

    def exits(self):
        assert self.do("wait", "exit") == "0", "exit code"

    def shot(self, name):
        screen = os.path.join(self.args.work, "%s-%s.png" % (self.args.case, name))
        screenshot(self.args.env, screen)
        print("screenshot: " + screen)

    def browser(self):
        self.seen("browser", owned=1, dialog_enabled=0, focus_in=1)

    # What must be on disk.
    def installed(self, skip=None, cut=None, files=None):
        """Every file whole, but skip; from cut on (a full disk), what fitted: a
        start of each, cut's own short."""
        files = files or self.files
        names = list(files)
        whole = names.index(cut) if cut else len(names)
        for i, name in enumerate(names):
            held = read(self.at(name))
            if i < whole:
                assert name == skip or held == files[name], name + " differs from the archive"
            else:
                assert files[name].startswith(held) and (name != cut or held != files[name]), name

    def installed_before(self, last):
        self.installed(cut=last)

    def copy_release(self, name):
        shutil.copytree(os.path.join(self.args.patches, "releases", name), self.dest)

    def is_new(self):
        new = os.path.join(self.args.patches, "releases", "new")
        self.installed(files=files_under(new))

    def empty(self):
        assert not os.path.exists(self.dest), "the folder was created"

    def hold(self):
        os.makedirs(os.path.dirname(self.at(HELD)))
        with open(self.at(HELD), "wb") as f:
            f.write(b"held by another program")
        self.do("hold", windows_path(self.at(HELD)))

    def kept(self):
        assert read(self.at(HELD)) == b"held by another program", "the held file was changed"

    def root_untouched(self):
        for top in {name.split("\\")[0] for name in self.files}:
            assert not os.path.exists(os.path.join(self.args.prefix, "drive_c", top)), top


def run(args, case, dest, drive, archive):
    """The case's steps on the suite's screen."""
    _, first, second, steps = CASES[case]
    longest = "C:\\Games\\" + "Orvantis III\\" * 80
    values = dict(dest=drive, cwd="C:\\e2e-cwd",
                  desktop="C:\\users\\%s\\Desktop" % getpass.getuser(),
                  long1022=longest[:1022], long1023=longest[:1023])
    os.makedirs(os.path.join(args.prefix, "drive_c", "e2e-cwd"), exist_ok=True)
    keys = ["" if k == '""' else k.format(**values) for k in (first, second)]
    steps = [["keys"] + keys] + [[w.format(**values) for w in s.split(" ")]
                                 for s in " ".join(steps).split(" | ")]
    player = Player(args, dest, read(archive))
    try:
        for verb, *words in steps:
            print("step: %s %s" % (verb, " ".join(words)), flush=True)
            getattr(player, verb)(*words)
        return 0
    except AssertionError as failure:
        print("FAIL: %s" % failure)
        return 1
    finally:
        player.driver.close()


@contextlib.contextmanager
def small_disk(args, folder):
    """A 1 MiB tmpfs at folder, Wine's drive T:; yields the drive's root."""
    os.makedirs(folder)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", folder], check=True)
    drive = os.path.join(args.prefix, "dosdevices", "t:")
    if os.path.lexists(drive):
        os.remove(drive)
    os.symlink(folder, drive)
    try:
        yield "T:"
    finally:
        os.remove(drive)
        subprocess.run(["umount", folder], check=True)


def run_case(args, case):
    dest = os.path.join(args.work, case, "Orvantis III")
    shutil.rmtree(os.path.dirname(dest), ignore_errors=True)
    which = CASES[case][0]
    args.shown = VERSIONED if which == "versioned" else args.version
    args.ansi = {"cyrillic": 1251, "sample": int(args.codepage or 0)}.get(which, 0)
    if args.ansi and args.ansi not in LOCALES:
        print("FAIL: %s: no locale known for code page %d" % (case, args.ansi))
        return 1
    args.case, args.patch = case, os.path.join(args.patches, "Patch-%s.exe" % which)
    built = "small" if which in ("versioned", "flipped") else which
    archive = os.path.join(args.patches, built + ".pak")
    if which == "sample":
        args.patch, archive = args.sample.split("=")
    if not os.path.exists(archive):
        print("FAIL: %s: no %s" % (case, archive))
        return 1
    with contextlib.ExitStack() as stack:
        drive = windows_path(dest)
        if case == "disk_full":
            if os.geteuid() != 0:
                print("%s: skipped: mounting a small disk (tmpfs) needs root" % case)
                return 0
            drive = stack.enter_context(small_disk(args, os.path.dirname(dest) + "/disk"))
            dest = os.path.dirname(dest) + "/disk/Orvantis III"
            drive += "\\Orvantis III"
        return run(args, case, dest, drive, archive)


def main():
    parser = argparse.ArgumentParser()
    for option in ("prefix", "wine-run", "driver", "work", "patches", "sample", "version",
                   "codepage"):
        parser.add_argument("--" + option)
    # E2E_CASES (names, space-separated) narrows the default: where Wine is
    # emulated each case takes minutes, and ./test.sh runs a few there.
    parser.add_argument("cases", nargs="*",
                        default=os.environ.get("E2E_CASES", "").split() or list(CASES))
    args = parser.parse_args()
    unknown = [case for case in args.cases if case not in CASES]
    if unknown:
        parser.error("no such case: " + " ".join(unknown))
    os.makedirs(args.work, exist_ok=True)
    # One Wine server for the suite: a program started while the last one's
    # server shuts down can fail. Wine's desktop, which the first program
    # starts, must be on the screen too.
    with on_screen(args.prefix, args.wine_run) as args.env:
        failed = [case for case in args.cases if run_case(args, case)]
    print("FAILED: " + " ".join(failed) if failed else "all %d cases passed" % len(args.cases))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
