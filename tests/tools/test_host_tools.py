#!/usr/bin/env python3
"""What only the host's patchpack does, run natively: refusals of host files,
the sample payload, usage, diff, names in a code page and the archive size
limit, and the temporary files beside what it writes.

  test_host_tools.py OPTIONS [unittest args]   (see tool_case.py)
"""
import collections
import hashlib
import os
import re
import socket
import stat
import shutil
import signal
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import ENTRY, HEADER, Archive, installed, read  # noqa: E402
from tool_case import ARGS, ToolTest, main, run, tree, write  # noqa: E402

# The shipped archive's size and digest, which the sample payload reproduces.
SAMPLE = (15955200, "b6eb178c798f881166b3b50af5c3daf218e1e28bbf25cb3bbe315f477ad01209")


def beside(other, make=write):
    """The bad file and `other` next to it."""
    return lambda path: (write(path), make(os.path.join(os.path.dirname(path), other)))


def nest(path, depth=3000):
    """Folders depth deep, each made inside the one before: the whole path
    passes PATH_MAX."""
    os.makedirs(path)
    folder = os.open(path, os.O_RDONLY)
    for _ in range(depth):
        os.mkdir("d", dir_fd=folder)
        inner = os.open("d", os.O_RDONLY, dir_fd=folder)
        os.close(folder)
        folder = inner
    os.close(folder)


# What the host's files may be that no archive name shows (every rule on a name
# is in the unit tests): the bad name under payload/, what makes it, what the
# refusal says, and what it names when not the bad name itself.
Refusal = collections.namedtuple("Refusal", "bad make says named", defaults=(write, "", None))
REFUSALS = [
    Refusal("a?b.txt", says="holds '?', which Windows forbids"),
    Refusal("x\x01y", says="control character 0x01", named="x\\x01y"),
    Refusal("data/a\\b.txt", says="holds '\\', the archive's folder separator"),
    Refusal("caf\u00e9.txt", says="not plain ASCII"),
    Refusal("d\u00e4ta/a.txt", says="not plain ASCII", named="/d\u00e4ta:"),
    Refusal(os.fsdecode(b"raw\xff"), says="not plain ASCII", named="raw\\xff"),
    Refusal("folder./a.txt", says="ends in a dot", named="/folder.:"),
    Refusal("data/con/a.txt", says="device name", named="/data/con:"),
    Refusal("readme.txt", beside("readme.TXT"), "differs only in letter case"),
    Refusal("maps/A.MAP", beside("../Maps/a.map"), "A.MAP: its name differs only in letter case",
            "Maps/a.map"),
    Refusal("data", beside("DATA/x.txt"), "same name as the folder"),
    Refusal("d" * 100 + "/" + "f" * 60, says="161 characters"),
    Refusal("deep", nest, "the folder is too deep for Windows' paths, so nothing in it is packed: "
            "the name has 162 characters", "/deep/" + "d/" * 78 + "d: "),
    Refusal("huge.bin", lambda p: write(p, 1 << 32), "under 4 GiB"),
    Refusal("link", lambda p: os.symlink("good.txt", p), "symbolic link"),
    Refusal("dirlink", lambda p: os.symlink(".", p), "symbolic link"),
    Refusal("pipe", os.mkfifo, "FIFO"),
    Refusal("sock", lambda p: socket.socket(socket.AF_UNIX).bind(p), "socket")] + (
    [Refusal("dev", lambda p: os.mknod(p, stat.S_IFCHR | 0o600, os.makedev(1, 3)), "device")]
    if os.geteuid() == 0 else [])


class Create(ToolTest):
    def test_refusals_name_the_file_and_leave_the_old_archive(self):
        write(self.path("a.pak"), b"previous archive")
        for n, row in enumerate(REFUSALS):
            with self.subTest(bad=row.bad):
                payload = tree(self.path("p%d" % n), {"good.txt": b"good"})
                row.make(os.path.join(payload, row.bad))
                self.refused(["create", self.path("a.pak"), payload], 1, row.named or row.bad,
                             row.says, "not written: ")

    def test_what_is_accepted(self):
        ok = "d" * 100 + "/" + "f" * 59
        names = list(installed(read(self.pack({ok: b"", "COM10": b"", "a.con": b""}))))
        self.assertEqual(names, ["COM10", "a.con", ok.replace("/", "\\")])
        write(self.path("made"))  # the archive is made as any new file is
        self.assertEqual(*(stat.S_IMODE(os.stat(self.path(f)).st_mode) for f in ("a.pak", "made")))
        # Just under 4 GiB passes the size check: stop at a bad name before packing it.
        tree(self.path("q"), {"bad:name": b"", "big.bin": (1 << 32) - 1})
        done = self.refused(["create", self.path("b.pak"), self.path("q")], 1, "bad:name",
                            "1 file refused")
        self.assertNotIn("big.bin", done.stderr)

    def test_list_names_fifty_faults_then_counts_them(self):
        for n in (50, 51):
            write(self.path("f.pak"), Archive([("a%d?" % i, b"") for i in range(n)]).build())
            done = run("list", self.path("f.pak"))
            self.exits(done, 1, "%d entries are faulty" % n, *["1 more faulty entries"][:n - 50])
            self.assertEqual(len(done.stderr.splitlines()), 51 + (n > 50))

    def test_a_link_planted_at_the_temporary_name_is_left_alone(self):
        victim, archive = self.path("victim"), self.path("a.pak")
        write(victim, b"victim")
        files = {"x\\y.txt": b"y", "z": b"zz"}
        self.ok(run("create", archive, tree(self.path("p"), files),
                    preexec_fn=lambda: os.symlink(victim, "%s.%d.tmp" % (archive, os.getpid()))))
        self.assertEqual(read(victim), b"victim")
        self.assertEqual(read(archive), Archive(files.items()).build())
        self.assertEqual([os.path.islink(self.path(f)) for f in os.listdir(self.tmp)
                          if f.endswith(".tmp")], [True])


def minimal_stub():
    """The least that build takes for the installer's stub: a 32-bit GUI
    program whose one section holds the dialog 1005, in Russian."""
    rsrc = bytearray(0x200)
    # A directory of one entry for each level: type 5, name 1005, language.
    for at, key, to in ((0, 5, 0x80000018), (0x18, 1005, 0x80000030), (0x30, 0x419, 0x48)):
        struct.pack_into("<12xHHII", rsrc, at, 0, 1, key, to)
    struct.pack_into("<II", rsrc, 0x48, 0x1058, 4)
    head = bytearray(0x200)
    struct.pack_into("<2s58xI4sHH12xHH", head, 0, b"MZ", 0x40, b"PE\0\0", 0x14C, 1, 224, 0x102)
    struct.pack_into("<H30xII16xII4xH22xI16xII", head, 0x58, 0x10B, 0x1000, 0x200, 0x2000, 0x200,
                     2, 16, 0x1000, 0x200)
    struct.pack_into("<8sIIII12xI", head, 0x138, b".rsrc", 0x200, 0x1000, 0x200, 0x200, 0x40000040)
    return bytes(head + rsrc)


# A file of new/ that another program changes after the scan, before it is
# read (the test build runs PATCH_TEST_BEFORE_READ there): each packer, each
# way of reading (packed, compared with the old release), refuses it by name
# and writes nothing, whatever it became.
Swap = collections.namedtuple("Swap", "args becomes says")
CREATE, DIFF_ = ["create", "out.pak", "new"], ["diff", "old", "new", "out.pak"]
BUILD = ["build", "--stub", "stub.exe", "new", "out.exe"]
LINKED, FIFO = "ln -sf ../secret new/b.txt", "rm new/b.txt && mkfifo new/b.txt"
LINK, SINCE = "it is a symbolic link now, which is not followed", "it changed since it was listed: "
SWAPS = [
    Swap(CREATE, LINKED, SINCE + LINK),
    Swap(DIFF_, LINKED, SINCE + LINK),
    Swap(BUILD, LINKED, SINCE + LINK),
    Swap(BUILD[:3] + ["--base", "old"] + BUILD[3:], FIFO, SINCE + "it is no longer a regular file"),
    Swap(CREATE, FIFO, SINCE + "it is no longer a regular file"),
    Swap(DIFF_, "cp secret new/c && mv new/c new/b.txt", SINCE + "another file has taken its name"),
    Swap(CREATE, "echo more >>new/b.txt", "it changed size while being packed"),
]


class Swapped(ToolTest):
    def test_a_file_changed_after_the_scan_is_refused(self):
        for n, row in enumerate(SWAPS):
            with self.subTest(args=row.args, becomes=row.becomes):
                folder = tree(self.path(str(n)), {
                    "old/a.txt": b"a", "old/b.txt": b"public 10!", "new/a.txt": b"A",
                    "new/b.txt": b"public 10?", "secret": b"the secret", "stub.exe": minimal_stub()})
                done = run(*row.args, cwd=folder, timeout=120,
                           env=dict(os.environ, PATCH_TEST_BEFORE_READ=row.becomes))
                self.exits(done, 1, "new/b.txt: " + row.says)
                self.assertEqual(sorted(os.listdir(folder)), ["new", "old", "secret", "stub.exe"])

    def test_stopped_midway_it_leaves_nothing(self):
        folder = tree(self.path("t"), {"new/a.txt": b"a"})
        done = run(*CREATE, cwd=folder, env=dict(os.environ, PATCH_TEST_BEFORE_READ="kill $PPID"))
        self.assertEqual((done.returncode, os.listdir(folder)), (128 + signal.SIGTERM, ["new"]))


class Program(ToolTest):
    def test_a_patch_exe_is_an_archive_to_every_tool(self):
        files = {"readme.txt": b"notes\n", "data/level.map": bytes(range(256)) * 20, "e.dat": b""}
        archive = self.pack(files, folder="new")
        write(self.path("stub.exe"), minimal_stub())
        self.ok(run("build", "--stub", "stub.exe", "new", "Patch.exe", cwd=self.tmp))
        listed = self.ok(run("list", "Patch.exe", cwd=self.tmp)).splitlines()
        said = re.fullmatch(r"a program carrying a patch archive of (\d+) bytes at offset (\d+), "
                            r"its check sound; it shows no version line", listed[0])
        size, offset = int(said[1]), int(said[2])
        self.assertEqual(read(self.path("Patch.exe"))[offset:offset + size], read(archive))
        self.assertEqual(listed[1:], self.ok(run("list", archive)).splitlines())
        # Its archive, read in place, builds the very same program again.
        self.ok(run("build", "--stub", "stub.exe", "--archive", "Patch.exe", "again.exe",
                    cwd=self.tmp))
        self.assertEqual(read(self.path("again.exe")), read(self.path("Patch.exe")))
        self.ok(run("extract", "Patch.exe", "out", cwd=self.tmp))
        self.assertEqual(self.ok(run("verify", "Patch.exe", "out", cwd=self.tmp)),
                         "%d files match\n" % len(files))
        self.assertEqual({name: read(self.path("out", name)) for name in files}, files)
        # A byte of a file flipped, as a bad download leaves it; a program
        # that carries nothing.
        bad = bytearray(read(self.path("Patch.exe")))
        bad[offset + 48 + 10] ^= 0xFF
        write(self.path("bad.exe"), bad)
        tree(self.path("bad"), {"bad?.txt": b""})
        for args, code, says in [(["list", "bad.exe"], 1, "bad.exe: damaged: "),
                                 (["verify", "bad.exe", "out"], 1, "bad.exe: damaged: "),
                                 (["extract", "bad.exe", "out2"], 2, "bad.exe: damaged: "),
                                 (["build", "--stub", "stub.exe", "--archive", "bad.exe", "o.exe"],
                                  1, "bad.exe: damaged: "),
                                 (["build", "--stub", "stub.exe", "bad", "o.exe"], 1, "bad?.txt"),
                                 (["list", "stub.exe"], 1, "a program that carries no patch")]:
            with self.subTest(args=args):
                self.refused(args, code, says, cwd=self.tmp)


class Sample(ToolTest):
    def test_sample_reproduces_the_shipped_archive(self):
        self.ok(run(self.path("payload"), program=[ARGS.sample_payload]))
        data = read(self.pack({}, folder="payload"))
        self.assertEqual((len(data), hashlib.sha256(data).hexdigest()), SAMPLE)
        # Names like a game's: folders several deep, the longest of 73 characters.
        self.assertEqual(max(map(len, installed(data))), 73)


class Usage(ToolTest):
    def test_help_on_stdout_and_usage_errors_on_stderr(self):
        wrong = [(["frob"], "frob: unknown command"),
                 (["create", "--codepage"], "create: option --codepage needs a value")]
        for c in ("create", "diff", "list", "extract", "verify"):
            wrong += [([c, "-x", "a"], c + ": unknown option -x"), ([c], c + ": too few")]
            wrong += [([c, "a", "b", "c", "d"], c + ": too many")] if c != "diff" else []
        for args, says in wrong:
            self.refused(args, 64, says, cwd=self.tmp)
        for args, usage in ((["-h"], "COMMAND"), (["help"], "COMMAND"), (["list", "--help"], "list"),
                            (["extract", "-h"], "extract"), (["diff", "a", "-h", "b"], "diff")):
            self.assertTrue(self.ok(run(*args)).startswith("usage: patchpack " + usage), args)
        self.assertEqual(self.ok(run("--version")), "patchpack %s\n" % ARGS.project_version)
        none = run()
        self.assertEqual((none.returncode, none.stdout, none.stderr[:24]),
                         (64, "", "usage: patchpack COMMAND"))
        # After "--" a name may begin with a dash.
        tree(self.path("-p"), {"a.txt": b"x"})
        self.ok(run("create", "--", "-a.pak", "-p", cwd=self.tmp))
        self.assertIn("1 files", self.ok(run("list", "--", "-a.pak", cwd=self.tmp)))


# patchpack diff, names in a code page and the archive size limit.
CP = ["--codepage", "1251"]
KINDS = ("added", "changed", "unchanged", "removed")
# A file's bytes in each old release and then in NEW (None where absent), what
# diff makes of it, and its name in NEW when another case of the same.
File = collections.namedtuple("File", "name bytes kind new_name", defaults=(None,))
# One old release, under --codepage 1251.
ONE = [
    File("same.txt", (b"same", b"same"), "unchanged"),
    File("grown.txt", (b"ab", b"abc"), "changed"),
    File("flip.bin", (b"abcd", b"abce"), "changed"),
    File("big.bin", (bytes(200000), bytes(199999) + b"\1"), "changed"),
    File("Case.txt", (b"kept", b"kept"), "unchanged", "CASE.TXT"),
    File("Recase.txt", (b"old", b"new"), "changed", "recase.TXT"),
    File("Папка/Ёлка.txt", (b"\xff" * 70000,) * 2, "unchanged", "папка/ЁЛКА.txt"),
    File("data/added.bin", (None, b"new file"), "added"),
    File("Новый.txt", (None, b""), "added"),
    File("gone.txt", (b"x", None), "removed"),
    File("data/old/gone.txt", (b"y", None), "removed"),
]
# Three old releases: one patch turns a copy of any of them into NEW.
THREE = [
    File("same.txt", (b"s", b"s", b"s", b"s"), "unchanged"),
    File("changed.txt", (b"1", b"1", b"1", b"2"), "changed"),
    File("reverted.txt", (b"a", b"b", b"a", b"a"), "changed"),
    File("resized.txt", (b"a", b"a", b"ab", b"ab"), "changed"),
    File("only_third.txt", (None, None, b"x", b"x"), "changed"),
    File("recase.txt", (b"c", b"c", b"c", b"c"), "unchanged", "ReCase.TXT"),
    File("gone.txt", (b"g", None, b"g", None), "removed"),
    File("added.bin", (None, None, None, b"n"), "added"),
]
A = {"a.txt": b"a"}
DIFF = ["diff", "old", "new", "d.pak"]
# Refused by create or diff, run in a folder holding the trees old and new
# ({patchpack} stands for the program itself).
Refused = collections.namedtuple("Refused", "old new says args code lines",
                                 defaults=(DIFF, 1, None))
REMOVED = ["diff", "--removed"]
REFUSED = [
    Refused(A, A, ["nothing to patch"]),
    Refused(None, A, ["old: No such file"], lines=1),
    Refused(A, b"", ["new: not a folder"], lines=1),
    Refused(A, {"a.txt": b"b", "bad?.txt": b""}, ["bad?.txt: the name holds '?'"]),
    Refused({"x": b"1", "X": b"2"}, {"x": b"3"}, ["differs only in letter case"]),
    Refused(A, {"Ёж": b"1", "ёЖ": b"2"}, ["differs only in letter case"], DIFF[:1] + CP + DIFF[1:]),
    Refused({"data": b"1"}, {"data/x": b"2"}, ["data/x: the old release has a file"]),
    Refused(A, {"a.txt": b"a", "huge.bin": 1 << 32}, ["huge.bin: it has 4294967296 bytes",
                                                      "under 4 GiB"]),
    Refused(A, {"a.txt": b"b"}, ["would lie inside"], ["diff", "old", "new", "old/d.pak"]),
    Refused(A, {"a.txt": b"b"}, ["would lie inside"], ["diff", "old", "new", "new/d.pak"]),
    Refused(dict(A, gone=b""), {"a.txt": b"b"}, ["missing/removed.txt: cannot create it"],
            REMOVED + ["missing/removed.txt"] + DIFF[1:]),
    Refused(A, {"a.txt": b"b"}, ["new/a.txt: the list of removed files would lie inside the new "
                                 "release's folder"], REMOVED + ["new/a.txt"] + DIFF[1:]),
    Refused(A, {"a.txt": b"b"}, ["would lie inside the old release's folder"],
            REMOVED + ["old/../old/x"] + DIFF[1:]),
    Refused(A, {"a.txt": b"b"}, ["d.pak: the list of removed files would replace the archive"],
            REMOVED + ["d.pak"] + DIFF[1:]),
    Refused(A, {"a.txt": b"b"}, ["the archive would replace patchpack itself"],
            ["diff", "old", "new", "{patchpack}"]),
    Refused(A, A, ["old: a folder, which the archive cannot replace"], ["create", "old", "new"]),
    Refused(None, A, ["create: the operands look swapped: new is a folder and a.pak is not "
                      "(patchpack create takes ARCHIVE DIR)"], ["create", "new", "a.pak"], 64),
    Refused(A, A, ["the operands look swapped"], ["diff", "d.pak", "old", "new"], 64),
    Refused(None, A, ["would lie inside"], ["create", "new/a.pak", "new"]),
    Refused(None, A, ["none/a.pak"], ["create", "none/a.pak", "new"]),
    Refused(None, {"Текстуры/Ёлка.dds": b""}, ["not plain ASCII"], ["create", "a.pak", "new"]),
    Refused(None, {os.fsdecode(b"bad\xd0A"): b""}, ["new/bad\\xd0A: the name is not valid UTF-8"],
            ["create", *CP, "a.pak", "new"]),
    Refused(A, {"a.txt": b"b"}, ["the program would lie inside the old release's folder"],
            ["build", "--stub", "none.exe", "--base", "old", "new", "old/o.exe"]),
    Refused(None, {"中文.txt": b""}, ["new/中文.txt: the name holds U+4E2D, which code page 1251 "
                                    "cannot hold"],
            ["create", *CP, "a.pak", "new"]),
]


class Diff(ToolTest):
    def diffed(self, files, *options):
        """Diff of a folder per release against the files' kinds: the summary, the
        archive (what create packs of the changed set) and the removed list."""
        roots = [self.path("r%d" % i) for i in range(len(files[0].bytes))]
        for i, root in enumerate(roots):
            tree(root, {f.new_name or f.name if root == roots[-1] else f.name: f.bytes[i]
                        for f in files if f.bytes[i] is not None})
        # The first file is unchanged but newer: only the bytes may tell.
        os.utime(os.path.join(roots[-1], files[0].name), (9, 9))
        archive = self.path("d.pak")
        done = run("diff", *options, "--removed", self.path("removed.txt"), *roots, archive)
        self.assertEqual(done.returncode, 0, done.stderr)
        kinds = [f.kind for f in files]
        self.assertEqual(done.stdout, "%d added, %d changed, %d unchanged, %d removed; archive %d "
                         "bytes\n" % (*map(kinds.count, KINDS), os.path.getsize(archive)))
        patched = {f.new_name or f.name: f.bytes[-1] for f in files if f.kind in KINDS[:2]}
        # Names as the archive holds them, read back as installed() reads them.
        self.assertEqual(installed(read(archive)), {
            n.replace("/", "\\").encode("cp1251").decode("latin-1"): d for n, d in patched.items()})
        self.assertEqual(read(self.pack(patched, *options, folder="set")), read(archive))
        gone = sorted(f.name.replace("/", "\\") for f in files if f.kind == "removed")
        self.assertEqual(read(self.path("removed.txt")).decode(), "".join(n + "\n" for n in gone))
        return roots, done.stderr

    def test_one_old_release(self):
        roots, said = self.diffed(ONE, *CP)
        self.assertIn("2 files are not in", said)
        for f in ONE[-2:]:
            self.assertIn(os.path.join(roots[0], f.name) + ": removed", said)

    def test_several_old_releases(self):
        roots, said = self.diffed(THREE)
        self.assertIn(roots[0] + "/gone.txt: removed (in %s, %s)" % (roots[0], roots[2]), said)
        new = {f.name.lower(): f.bytes[-1] for f in THREE if f.bytes[-1] is not None}
        for i, root in enumerate(roots[:-1]):
            copy = shutil.copytree(root, self.path("over%d" % i))
            self.ok(run("extract", self.path("d.pak"), copy))
            got = {name.lower(): read(os.path.join(copy, name)) for name in os.listdir(copy)}
            self.assertEqual({name: got.get(name) for name in new}, new, root)

    def test_refusals_of_create_and_diff_write_nothing(self):
        big = {"big.bin": ARGS.limit + 1 - HEADER.size - len(b"big.bin\0") - ENTRY.size}
        over = ["would have %d bytes" % (ARGS.limit + 1), "than the %d bytes" % ARGS.limit]
        for n, row in enumerate(REFUSED + [Refused(A, dict(A, **big), over),
                                           Refused(None, big, over, ["create", "a.pak", "new"])]):
            with self.subTest(args=row.args, says=row.says):
                tree(self.path(str(n), "old"), row.old)
                tree(self.path(str(n), "new"), row.new)
                done = self.refused([a.format(patchpack=ARGS.patchpack) for a in row.args],
                                    row.code, *row.says, cwd=self.path(str(n)))
                if row.lines:  # nothing more said once the cause is named
                    self.assertEqual(len(done.stderr.splitlines()), row.lines, done.stderr)

    def test_names_in_code_page_1251(self):
        archive = self.pack({"Текстуры/Ёлка.dds": b"tree", "readme.txt": b"r"}, *CP)
        self.assertIn("  Текстуры\\Ёлка.dds\n", self.ok(run("list", *CP, archive)))
        # Outside a UTF-8 locale a name shows as the bytes it is made of.
        self.assertIn("  \\xd0\\xa2\\xd0\\xb5", self.ok(run("list", *CP, archive, locale="C")))
        self.assertNotEqual(run("list", archive).returncode, 0)
        self.ok(run("extract", archive, self.path("x")))
        # Extraction hands the stored bytes to the file functions, as Patch.exe does.
        name = "Текстуры/Ёлка.dds".encode("cp1251").split(b"/")
        self.assertEqual(read(os.path.join(self.path("x").encode(), *name)), b"tree")
        self.exits(run("verify", *CP, archive, self.path("x")), 1, "Текстуры/Ёлка.dds: missing")


if __name__ == "__main__":
    main()
