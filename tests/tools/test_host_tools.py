#!/usr/bin/env python3
"""What only the host's patchpack does, run natively: refusals of host files,
the sample payload, usage, diff, names in a code page and the archive size
limit, and the temporary files beside what it writes.

  test_host_tools.py OPTIONS [unittest args]   (see tool_case.py)
"""
import collections
import hashlib
import os
import socket
import stat
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from patch_archive import ENTRY, HEADER, Archive, installed, layout  # noqa: E402
from tool_case import ARGS, ToolTest, main, read, run, tree, write  # noqa: E402

# The shipped archive's figures, which the sample payload reproduces byte for byte.
SAMPLE = dict(files=3927, size=15955200,
              sha256="b6eb178c798f881166b3b50af5c3daf218e1e28bbf25cb3bbe315f477ad01209")


def sparse(size):
    def make(path):
        with open(path, "wb") as f:
            f.truncate(size)
    return make


def beside(other, make=write):
    """The bad file and `other` next to it."""
    return lambda path: (write(path), make(os.path.join(os.path.dirname(path), other)))


# What the host's files may be that no archive name shows (every rule on a name
# is in the unit tests): the bad name under payload/, what makes it, what the
# refusal says, and what it names when not the bad name itself.
Refusal = collections.namedtuple("Refusal", "bad make says named", defaults=(write, "", None))
REFUSALS = [
    Refusal("a?b.txt", says="holds '?', which Windows forbids"),
    Refusal("x\x01y", says="control character 0x01", named="x\\x01y"),
    Refusal("data/a\\b.txt", says="holds '\\', the archive's folder separator"),
    Refusal("caf\u00e9.txt", says="not plain ASCII", named="caf\\xc3\\xa9.txt"),
    Refusal("d\u00e4ta/a.txt", says="not plain ASCII", named="/d\\xc3\\xa4ta:"),
    Refusal(os.fsdecode(b"raw\xff"), says="not plain ASCII", named="raw\\xff"),
    Refusal("folder./a.txt", says="ends in a dot", named="/folder.:"),
    Refusal("data/con/a.txt", says="device name", named="/data/con:"),
    Refusal("readme.txt", beside("readme.TXT"), "differs only in letter case"),
    Refusal("data", beside("DATA/x.txt"), "same name as the folder"),
    Refusal("d" * 100 + "/" + "f" * 60, says="161 characters"),
    Refusal("huge.bin", sparse(1 << 32), "under 4 GiB"),
    Refusal("link", lambda p: os.symlink("good.txt", p), "symbolic link"),
    Refusal("dirlink", lambda p: os.symlink(".", p), "symbolic link"),
    Refusal("pipe", os.mkfifo, "FIFO"),
    Refusal("sock", lambda p: socket.socket(socket.AF_UNIX).bind(p), "socket")] + (
    [Refusal("dev", lambda p: os.mknod(p, stat.S_IFCHR | 0o600, os.makedev(1, 3)), "device")]
    if os.geteuid() == 0 else [])


class Create(ToolTest):
    def test_refusals_name_the_file_and_leave_the_old_archive(self):
        for n, row in enumerate(REFUSALS):
            with self.subTest(bad=row.bad):
                payload = self.path("p%d" % n)
                write(os.path.join(payload, "good.txt"), b"good")
                row.make(os.path.join(payload, row.bad))
                write(self.path("out", "a.pak"), b"previous archive")
                done = run("create", self.path("out", "a.pak"), payload)
                self.exits(done, 1, row.named or row.bad, row.says, "not written: ")
                self.assertEqual(os.listdir(self.path("out")), ["a.pak"])
                self.assertEqual(read(self.path("out", "a.pak")), b"previous archive")

    def test_what_is_accepted(self):
        ok = "d" * 100 + "/" + "f" * 59
        names = list(installed(read(self.pack({ok: b"", "COM10": b"", "a.con": b""}))))
        self.assertEqual(names, ["COM10", "a.con", ok.replace("/", "\\")])
        # Just under 4 GiB passes the size check: stop at a bad name before packing it.
        write(self.path("q", "bad:name"))
        sparse((1 << 32) - 1)(self.path("q", "big.bin"))
        done = run("create", self.path("a.pak"), self.path("q"))
        self.exits(done, 1, "bad:name", "1 file refused")
        self.assertNotIn("big.bin", done.stderr)

    def test_a_link_planted_at_the_temporary_name_is_left_alone(self):
        victim, archive = self.path("victim"), self.path("a.pak")
        write(victim, b"victim")
        files = {"x/y.txt": b"y", "z": b"zz"}
        done = subprocess.run(
            [ARGS.patchpack, "create", archive, tree(self.path("p"), files)], capture_output=True,
            preexec_fn=lambda: os.symlink(victim, "%s.%d.tmp" % (archive, os.getpid())))
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertEqual(read(victim), b"victim")
        self.assertEqual(read(archive), Archive(sorted((n.replace("/", "\\"), b)
                                                       for n, b in files.items())).build())
        planted = [f for f in os.listdir(self.tmp) if f.endswith(".tmp")]
        self.assertEqual(len(planted), 1)
        self.assertTrue(os.path.islink(self.path(planted[0])))

    def test_inside_missing_and_pairs(self):
        self.pack({"a.txt": b"x"})
        self.exits(run("create", self.path("p", "a.pak"), self.path("p")), 1, "inside")
        self.exits(run("create", self.path("none", "a.pak"), self.path("p")), 1, "none/a.pak")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["a.pak", "p"])
        self.assertEqual(os.listdir(self.path("p")), ["a.txt"])
        write(self.path("p", "Maps/a.map"), b"1")
        write(self.path("p", "maps/A.MAP"), b"2")
        self.exits(run("create", self.path("b.pak"), self.path("p")), 1, "Maps/a.map", "maps/A.MAP")


class Sample(ToolTest):
    def test_sample_reproduces_the_shipped_archive(self):
        generated = subprocess.run(ARGS.runner + [ARGS.sample_payload, self.path("payload")],
                                   capture_output=True, text=True, timeout=600)
        self.assertEqual(generated.returncode, 0, generated.stderr)
        data = read(self.pack({}, folder="payload"))
        self.assertEqual(len(data), SAMPLE["size"])
        self.assertEqual(hashlib.sha256(data).hexdigest(), SAMPLE["sha256"])
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
            self.exits(run(*args, cwd=self.tmp), 64, says)
        for args, usage in ((["-h"], "COMMAND"), (["help"], "COMMAND"), (["list", "--help"], "list"),
                            (["diff", "a", "-h", "b"], "diff")):
            self.assertTrue(self.ok(run(*args)).startswith("usage: patchpack " + usage), args)
        none = run()
        self.assertEqual((none.returncode, none.stdout), (64, ""))
        self.assertTrue(none.stderr.startswith("usage: patchpack COMMAND"))
        self.assertEqual(os.listdir(self.tmp), [])
        # After "--" a name may begin with a dash.
        tree(self.path("-p"), {"a.txt": b"x"})
        self.ok(run("create", "--", "-a.pak", "-p", cwd=self.tmp))
        self.assertIn("1 files", self.ok(run("list", "--", "-a.pak", cwd=self.tmp)))


# patchpack diff, names in a code page and the archive size limit.
CP = ["--codepage", "1251"]
# A file of OLD, NEW or both and what diff makes of it, under --codepage 1251.
Case = collections.namedtuple("Case", "old new old_bytes new_bytes kind")
CASES = [
    Case("same.txt", "same.txt", b"same", b"same", "unchanged"),
    Case("grown.txt", "grown.txt", b"ab", b"abc", "changed"),
    Case("flip.bin", "flip.bin", b"abcd", b"abce", "changed"),
    Case("big.bin", "big.bin", bytes(200000), bytes(199999) + b"\1", "changed"),
    Case("Case.txt", "CASE.TXT", b"kept", b"kept", "unchanged"),
    Case("Recase.txt", "recase.TXT", b"old", b"new", "changed"),
    Case("Папка/Ёлка.txt", "папка/ЁЛКА.txt", b"\xff" * 70000, b"\xff" * 70000, "unchanged"),
    Case(None, "data/added.bin", None, b"new file", "added"),
    Case(None, "Новый.txt", None, b"", "added"),
    Case("gone.txt", None, b"x", None, "removed"),
    Case("data/old/gone.txt", None, b"y", None, "removed"),
]
# A file in three old releases and NEW (None where absent), what diff makes of it.
Release = collections.namedtuple("Release", "name bytes kind new_name", defaults=(None,))
RELEASES = [
    Release("same.txt", (b"s", b"s", b"s", b"s"), "unchanged"),
    Release("changed.txt", (b"1", b"1", b"1", b"2"), "changed"),
    Release("reverted.txt", (b"a", b"b", b"a", b"a"), "changed"),
    Release("resized.txt", (b"a", b"a", b"ab", b"ab"), "changed"),
    Release("only_third.txt", (None, None, b"x", b"x"), "changed"),
    Release("recase.txt", (b"c", b"c", b"c", b"c"), "unchanged", "ReCase.TXT"),
    Release("gone.txt", (b"g", None, b"g", None), "removed"),
    Release("added.bin", (None, None, None, b"n"), "added"),
]
A = {"a.txt": b"a"}


def stored(name):
    """A name as the archive holds it, read back as installed() reads names."""
    return name.replace("/", "\\").encode("cp1251").decode("latin-1")


class Diff(ToolTest):
    def refused(self, archive, args, *fragments):
        """patchpack with args fails, saying fragments, and leaves no archive."""
        done = run(*args)
        self.exits(done, 1, *fragments)
        folder, name = os.path.split(archive)
        self.assertEqual([f for f in os.listdir(folder) if f.startswith(name)], [])
        return done

    def test_classifies_and_packs_what_create_packs_of_the_changed_set(self):
        old = tree(self.path("old"), {c.old: c.old_bytes for c in CASES if c.old})
        new = tree(self.path("new"), {c.new: c.new_bytes for c in CASES if c.new})
        os.utime(os.path.join(new, "same.txt"), (9, 9))
        result = run("diff", *CP, "--removed", self.path("removed.txt"), old, new,
                     self.path("d.pak"))
        self.assertEqual(result.returncode, 0, result.stderr)
        kinds = [c.kind for c in CASES]
        self.assertEqual(result.stdout, "%d added, %d changed, %d unchanged, %d removed; archive "
                         "%d bytes\n" % (*map(kinds.count, ("added", "changed", "unchanged",
                                                            "removed")),
                                         os.path.getsize(self.path("d.pak"))))
        patched = {c.new: c.new_bytes for c in CASES if c.kind in ("added", "changed")}
        self.assertEqual(installed(read(self.path("d.pak"))),
                         {stored(n): d for n, d in patched.items()})
        self.ok(run("create", *CP, self.path("c.pak"), tree(self.path("set"), patched)))
        with open(self.path("c.pak"), "rb") as c, open(self.path("d.pak"), "rb") as d:
            self.assertEqual(c.read(), d.read())
        gone = sorted(c.old.replace("/", "\\") for c in CASES if c.kind == "removed")
        with open(self.path("removed.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "".join(name + "\n" for name in gone))
        self.assertIn("%d files are not in" % len(gone), result.stderr)
        for name in gone:
            self.assertIn(os.path.join(old, name.replace("\\", "/")) + ": removed", result.stderr)

    def test_several_old_releases(self):
        """One patch that turns a copy of any of three releases into NEW."""
        roots = [self.path(r) for r in ("r1", "r2", "r3", "new")]
        for i, root in enumerate(roots):
            tree(root, {f.name if i < 3 else f.new_name or f.name: f.bytes[i]
                        for f in RELEASES if f.bytes[i] is not None})
        result = run("diff", "--removed", self.path("removed.txt"), *roots, self.path("d.pak"))
        self.assertEqual(result.returncode, 0, result.stderr)
        kinds = [f.kind for f in RELEASES]
        counts = tuple(map(kinds.count, ("added", "changed", "unchanged", "removed")))
        self.assertTrue(result.stdout.startswith(
            "%d added, %d changed, %d unchanged, %d removed;" % counts), result.stdout)
        packed = {f.new_name or f.name: f.bytes[3] for f in RELEASES
                  if f.kind in ("added", "changed")}
        self.assertEqual(installed(read(self.path("d.pak"))),
                         {stored(n): d for n, d in packed.items()})
        self.assertEqual(read(self.path("removed.txt")), b"gone.txt\n")
        self.assertIn(roots[0] + "/gone.txt: removed (in %s, %s)" % (roots[0], roots[2]),
                      result.stderr)
        new = self.ok(run("list", self.path("d.pak")))
        for i in range(3):
            copy = self.path("over%d" % i)
            shutil.copytree(roots[i], copy)
            self.ok(run("extract", self.path("d.pak"), copy))
            self.assertIn("match", self.ok(run("verify", self.path("d.pak"), copy)))
            for f in RELEASES:
                if f.bytes[3] is not None:
                    with self.subTest(release=i, name=f.name):
                        found = [n for n in os.listdir(copy) if n.lower() == f.name.lower()]
                        self.assertEqual(read(os.path.join(copy, found[0])), f.bytes[3])
        self.assertIn("5 files", new)

    def test_a_removed_list_that_cannot_be_written(self):
        where = self.path("missing", "removed.txt")
        args = ["diff", "--removed", where, tree(self.path("old"), dict(A, gone=b"")),
                tree(self.path("new"), {"a.txt": b"b"}), self.path("d.pak")]
        done = self.refused(self.path("d.pak"), args, where + ".")
        self.assertEqual(len([line for line in done.stderr.splitlines() if where in line]), 1)

    def test_refusals(self):
        big = ARGS.limit + 1 - HEADER.size - len(b"big.bin\0") - ENTRY.size
        for old, new, options, fragments in [
                (A, A, [], ["nothing to patch"]),
                (None, A, [], ["old: No such file"]),
                (A, b"", [], ["new: not a folder"]),
                (A, {"a.txt": b"b", "bad?.txt": b""}, [], ["bad?.txt: the name holds '?'"]),
                ({"x": b"1", "X": b"2"}, {"x": b"3"}, [], ["differs only in letter case"]),
                (A, {"Ёж": b"1", "ёЖ": b"2"}, CP, ["differs only in letter case"]),
                ({"data": b"1"}, {"data/x": b"2"}, [], ["data/x: the old release has a file"]),
                (A, {"a.txt": b"a", "huge.bin": 1 << 32}, [],
                 ["huge.bin: it has 4294967296 bytes", "under 4 GiB"]),
                (A, {"a.txt": b"a", "big.bin": big}, [], ["would have %d bytes" % (ARGS.limit + 1),
                                                          "than the %d bytes" % ARGS.limit])]:
            with self.subTest(new=new, fragments=fragments):
                row = tempfile.mkdtemp(dir=self.tmp)
                out = os.path.join(row, "d.pak")
                self.refused(out, ["diff", *options, tree(os.path.join(row, "old"), old),
                                   tree(os.path.join(row, "new"), new), out], *fragments)
        tree(self.path("new"), {"big.bin": big})
        out = self.path("c.pak")
        self.refused(out, ["create", out, self.path("new")],
                     "would have %d bytes" % (ARGS.limit + 1))
        tree(self.path("old"), A)
        for inside in ("old", "new"):
            out = self.path(inside, "d.pak")
            self.refused(out, ["diff", self.path("old"), self.path("new"), out], "would lie inside")

    def test_names_in_code_page_1251(self):
        files = {"Текстуры/Ёлка.dds": b"tree", "readme.txt": b"r"}
        tree(self.path("p"), files)
        self.refused(self.path("a.pak"), ["create", self.path("a.pak"), self.path("p")],
                     "not plain ASCII")
        self.ok(run("create", *CP, self.path("a.pak"), self.path("p")))
        self.assertEqual(installed(read(self.path("a.pak"))),
                         {stored(n): d for n, d in files.items()})
        listed = self.ok(run("list", *CP, self.path("a.pak")))
        self.assertIn("  Текстуры\\Ёлка.dds\n", listed)
        self.assertNotEqual(run("list", self.path("a.pak")).returncode, 0)
        self.ok(run("extract", self.path("a.pak"), self.path("x")))
        # Extraction hands the stored bytes to the file functions, as Patch.exe does.
        name = "Текстуры/Ёлка.dds".encode("cp1251").split(b"/")
        self.assertEqual(read(os.path.join(self.path("x").encode(), *name)), b"tree")
        verified = self.ok(run("verify", *CP, self.path("a.pak"), self.path("p")))
        self.assertIn("2 files match", verified)
        tree(self.path("p"), {"中文.txt": b""})
        self.refused(self.path("b.pak"), ["create", *CP, self.path("b.pak"), self.path("p")],
                     "p/\\xe4\\xb8\\xad\\xe6\\x96\\x87.txt: the name holds U+4E2D, which code "
                     "page 1251 cannot hold")



if __name__ == "__main__":
    main()
