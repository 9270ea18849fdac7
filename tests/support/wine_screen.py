"""Windows programs under Wine, on a virtual X screen of their own."""
import os
import subprocess


def windows_path(path):
    """Wine maps the root of the Unix file system to drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env(prefix, display=None, overrides="mscoree,mshtml="):
    """Wine quiet in `prefix`, on `display` or on no screen; the overrides
    keep it from offering to install .NET and its HTML engine."""
    env = dict(os.environ)
    env.update(WINEPREFIX=os.path.abspath(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES=overrides)
    env.pop("DISPLAY", None)
    if display:
        env["DISPLAY"] = display
    return env


def end_wine(env):
    """Ends the prefix's processes and waits until they are gone."""
    for option in ("-k", "-w"):
        subprocess.run(["wineserver", option], env=env, stderr=subprocess.DEVNULL)


class Xvfb:
    """An X server on a free display, stopped by its own process id."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
