#!/usr/bin/python3
"""What README gives a user to run: every script answers --help and refuses
an option it does not know, doing nothing else; configuring a build refuses a
wrong option at once, naming it and saying why (configure only, natively,
into a scratch folder).

  test_commands.py --source DIR [unittest args]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tool_case import tree  # noqa: E402

ARGS = None
SCRIPTS = ["run.sh", "test.sh", ".ci/run", "scripts/demo.py", "scripts/install-deps.sh",
           "scripts/wine-state.sh", "bench/build", "bench/diff", "bench/extract", "bench/peer",
           "bench/size-limit", "cmake/wine-run.sh", "resources/make_icon.py"]
# Options (each row with the others unset) and what configuring says; {s} is
# a scratch folder holding old/, new/, key.p12 and key.pass.
REFUSED = [
    ("PATCH_ARCHIVE={s}/missing.pak", "PATCH_ARCHIVE: {s}/missing.pak: no such file"),
    ("PATCH_ARCHIVE={s}/new", "PATCH_ARCHIVE: {s}/new: no such file"),
    ("PATCH_PAYLOAD_DIR={s}/missing", "PATCH_PAYLOAD_DIR: {s}/missing: no such folder"),
    ("PATCH_PAYLOAD_DIR={s}/new PATCH_BASE_DIR={s}/old;{s}/gone", "{s}/gone: no such folder"),
    ("PATCH_BASE_DIR={s}/old", "PATCH_BASE_DIR: {s}/old: packs the difference"),
    ("PATCH_SIGN_PKCS12={s}/no.p12 PATCH_SIGN_PASSWORD_FILE={s}/key.pass", "{s}/no.p12: no such"),
    ("PATCH_SIGN_PKCS12={s}/key.p12", "PATCH_SIGN_PASSWORD_FILE: needed with"),
    ("PATCH_SIGN_PKCS12={s}/key.p12 PATCH_SIGN_PASSWORD_FILE={s}/no.pass", "{s}/no.pass: no such"),
    ("PATCH_SIGN_TIME=yesterday", "PATCH_SIGN_TIME: yesterday: not a Unix time"),
    ("PATCH_VERSION=1.2.3", "PATCH_VERSION: 1.2.3: not a version of the form X.YY.ZZZ"),
    ("PATCH_VERSION=65536.00.001", "PATCH_VERSION: 65536.00.001: the major number"),
    ("PATCH_MAX_ARCHIVE_SIZE=1G", "PATCH_MAX_ARCHIVE_SIZE: 1G: not a number of bytes"),
    ("PATCH_MAX_ARCHIVE_SIZE=4294967296", "4294967296: not a number of bytes"),
    ("PATCH_MAX_ARCHIVE_SIZE=0100", "0100: not a number of bytes"),  # octal in C++
    ("PATCH_CODEPAGE=9999", "PATCH_CODEPAGE: 9999: not a code page"),
    ("PATCH_CODEPAGE=cp1251", "PATCH_CODEPAGE: cp1251: not a code page"),
]
ACCEPTED = ("PATCH_PAYLOAD_DIR={s}/new PATCH_BASE_DIR={s}/old PATCH_CODEPAGE=1251 "
            "PATCH_VERSION=65535.99.999 PATCH_MAX_ARCHIVE_SIZE=4294967295 PATCH_SIGN_TIME=0 "
            "PATCH_SIGN_PKCS12={s}/key.p12 PATCH_SIGN_PASSWORD_FILE={s}/key.pass")


def run(command, timeout=120):
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


class Scripts(unittest.TestCase):
    def test_help_and_an_unknown_option(self):
        for script in SCRIPTS:
            path = os.path.join(ARGS.source, script)
            with self.subTest(script=script):
                done = run([path, "--help"], timeout=20)
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                self.assertIn(os.path.basename(script), done.stdout)
                done = run([path, "--no-such-option"], timeout=20)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn("usage", done.stderr)


class Configure(unittest.TestCase):
    def test_wrong_options_are_refused_naming_them(self):
        with tempfile.TemporaryDirectory() as s:
            tree(s, {"old/a": b"", "new/a": b"", "key.p12": b"", "key.pass": b""})

            def configure(options):
                return run(["cmake", "-U", "PATCH_*", "-S", ARGS.source, "-B", s + "/build",
                            "-DPATCH_BUILD_TESTS=OFF"] + ["-D" + o for o in
                                                          options.format(s=s).split()])

            done = configure(ACCEPTED)
            self.assertEqual(done.returncode, 0, done.stderr)
            for options, says in REFUSED:
                with self.subTest(options=options):
                    done = configure(options)
                    self.assertNotEqual(done.returncode, 0)
                    # CMake wraps long messages.
                    self.assertIn(says.format(s=s), " ".join(done.stderr.split()))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
