"""Windows programs under Wine."""
import contextlib
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


@contextlib.contextmanager
def one_server(wine_run, env=None):
    """One Wine server for every program a suite starts (see wine-run.sh)."""
    quiet = dict(env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([wine_run, "--begin"], check=True, **quiet)
    try:
        yield
    finally:
        subprocess.run([wine_run, "--end"], **quiet)
