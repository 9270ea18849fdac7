#!/usr/bin/env python3
"""Runs the end-to-end driver under Wine on a virtual X screen of its own.

  run_e2e.py --prepare  COMMON
      creates the Wine prefix once and sets it up for a screen without a
      window manager
  run_e2e.py --case NAME --patch EXE --archive FILE [--verify PATCHPACK] COMMON
      runs one case from an empty destination; with --verify, `PATCHPACK
      verify ARCHIVE DESTINATION` must pass after the driver
  run_e2e.py --demo FOLDER --patch EXE COMMON
      installs into FOLDER and prints what happened

COMMON: --prefix DIR --wine-run SCRIPT --driver EXE --work DIR

Starts Xvfb on a free display and stops it by its process id when done,
whatever the outcome; ends the prefix's Wine processes too. Screenshots the
driver asks for are saved as PNG files under WORK/screenshots.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine_screen import Xvfb, end_wine, wine_env, windows_path  # noqa: E402

# A backstop beyond the driver's own time limits, which end it first.
DRIVER_TIMEOUT = 900


def prepare(args):
    env = wine_env(args.prefix)
    # With no window manager on the virtual screen, Wine must draw the
    # title bars itself, or the screenshots show bare client areas.
    result = subprocess.run(
        [args.wine_run, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Decorated",
         "/t", "REG_SZ", "/d", "N", "/f"], env=env, stdout=subprocess.DEVNULL)
    end_wine(env)
    return result.returncode


def take_screenshot(display, shots, name, rect):
    os.makedirs(shots, exist_ok=True)
    screen = os.path.join(shots, name + ".png")
    subprocess.run(["import", "-display", display, "-window", "root", screen], check=True)
    x, y, w, h = (int(v) for v in rect)
    if w > 0 and h > 0:
        subprocess.run(["convert", screen, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                        os.path.join(shots, name + "-window.png")], check=True)
    return screen


def run_driver(args, display, driver_args, shot_prefix):
    """Runs the driver, answering its screenshot requests; returns its exit
    code and the screenshots taken."""
    command = [args.wine_run, args.driver] + driver_args + ["--host"]
    shots = os.path.join(args.work, "screenshots")
    taken = []
    driver = subprocess.Popen(command, env=wine_env(args.prefix, display), stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, errors="replace", bufsize=1)
    watchdog = threading.Timer(DRIVER_TIMEOUT, driver.kill)
    watchdog.start()
    try:
        for line in driver.stdout:
            line = line.rstrip("\r\n")
            if not line.startswith("@"):
                print(line, flush=True)
            if line.startswith("@shot "):
                fields = line.split()
                reply = "done"
                try:
                    taken.append(take_screenshot(display, shots, shot_prefix + fields[1],
                                                 fields[2:6]))
                except (OSError, subprocess.CalledProcessError, ValueError, IndexError) as e:
                    print("screenshot failed: %s" % e, flush=True)
                    reply = "failed"
                driver.stdin.write(reply + "\n")
                driver.stdin.flush()
        return driver.wait(), taken
    finally:
        watchdog.cancel()
        if driver.poll() is None:
            driver.kill()
            driver.wait()


def run_case(args):
    case_dir = os.path.join(args.work, args.case)
    shutil.rmtree(case_dir, ignore_errors=True)
    os.makedirs(case_dir)
    dest = os.path.join(case_dir, "Orvantis III")
    xvfb = Xvfb()
    try:
        code, shots = run_driver(
            args, xvfb.display,
            [args.case, windows_path(args.patch), windows_path(args.archive), windows_path(dest)],
            args.case + "-")
        if code == 0 and args.verify:
            result = subprocess.run([args.verify, "verify", args.archive, dest])
            if result.returncode != 0:
                print("FAIL: %s verify found files that differ from the archive" % args.verify)
                code = 1
        for shot in shots:
            print("screenshot: %s" % shot)
        return code
    finally:
        end_wine(wine_env(args.prefix))
        xvfb.stop()


def run_demo(args):
    folder = os.path.abspath(args.demo)
    xvfb = Xvfb()
    try:
        code, shots = run_driver(args, xvfb.display,
                                 ["demo", windows_path(args.patch), windows_path(folder)],
                                 "demo-")
    finally:
        end_wine(wine_env(args.prefix))
        xvfb.stop()
    print()
    print("Outcome:     %s" % ("installed" if code == 0 else "FAILED (see above)"))
    print("Folder:      %s" % folder)
    for shot in shots:
        window = shot[:-len(".png")] + "-window.png"
        print("Screenshot:  %s" % shot)
        if os.path.exists(window):
            print("             %s (the dialog alone)" % window)
    return code


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--driver")
    parser.add_argument("--work")
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--prepare", action="store_true")
    mode.add_argument("--case")
    mode.add_argument("--demo", metavar="FOLDER")
    parser.add_argument("--patch")
    parser.add_argument("--archive")
    parser.add_argument("--verify", metavar="PATCHPACK")
    args = parser.parse_args()
    # A test timeout ends this script with SIGTERM: still stop Xvfb and Wine.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(124))
    if args.prepare:
        return prepare(args)
    if not (args.driver and args.work and args.patch):
        parser.error("--driver, --work and --patch are needed")
    if args.case:
        if not args.archive:
            parser.error("--case needs --archive")
        return run_case(args)
    return run_demo(args)


if __name__ == "__main__":
    sys.exit(main())
