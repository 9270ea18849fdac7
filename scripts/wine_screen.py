"""Windows programs under Wine, as the tests, the demo and the benches run them:
a prefix and its environment, a virtual screen, one Wine server, and the
end-to-end driver (tests/e2e/driver.cpp) with the steps a player takes. The
scripts import this surface; change it with them."""
import contextlib
import os
import re
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE_RUN = os.path.join(ROOT, "cmake", "wine-run.sh")
INSTALL, PATH, EXIT = "1003", "1001", "2"
NOT_FOUND = "OrvantisIII was not found."
INSTALLED = "Patch is installed successfully."
QUIET = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


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
    # A CPU emulated some forty times slower needs the driver's time limits stretched.
    state = subprocess.run([os.path.join(ROOT, "scripts", "wine-state.sh")],
                           capture_output=True, text=True).stdout.strip()
    if state == "emulated":
        env.setdefault("E2E_TIME_SCALE", "4")
    return env


def read_text(path):
    """A text file, "" when there is none."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def cache_value(build, name):
    """A variable of a build's CMakeCache.txt, "" when unset or not built."""
    found = re.search(r"^%s:\w+=(.*)$" % re.escape(name),
                      read_text(os.path.join(build, "CMakeCache.txt")), re.M)
    return found.group(1) if found else ""


@contextlib.contextmanager
def virtual_screen():
    """An X server of its own (Xvfb) on a free display; yields ":N"."""
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,), **QUIET)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        number = f.readline().strip()
    try:
        if not number:
            raise RuntimeError("Xvfb did not start")
        yield ":" + number
    finally:
        xvfb.terminate()
        try:
            xvfb.wait(10)
        except subprocess.TimeoutExpired:
            xvfb.kill()
            xvfb.wait()


@contextlib.contextmanager
def one_server(wine_run, env=None):
    """One Wine server for every program a suite starts (see wine-run.sh)."""
    subprocess.run([wine_run, "--begin"], env=env, check=True, **QUIET)
    try:
        yield
    finally:
        subprocess.run([wine_run, "--end"], env=env, **QUIET)


@contextlib.contextmanager
def on_screen(prefix, wine_run=WINE_RUN, overrides="mscoree,mshtml="):
    """A virtual screen and one Wine server in `prefix` drawing on it (the
    prefix is made on first use); yields the programs' environment."""
    with virtual_screen() as display:
        env = wine_env(prefix, display, overrides)
        with one_server(wine_run, env):
            # With no window manager on the screen, Wine draws the title bars.
            # Once is enough: a program under Wine starts slowly where emulated.
            if not re.search(r'^\[Software\\\\Wine\\\\X11 Driver\][^[]*^"Decorated"="N"$',
                             read_text(os.path.join(prefix, "user.reg")), re.M):
                subprocess.run([wine_run, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver",
                                "/v", "Decorated", "/t", "REG_SZ", "/d", "N", "/f"], env=env,
                               check=True, **QUIET)
            yield env


def screenshot(env, path):
    subprocess.run(["import", "-display", env["DISPLAY"], "-window", "root", path], check=True)


class StepFailed(AssertionError):
    pass


class Driver:
    """The driver under Wine: one command a line, answered "ok" and fields
    (name=value, tab-separated) or "fail" and why, which raises StepFailed."""

    def __init__(self, exe, env, wine_run=WINE_RUN):
        self.process = subprocess.Popen([wine_run, exe], text=True, bufsize=1, env=env,
                                        errors="replace", stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE)

    def do(self, *words):
        try:
            self.process.stdin.write("\t".join(words) + "\n")
        except BrokenPipeError:
            pass  # the driver ended: said below
        answer = self.process.stdout.readline().rstrip("\r\n")
        if not answer.startswith("ok"):
            raise StepFailed("%s: %s" % (" ".join(words), answer or "driver ended"))
        return answer[3:]

    def fields(self, *words):
        return dict(f.split("=", 1) for f in self.do(*words).split("\t"))

    def close(self):
        with contextlib.suppress(BrokenPipeError):
            self.process.stdin.close()
        self.process.wait(60)


def install(driver, patch, folder, shot=lambda name: None):
    """Installs as a player does: starts the program (dismissing the warning
    of a machine with no game), types the folder, presses Install, closes the
    final box and the program. Returns the box's text; shot(name) is called
    when the dialog is "ready" and when the install has "finished"."""
    if driver.do("start", windows_path(patch)) == "box":
        said = driver.fields("box")["text"]
        if said != NOT_FOUND:
            raise StepFailed("a box at start: " + said)
        driver.do("key", "enter")
        driver.do("wait", "gone")
    driver.do("tab", PATH)
    driver.do("type", windows_path(folder))
    shot("ready")
    driver.do("click", INSTALL)
    said = driver.fields("box")["text"]
    shot("finished")
    driver.do("key", "enter")
    driver.do("wait", "gone")
    driver.do("wait", EXIT, "Close")
    driver.do("tab", EXIT)
    driver.do("key", "space")
    if driver.do("wait", "exit") != "0":
        raise StepFailed("Patch.exe exited with an error")
    return said
