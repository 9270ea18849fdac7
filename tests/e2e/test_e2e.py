#!/usr/bin/env python3
"""Patch.exe under Wine on a virtual screen, worked as a player works it: each
case of the table is the player's actions and what they must see, carried out
through the driver (driver.cpp), then what must be on disk.

  test_e2e.py --prepare COMMON                    sets up the Wine prefix once
  test_e2e.py --case NAME --patch NAME=EXE=ARCHIVE... COMMON   (sample, small, short)
  test_e2e.py --demo FOLDER --patch EXE COMMON    installs there, says how it went
COMMON: --prefix DIR --wine-run SCRIPT --driver EXE --work DIR
"""
import argparse
import getpass
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import installed  # noqa: E402
from wine_screen import Xvfb, end_wine, wine_env, windows_path  # noqa: E402

INSTALL, BROWSE, PATH, EXIT = "1003", "1002", "1001", "2"
TEXTS = dict(
    caption="Orvantis III patch", install="&Install", browse="...", cancel="E&xit",
    label="The Patch Installer has found that the Orvantis III is installed in the following "
          "folder:", version="Version: 1.00.001",
    hint="If you want to install the patch to a different location, change the path above.",
    status="To start installation, click Install button. To quit, click the Exit button.")
WAIT = "Please wait while the patch installer copies new files to the target folder..."
BOXES = dict(success="Patch is installed successfully.", create="Cannot create file.",
             read="Error reading file.")
HELD = "held\\locked.dat"

# name: (registry's first and second InstallPath, None for no key; the steps)
CASES = {
    "first_key_install": ("{dest}", "{dest}-second", "start | ready {dest} | shot ready | "
                          "click 1003 | finish success 100 | shot finished | close | "
                          "installed | second_untouched"),
    "second_key_only": (None, "{dest}", "start | ready {dest} | click 2 | exits | empty"),
    "empty_first_value": ("", "{dest}", "start | ready {dest} | click 2 | exits | empty"),
    "no_keys_typed_folder": (None, None, "start box | warning | ready | tab 1001 | "
                             "type {dest} | click 1003 | finish success 100 | close | installed"),
    "locked_file": ("{dest}", None, "hold | start | click 1003 | finish create held | "
                    "release | close | installed " + HELD + " | kept"),
    "short_archive": ("{dest}", None, "start | click 1003 | finish read 100 | close | installed"),
    "close_before_install": ("{dest}", None, "start | ready {dest} | key esc | exits | "
                             "start | tab 2 | key space | exits | start | titlebar_close | exits | empty"),
    "enter_installs": ("{dest}", None, "start | tab 1001 | key enter | finish success | close | "
                       "installed"),
    "empty_field_refused": ("{dest}", None, "start {cwd} | tab 1001 | type | key enter | "
                            "warning | ready | click 2 | exits | root_untouched"),
    "browse_cancel": ("{dest}", None, "start | tab 1002 | key space | browser | shot browser | "
                      "key esc | gone | ready {dest} | click 2 | exits | empty"),
    "browse_choose": ("{dest}", None, "start | tab 1002 | key space | browser | key enter | "
                      "gone | ready {desktop} | click 2 | exits | empty"),
}


class Player:
    """The steps of the table, each a method; a failed check raises."""

    def __init__(self, args, display, dest, archive):
        self.args, self.display, self.dest, self.path = args, display, dest, ""
        self.files = installed(archive) if archive else {}
        self.driver = subprocess.Popen([args.wine_run, args.driver], text=True, bufsize=1,
                                       env=wine_env(args.prefix, display), errors="replace",
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def do(self, *words):
        self.driver.stdin.write("\t".join(words) + "\n")
        answer = self.driver.stdout.readline().rstrip("\r\n")
        assert answer.startswith("ok"), "%s: %s" % (" ".join(words), answer or "driver ended")
        return answer[3:]

    def __getattr__(self, verb):  # tab, key, click, close, gone, release: the driver's own
        return lambda *words: self.do(verb, *words)

    def seen(self, *words, **wanted):
        fields = dict(f.split("=", 1) for f in self.do(*words).split("\t"))
        for key, value in wanted.items():
            assert fields[key] == str(value), "%s: %r, not %r" % (key, fields[key], value)
        return fields

    def at(self, name):
        return os.path.join(self.dest, *name.replace("\\", "/").split("/"))

    # The player's actions and what they see.
    def start(self, how=None):
        """how: "box" when a message box must come first, else the folder to run in."""
        cwd = [] if how in (None, "box") else [how]
        shown = self.do("start", windows_path(self.args.patch), *cwd)
        assert shown == ("box" if how == "box" else "dialog"), "first window: " + shown
        self.path = self.seen("view")["path"] if shown == "dialog" else ""

    def ready(self, path=""):
        self.seen("view", path=path, enabled=1, states="11101", cancel_on=1, **TEXTS)
        self.path = path

    def type(self, text=""):
        self.do("type", text)
        self.path = text

    def warning(self):
        self.seen("box", caption="Warning", text="OrvantisIII was not found.", owned=1, ok=1,
                  others=0, icon=1, focus_in=1)
        self.key("enter")
        self.gone()

    def finish(self, outcome, bar=None):
        """The final box and the dialog behind it, then the dialog once it is closed."""
        self.seen("box", caption="Orvantis III Patch", text=BOXES[outcome], owned=1, ok=1,
                  others=0, icon=0, focus_in=1)
        locked = dict(path=self.path, states="00010", cancel_on=1, range="0-100",
                      status="Patch installed successfully." if outcome == "success" else WAIT)
        during = self.seen("view", cancel="Stop", enabled=0, **locked)
        self.key("enter")
        self.gone()
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
        assert self.do("exit") == "0", "exit code"

    def shot(self, name):
        folder = os.path.join(self.args.work, "screenshots")
        os.makedirs(folder, exist_ok=True)
        screen = os.path.join(folder, "%s-%s.png" % (self.args.case or "demo", name))
        subprocess.run(["import", "-display", self.display, "-window", "root", screen], check=True)
        print("screenshot: " + screen)

    def browser(self):
        self.seen("browser", owned=1, dialog_enabled=0, focus_in=1)

    # What must be on disk.
    def installed(self, skip=None):
        for name, content in self.files.items():
            with open(self.at(name), "rb") as f:
                assert name == skip or f.read() == content, name + " differs from the archive"

    def empty(self):
        assert not os.path.exists(self.dest) or not os.listdir(self.dest), "something written"

    def second_untouched(self):
        assert not os.path.exists(self.dest + "-second"), "the second key's folder was written"

    def hold(self):
        os.makedirs(os.path.dirname(self.at(HELD)))
        with open(self.at(HELD), "wb") as f:
            f.write(b"held by another program")
        self.do("hold", windows_path(self.at(HELD)))

    def kept(self):
        with open(self.at(HELD), "rb") as f:
            assert f.read() == b"held by another program", "the held file was changed"

    def root_untouched(self):
        for top in {name.split("\\")[0] for name in self.files}:
            assert not os.path.exists(os.path.join(self.args.prefix, "drive_c", top)), top


def run(args, dest, archive, steps):
    xvfb = Xvfb()
    player = Player(args, xvfb.display, dest, archive)
    try:
        for verb, *words in steps(player):
            print("step: %s %s" % (verb, " ".join(words)), flush=True)
            getattr(player, verb)(*words)
        return 0
    except AssertionError as failure:
        print("FAIL: %s" % failure)
        return 1
    finally:
        player.driver.stdin.close()
        player.driver.wait(60)
        end_wine(wine_env(args.prefix))
        xvfb.stop()


def case_steps(args, dest):
    first, second, steps = CASES[args.case]
    values = dict(dest=windows_path(dest), cwd="C:\\e2e-cwd",
                  desktop="C:\\users\\%s\\Desktop" % getpass.getuser())
    os.makedirs(os.path.join(args.prefix, "drive_c", "e2e-cwd"), exist_ok=True)
    keys = ["-" if k is None else k.format(**values) for k in (first, second)]
    return lambda player: [["keys"] + keys] + [[w.format(**values) for w in s.split(" ")]
                                               for s in steps.split(" | ")]


def demo_steps(folder):
    def steps(player):
        shown = player.do("start", windows_path(player.args.patch))
        return ([["warning"]] if shown == "box" else []) + [
            ["tab", PATH], ["type", windows_path(folder)], ["shot", "ready"], ["click", INSTALL],
            ["finish", "success"], ["shot", "finished"], ["close"]]
    return steps


def main():
    parser = argparse.ArgumentParser()
    for option in ("prefix", "wine-run", "driver", "work", "case", "demo"):
        parser.add_argument("--" + option)
    # NAME=EXE=ARCHIVE: a Patch.exe and the archive it carries; the demo's is EXE alone.
    parser.add_argument("--patch", action="append", type=lambda p: p.split("=", 2))
    parser.add_argument("--prepare", action="store_true")
    args = parser.parse_args()
    if args.prepare:
        # With no window manager on the screen, Wine draws the title bars.
        result = subprocess.run([args.wine_run, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver",
                                 "/v", "Decorated", "/t", "REG_SZ", "/d", "N", "/f"],
                                env=wine_env(args.prefix), stdout=subprocess.DEVNULL)
        end_wine(wine_env(args.prefix))
        return result.returncode
    if args.demo:
        args.patch = args.patch[0][0]
        code = run(args, args.demo, None, demo_steps(args.demo))
        print("\nOutcome: %s\nFolder: %s\nScreenshots: %s/screenshots" % (
            "FAILED" if code else "installed", args.demo, args.work))
        return code
    dest = os.path.join(args.work, args.case, "Orvantis III")
    shutil.rmtree(os.path.dirname(dest), ignore_errors=True)
    which = {"first_key_install": "sample", "short_archive": "short"}.get(args.case, "small")
    args.patch, archive = {name: rest for name, *rest in args.patch}[which]
    with open(archive, "rb") as f:
        return run(args, dest, f.read(), case_steps(args, dest))


if __name__ == "__main__":
    sys.exit(main())
