#!/usr/bin/env python3
"""Faults of the real system met by the extractor, patchpack and Patch.exe.

  test_faults.py --patchpack PATH [--runner WINE_RUN --prefix DIR --driver EXE
                 --patch-disk-full EXE --patch-interrupted EXE] [unittest args]

With --runner the programs are Windows builds run under Wine in the prefix
DIR; Patch.exe is worked by the end-to-end driver's fault modes on a
virtual screen. FAULT_SEED in the environment changes the kill moments.
"""
import argparse
import os
import queue
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
for folder in (HERE, os.path.join(HERE, "..", "e2e"), os.path.join(HERE, "..", "support")):
    sys.path.insert(0, folder)

import fault_archives  # noqa: E402
import patch_archive  # noqa: E402
from fault_archives import PIECE  # noqa: E402
from wine_screen import Xvfb, wine_env, windows_path  # noqa: E402

ARGS = None
NOBODY = 65534
SEED = int(os.environ.get("FAULT_SEED", "8146"))
BOX_CAPTION = "Orvantis III Patch"


def wine():
    return ARGS.runner is not None


def target(path):
    """A path as the program under test is given it."""
    return windows_path(path) if wine() else path


def at(folder, name):
    return os.path.join(folder, *name.replace("\\", "/").split("/"))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def snapshot(root, skip=None):
    """Every path under root (but under `skip`) with its bytes, None for folders."""
    found = {}
    for folder, dirs, files in os.walk(root):
        if skip is not None:
            dirs[:] = [d for d in dirs if os.path.join(folder, d) != skip]
        for d in dirs:
            found[os.path.relpath(os.path.join(folder, d), root)] = None
        for f in files:
            path = os.path.join(folder, f)
            found[os.path.relpath(path, root)] = read(path)
    return found


def under_file_size_limit(limit):
    """For the child only: files may not grow past `limit` bytes, and a write
    that would fails with EFBIG instead of killing the process."""
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def as_user(user, command):
    if user is None:
        return command
    return ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups",
            "--"] + command


def run_patchpack(*args, session=None, limit=None, cwd=None, user=None, program=None,
                  timeout=300):
    """patchpack, natively (as `user` when given) or in a Wine session."""
    command = [program or ARGS.patchpack, *args]
    if wine():
        if session is None:
            raise ValueError("Windows programs run in a WineSession")
        command, env = session.command(*command), session.env()
    else:
        command, env = as_user(user, command), None
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, errors="replace",
                          timeout=timeout, env=env,
                          preexec_fn=under_file_size_limit(limit) if limit else None)


class Scratch:
    """A scratch root, reachable by every user, removed afterwards."""

    def __init__(self, case):
        self.root = tempfile.mkdtemp(prefix="faults-")
        os.chmod(self.root, 0o755)
        case.addCleanup(self.remove)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def remove(self):
        # A read-only folder in there must not stop the removal.
        for folder, dirs, _ in os.walk(self.root):
            for d in dirs:
                os.chmod(os.path.join(folder, d), 0o755)
        shutil.rmtree(self.root, ignore_errors=True)


class WineSession:
    """A prefix's wineserver and services, started without any limit of a
    test: a limit given to the first Wine process of a session would pass to
    wineserver, which writes the registry, and to the services it starts.
    With `user`, everything runs as that user in a prefix and home of its
    own (Wine serves a prefix only to its owner)."""

    def __init__(self, display=False, user=None, prefix=None, home=None):
        self.user = user
        self.prefix = os.path.abspath(prefix or ARGS.prefix)
        self.home = home
        self.xvfb = None
        self.display = None
        if display:
            self.xvfb = Xvfb()
            self.display = self.xvfb.display
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            self.run("cmd", "/c", "exit", timeout=300)
        # A server left from an earlier run cannot be made persistent: let it end.
        self.server("-w")
        self.server("-p")
        self.run("cmd", "/c", "exit")

    def env(self):
        env = wine_env(self.prefix, self.display)
        if self.home:
            env["HOME"] = self.home
        return env

    def command(self, *args):
        # The runner creates a missing prefix; another user may not reach it.
        return as_user(self.user, ["wine" if self.user else ARGS.runner, *args])

    def run(self, *args, timeout=120):
        subprocess.run(self.command(*args), env=self.env(), timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def server(self, option):
        subprocess.run(as_user(self.user, ["wineserver", option]), env=self.env(), timeout=60,
                       stderr=subprocess.DEVNULL)

    def close(self):
        self.server("-k")
        self.server("-w")
        if self.xvfb:
            self.xvfb.stop()

    def limited_processes(self):
        """The prefix's processes that run under a file-size limit, as
        "pid name"."""
        marker = ("WINEPREFIX=%s" % self.prefix).encode()
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if marker not in read("/proc/%s/environ" % pid).split(b"\0"):
                    continue
                with open("/proc/%s/limits" % pid) as f:
                    limit = next(line for line in f if line.startswith("Max file size"))
                if limit.split()[3] != "unlimited":
                    found.append("%s %s" % (pid, read("/proc/%s/comm" % pid).decode().strip()))
            except (OSError, StopIteration):
                pass  # ended meanwhile
        return found


class Driver:
    """The end-to-end driver in one of its fault modes, its "@" reports read
    as they come."""

    def __init__(self, session, *args, stdin=None, program=None):
        self.lines = []
        self.queue = queue.Queue()
        self.process = subprocess.Popen(
            session.command(program or ARGS.driver, *args), env=session.env(), stdin=stdin,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            line = line.rstrip("\r\n")
            self.lines.append(line)
            if line.startswith("@"):
                self.queue.put(line[1:])
        self.queue.put(None)

    def expect(self, word, timeout=120):
        """The first report starting with `word` (its rest), or None."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                report = self.queue.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                return None
            if report is None:
                return None
            head, _, rest = report.partition(" ")
            if head == word:
                return rest

    def finish(self, timeout=120):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        self.reader.join(10)
        self.process.stdout.close()
        return code

    def reports(self):
        """Every report seen, by its first word (the last one of each)."""
        found = {}
        for line in self.lines:
            if line.startswith("@"):
                head, _, rest = line[1:].partition(" ")
                found[head] = rest
        return found

    def transcript(self):
        return "driver said:\n" + "\n".join(self.lines)


def wine_session(case, **options):
    """A WineSession closed when the case ends."""
    session = WineSession(**options)
    case.addCleanup(session.close)
    return session


def assertFailures(case, result, names, says, total):
    """One stderr line per file of `names`, in order, saying `says`; the others
    written."""
    failures = [line for line in result.stderr.splitlines() if line.strip()]
    case.assertEqual(len(failures), len(names), result.stderr)
    for name, line in zip(names, failures):
        case.assertIn(name, line)
        case.assertIn(says, line)
    case.assertIn("%d of %d files written" % (total - len(names), total), result.stdout)
    sys.stderr.write(result.stderr)


def install_with_patch_exe(case, session, exe, root, dest, box, limit=None, driver=None):
    """Patch.exe installing into `dest`, worked by the driver to its final
    box, which must say `box`, and closed: the driver's reports."""
    driver = Driver(session, "fault_install", windows_path(dest), program=driver)
    patch = start_patch(case, session, driver, exe, root, limit)
    case.assertEqual(driver.finish(), 0, driver.transcript())
    case.assertEqual(patch.wait(60), 0, "Patch.exe's exit code")
    reports = driver.reports()
    case.assertEqual(reports.get("box-text"), box, driver.transcript())
    return reports


def start_patch(case, session, driver, exe, root, limit=None):
    """Starts Patch.exe once the driver has made the desktop, so that only
    Patch.exe runs under `limit`."""
    case.assertIsNotNone(driver.expect("waiting"), driver.transcript())
    patch = subprocess.Popen(session.command(exe), env=session.env(), cwd=root,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             preexec_fn=under_file_size_limit(limit) if limit else None)

    def stop():
        if patch.poll() is None:
            patch.kill()
            patch.wait()
    case.addCleanup(stop)
    return patch


class DiskFull(unittest.TestCase):
    """A file-size limit stands for a disk that fills up: past it no file
    grows. The pieces that end at or before it go in whole; the one that
    crosses it goes in part, up to the limit (Linux lets a write through up
    to the limit; Wine's WriteFile then even reports success, with a short
    count); a piece that would start at the limit fails outright. Either
    way the file keeps exactly its first `limit` bytes and the result is 3.
    Every later file is still attempted: those within the limit are written
    whole, those past it are cut at the limit again."""

    def check_files(self, files, dest, limit):
        for name, data in files:
            path = at(dest, name)
            self.assertTrue(os.path.isfile(path), "%s was not written" % name)
            got = read(path)
            self.assertEqual(len(got), min(len(data), limit), "size of %s" % name)
            self.assertEqual(got, data[:limit], "bytes of %s" % name)

    def test_patchpack_keeps_what_fits_and_goes_on(self):
        session = wine_session(self) if wine() else None
        # One limit that cuts a piece, and one on a piece boundary.
        for limit in (fault_archives.FILE_SIZE_LIMIT, 40 * PIECE):
            with self.subTest(limit=limit):
                scratch = Scratch(self)
                files = fault_archives.disk_full_files(limit)
                archive = scratch.path("disk_full.pak")
                patch_archive.write(archive, files)
                dest = scratch.path("dest")
                result = run_patchpack("extract", target(archive), target(dest),
                                       session=session, limit=limit, cwd=scratch.root)
                self.assertEqual(result.returncode, 3, result.stderr)
                self.check_files(files, dest, limit)
                over = [name for name, data in files if len(data) > limit]
                assertFailures(self, result, over, "cannot write it in full", len(files))
                if wine():
                    self.assertEqual(session.limited_processes(), [])

    def test_patch_exe_says_error_writing(self):
        if not ARGS.patch_disk_full:
            self.skipTest("Patch.exe exists only in the Windows build")
        limit = fault_archives.FILE_SIZE_LIMIT
        files = fault_archives.disk_full_files(limit)
        scratch = Scratch(self)
        dest = scratch.path("Orvantis III")
        session = wine_session(self, display=True)
        reports = install_with_patch_exe(self, session, ARGS.patch_disk_full, scratch.root, dest,
                                         "Error writting file.", limit)
        self.assertEqual((reports.get("box-caption"), reports.get("box-owned")), (BOX_CAPTION, "1"))
        self.check_files(files, dest, limit)
        self.assertEqual(sorted(os.listdir(scratch.root)), ["Orvantis III"])
        # Patch.exe alone ran under the limit: not wineserver, which writes
        # the registry, nor the desktop and services that stay after it.
        self.assertEqual(session.limited_processes(), [])


class ReadOnlyFolder(unittest.TestCase):
    """A folder the user may not write to, for a user that permissions bind
    (the tests run as root, whom they do not): the programs run as nobody,
    from copies that nobody can reach wherever the build tree lies."""

    FILES = [
        ("readme.txt", b"Orvantis III patch\r\n"),
        ("data\\one.bin", fault_archives.blob("one", 2000)),
        ("data\\deep\\two.bin", fault_archives.blob("two", 700)),
        ("own.cfg", fault_archives.blob("own", 333)),
    ]

    def setUp(self):
        self.scratch = Scratch(self)
        self.program = self.reachable(ARGS.patchpack)
        self.archive = self.scratch.path("patch.pak")
        patch_archive.write(self.archive, self.FILES)
        os.chmod(self.archive, 0o644)
        self.dest = self.scratch.path("dest")
        os.mkdir(self.dest)

    def reachable(self, program):
        copy = self.scratch.path(os.path.basename(program))
        shutil.copyfile(program, copy)
        os.chmod(copy, 0o755)
        return copy

    def make_read_only(self):
        os.chown(self.dest, NOBODY, NOBODY)
        os.chmod(self.dest, 0o555)

    def extract(self, session=None):
        return run_patchpack("extract", target(self.archive), target(self.dest), user=NOBODY,
                             session=session, program=self.program, cwd=self.scratch.root)

    def native_only(self):
        if wine():
            self.skipTest("the Windows build's case is test_windows_programs_create_nothing")

    def check_failures(self, result, names):
        self.assertEqual(result.returncode, 5, result.stderr)
        assertFailures(self, result, names, "cannot create it", len(self.FILES))

    def check_writable_again(self, session=None):
        """The same run into the same folder made writable again succeeds:
        only the folder's permission stood in the way."""
        os.chmod(self.dest, 0o755)
        result = self.extract(session)
        self.assertEqual(result.returncode, 0, result.stderr)
        for name, data in self.FILES:
            self.assertEqual(read(at(self.dest, name)), data, name)

    def test_nothing_is_created_in_a_read_only_folder(self):
        self.native_only()
        self.make_read_only()
        result = self.extract()
        self.check_failures(result, [name for name, _ in self.FILES])
        self.assertEqual(os.listdir(self.dest), [])
        self.check_writable_again()

    def test_a_file_of_the_users_own_is_still_replaced(self):
        # The folder's permission guards its names, not the files in it; the
        # file's own read-only bit is cleared by its owner, as the extractor
        # clears it on Windows.
        self.native_only()
        own = at(self.dest, "own.cfg")
        write(own, b"the player's old settings")
        os.chmod(own, 0o444)
        os.chown(own, NOBODY, NOBODY)
        self.make_read_only()
        result = self.extract()
        self.check_failures(result, [name for name, _ in self.FILES if name != "own.cfg"])
        self.assertEqual(os.listdir(self.dest), ["own.cfg"])
        self.assertEqual(read(own), dict(self.FILES)["own.cfg"])

    def test_a_folder_of_another_user_is_left_as_it_was(self):
        self.native_only()
        write(at(self.dest, "own.cfg"), b"settings of the folder's owner")
        os.mkdir(at(self.dest, "data"))
        before = snapshot(self.dest)
        result = self.extract()
        self.check_failures(result, [name for name, _ in self.FILES])
        self.assertEqual(snapshot(self.dest), before)

    def test_windows_programs_create_nothing(self):
        if not ARGS.patch_disk_full:
            self.skipTest("Patch.exe exists only in the Windows build")
        # Wine serves a prefix only to its owner: nobody gets one of its own,
        # made anew each time (about 20 s).
        for folder in ("prefix", "home"):
            os.mkdir(self.scratch.path(folder))
            os.chown(self.scratch.path(folder), NOBODY, NOBODY)
        session = wine_session(self, display=True, user=NOBODY,
                               prefix=self.scratch.path("prefix"), home=self.scratch.path("home"))
        self.make_read_only()
        result = self.extract(session)
        self.check_failures(result, [name for name, _ in self.FILES])
        self.assertEqual(os.listdir(self.dest), [])

        # Patch.exe (whichever archive it carries) creates nothing either.
        install_with_patch_exe(self, session, self.reachable(ARGS.patch_disk_full),
                               self.scratch.root, self.dest, "Cannot create file.",
                               driver=self.reachable(ARGS.driver))
        self.assertEqual(os.listdir(self.dest), [])
        self.check_writable_again(session)


class HeldFile(unittest.TestCase):
    """A destination file that another program holds open without sharing
    cannot be created: patchpack.exe skips it with result 5, writes every
    other file and leaves the held one as it was. (Windows only: POSIX has
    no share modes. Patch.exe's side is the end-to-end case locked_file.)"""

    FILES = [
        ("readme.txt", b"Orvantis III patch\r\n"),
        ("held\\locked.dat", fault_archives.blob("locked", 20000)),
        ("z\\after.bin", fault_archives.blob("after", 3000)),
    ]

    def test_patchpack_skips_the_held_file(self):
        if not wine():
            self.skipTest("share modes exist only on Windows")
        scratch = Scratch(self)
        archive = scratch.path("patch.pak")
        patch_archive.write(archive, self.FILES)
        dest = scratch.path("dest")
        held = at(dest, "held\\locked.dat")
        old = b"held by another program"
        write(held, old)
        session = wine_session(self)
        holder = Driver(session, "fault_hold", windows_path(held), stdin=subprocess.PIPE)
        self.assertIsNotNone(holder.expect("held"), holder.transcript())
        try:
            result = run_patchpack("extract", windows_path(archive), windows_path(dest),
                                   session=session)
        finally:
            holder.process.stdin.write("\n")
            holder.process.stdin.close()
        self.assertIsNotNone(holder.expect("released"), holder.transcript())
        self.assertEqual(holder.finish(), 0, holder.transcript())

        self.assertEqual(result.returncode, 5, result.stderr)
        self.assertEqual(read(held), old)
        for name, data in self.FILES:
            if name != "held\\locked.dat":
                self.assertEqual(read(at(dest, name)), data, name)
        assertFailures(self, result, ["held\\locked.dat"],
                       "cannot create it: the file is in use by another process", len(self.FILES))

        # Once let go, the same file is replaced.
        result = run_patchpack("extract", windows_path(archive), windows_path(dest),
                               session=session)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(read(held), dict(self.FILES)["held\\locked.dat"])


class Interrupted(unittest.TestCase):
    """An install killed (SIGKILL, which Wine's processes die of too) at
    seeded moments, each in the middle of a large file: the files before it
    are complete, that file holds a prefix of its new bytes that ends on a
    512-byte piece boundary (or, killed before it was truncated, what it held
    before), and every later file is as it was before the run (its old bytes,
    or still missing). Nothing appears outside the destination."""

    FILES = fault_archives.interrupted_files()
    LARGE = [i for i, (_, data) in enumerate(FILES) if len(data) > 100 * 1024][:-1]
    OWN = "saves\\slot1.sav"

    def prepare(self):
        """A scratch root holding the destination, where every other file of
        the archive and one of the player's own already exist."""
        scratch = Scratch(self)
        write(scratch.path("neighbour.txt"), b"not the game's")
        dest = scratch.path("Orvantis III")
        before = {self.OWN: b"the player's saved game"}
        for i, (name, _) in enumerate(self.FILES):
            if i % 2 == 0:
                before[name] = ("old %s\r\n" % name).encode("ascii")
        for name, data in before.items():
            write(at(dest, name), data)
        return scratch, dest, before, snapshot(scratch.root, skip=dest)

    def moment(self, who, run):
        rng = random.Random("%d %s %d" % (SEED, who, run))
        index = rng.choice(self.LARGE)
        return index, rng.randrange(PIECE, len(self.FILES[index][1]))

    def kill_at(self, process, path, size, timeout=120):
        """SIGKILL as soon as `path` holds `size` bytes; False when the run
        ended or timed out first."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and process.poll() is None:
            try:
                reached = os.stat(path).st_size >= size
            except FileNotFoundError:
                reached = False
            if reached:
                process.send_signal(signal.SIGKILL)
                process.wait()
                return True
        return False

    def check(self, who, run, chosen, scratch, dest, before, outside):
        """Checks what the killed run left; True when it was cut short."""
        states = []
        for name, data in self.FILES:
            path = at(dest, name)
            now = read(path) if os.path.exists(path) else None
            if now == data:
                states.append("complete")
            elif now == before.get(name):
                states.append("as before")
            elif now is not None and len(now) % PIECE == 0 and data.startswith(now):
                states.append("%d of %d bytes" % (len(now), len(data)))
            else:
                self.fail("%s: %s, neither as before nor whole pieces of its new bytes"
                          % (name, "missing" if now is None else "%d bytes" % len(now)))
        cut = next((i for i, s in enumerate(states) if s != "complete"), len(states))
        sys.stderr.write("%s run %d: killed in %s at %d bytes: %s\n"
                         % (who, run, self.FILES[chosen[0]][0], chosen[1],
                            ", ".join("%s %s" % (n, s) for (n, _), s in zip(self.FILES, states))))
        self.assertGreaterEqual(cut, chosen[0], "a file before the moment is not complete")
        for (name, _), state in list(zip(self.FILES, states))[cut + 1:]:
            self.assertEqual(state, "as before", "%s, after the file being written" % name)
        self.assertEqual(read(at(dest, self.OWN)), before[self.OWN])
        expected = {self.OWN} | {name for name, _ in self.FILES}
        for name in snapshot(dest):
            folder = os.path.isdir(os.path.join(dest, name))
            self.assertTrue(folder or name.replace(os.sep, "\\") in expected,
                            "%s was left in the destination" % name)
        self.assertEqual(snapshot(scratch.root, skip=dest), outside,
                         "something changed outside the destination")
        return cut < len(states)

    def interrupt(self, who, runs, start):
        """Kills `runs` runs, each begun by start(scratch root, destination)
        -> (process, finish), at its own moment. A run that outpaces the
        watch and ends first is tried again, twice at most."""
        for run in range(runs):
            with self.subTest(run=run):
                chosen = self.moment(who, run)
                for _ in range(3):
                    scratch, dest, before, outside = self.prepare()
                    process, finish = start(scratch.root, dest)
                    killed = self.kill_at(process, at(dest, self.FILES[chosen[0]][0]), chosen[1])
                    if not killed:
                        process.kill()
                        process.wait()
                    finish()
                    if self.check(who, run, chosen, scratch, dest, before, outside) and killed:
                        break
                    sys.stderr.write("%s run %d ended before its moment: again\n" % (who, run))
                else:
                    self.fail("%s run %d ended before its moment every time" % (who, run))

    def test_patchpack_killed(self):
        archive = Scratch(self).path("interrupted.pak")
        patch_archive.write(archive, self.FILES)
        session = wine_session(self) if wine() else None

        def start(root, dest):
            command = [ARGS.patchpack, "extract", target(archive), target(dest)]
            # Below the watch's priority, so that the watch keeps up.
            process = subprocess.Popen(
                session.command(*command) if session else command, cwd=root,
                env=session.env() if session else None, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, preexec_fn=lambda: os.nice(10))
            return process, lambda: None
        self.interrupt("patchpack", 3 if wine() else 5, start)

    def test_patch_exe_killed(self):
        if not ARGS.patch_interrupted:
            self.skipTest("Patch.exe exists only in the Windows build")
        session = wine_session(self, display=True)

        def start(root, dest):
            driver = Driver(session, "fault_install", windows_path(dest), "--no-wait")
            patch = start_patch(self, session, driver, ARGS.patch_interrupted, root)
            self.assertIsNotNone(driver.expect("clicked"), driver.transcript())
            return patch, lambda: self.assertEqual(driver.finish(), 0, driver.transcript())
        self.interrupt("Patch.exe", 3, start)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--patchpack", required=True)
    parser.add_argument("--runner", help="runs Windows programs (cmake/wine-run.sh)")
    parser.add_argument("--prefix", help="the Wine prefix of these tests")
    parser.add_argument("--driver", help="the end-to-end driver")
    parser.add_argument("--patch-disk-full", help="Patch.exe around the disk_full archive")
    parser.add_argument("--patch-interrupted", help="Patch.exe around the interrupted archive")
    ARGS, rest = parser.parse_known_args()
    if ARGS.runner and not ARGS.prefix:
        parser.error("--runner needs --prefix")
    # The programs run from scratch folders.
    for option in ("patchpack", "runner", "prefix", "driver", "patch_disk_full",
                   "patch_interrupted"):
        if getattr(ARGS, option):
            setattr(ARGS, option, os.path.abspath(getattr(ARGS, option)))
    sys.stderr.write("fault seed %d (FAULT_SEED)\n" % SEED)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
