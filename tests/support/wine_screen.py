"""Windows programs under Wine."""
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
