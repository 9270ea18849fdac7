#!/usr/bin/python3
"""Installs Patch.exe as a player would, on a virtual screen of its own: starts
it under Wine, types the folder, presses Install, closes it, and prints the
outcome ("installed" when the program said so), the folder and the
screenshots. ./run.sh runs it when there is no display.

  scripts/demo.py --folder DIR [--patch EXE] [--build DIR] [--work DIR]

--build is a Windows build (default build/windows) with the end-to-end driver
built (cmake --build --preset windows --target e2e_driver); its Wine prefix is
used. --patch defaults to its Patch.exe, --work (the screenshots) to BUILD/demo.
Exits non-zero when the install did not succeed.
"""
import argparse
import os
import sys

from wine_screen import INSTALLED, ROOT, Driver, StepFailed, install, on_screen, screenshot


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--folder", required=True, help="where to install")
    parser.add_argument("--patch", help="the program (default: BUILD/installer/Patch.exe)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "windows"))
    parser.add_argument("--work", help="screenshots (default: BUILD/demo)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    patch = args.patch or os.path.join(build, "installer", "Patch.exe")
    driver_exe = os.path.join(build, "tests", "e2e", "e2e_driver.exe")
    work = args.work or os.path.join(build, "demo")
    for needed in (patch, driver_exe):
        if not os.path.isfile(needed):
            parser.error("%s is missing: build it first" % needed)
    os.makedirs(work, exist_ok=True)
    said = None
    with on_screen(os.path.join(build, "wineprefix")) as env:
        def shot(name):
            path = os.path.join(work, "demo-%s.png" % name)
            screenshot(env, path)
            print("screenshot: " + path, flush=True)

        driver = Driver(driver_exe, env)
        try:
            said = install(driver, patch, os.path.abspath(args.folder), shot)
        except StepFailed as failure:
            print("FAIL: %s" % failure)
        finally:
            driver.close()
    outcome = "installed" if said == INSTALLED else "FAILED (%s)" % (said or "see above")
    print("\nOutcome:     %s\nFolder:      %s\nScreenshots: %s" % (outcome, args.folder, work))
    return 0 if said == INSTALLED else 1


if __name__ == "__main__":
    sys.exit(main())
