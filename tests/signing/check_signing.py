#!/usr/bin/env python3
"""Checks a signed Patch.exe against the unsigned one it was made from.

    check_signing.py signed --signed FILE --unsigned FILE --cert PEM
                            --osslsigncode PROGRAM [--time UNIX_TIME]
    check_signing.py release --source DIR --cmake CMAKE [--cmake-arg ARG]...
                             --archive FILE --reference EXE --identity DIR
                             --osslsigncode PROGRAM --work DIR

`signed`: the signature verifies with the issuing certificate (SHA-256, the
product's description, the signing time asked for) and with nothing else; the
signed file is the unsigned one plus the certificate table, and removing the
signature gives the unsigned bytes back; the unsigned file carries no
signature; changing a byte of the program or of the signature is caught.

`release`: configures and builds the project afresh with PATCH_ARCHIVE set to
the archive that REFERENCE (an unsigned build's Patch.exe) carries and with
the signing options on, then expects Patch.exe to be REFERENCE byte for byte
(signing leaves the unsigned build as it is) and signed/Patch.exe to pass the
`signed` checks. The fresh build folder is removed when everything passes.
"""
import argparse
import datetime
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

FAILURES = []


def check(condition, what):
    print("%s: %s" % ("ok" if condition else "FAIL", what), flush=True)
    if not condition:
        FAILURES.append(what)
    return condition


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Pe:
    """The few places of a PE file that signing touches."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections = struct.unpack_from("<H", data, pe + 6)[0]
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        self.optional = pe + 24
        if struct.unpack_from("<H", data, self.optional)[0] != 0x10B:
            raise ValueError("not a 32-bit program")
        self.checksum_at = self.optional + 64
        # Data directory 4: the certificate table, as a file offset and size.
        self.security_at = self.optional + 96 + 4 * 8
        self.security = struct.unpack_from("<II", data, self.security_at)
        self.sections = {}
        table = self.optional + optional_size
        for i in range(sections):
            entry = table + 40 * i
            name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
            size, offset = struct.unpack_from("<II", data, entry + 16)
            self.sections[name] = (offset, size)


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace")
    return result.returncode, result.stdout


def verify(osslsigncode, exe, cert=None):
    command = [osslsigncode, "verify", "-in", exe]
    if cert:
        command += ["-CAfile", cert]
    return run(command)


def flipped(data, offset):
    return data[:offset] + bytes([data[offset] ^ 0xFF]) + data[offset + 1:]


def check_signed(signed_path, unsigned_path, cert, osslsigncode, signing_time=None):
    signed = read(signed_path)
    unsigned = read(unsigned_path)
    before = Pe(unsigned)
    after = Pe(signed)
    name = os.path.basename(signed_path)

    check(before.security == (0, 0), "the unsigned %s carries no signature" % name)

    code, out = verify(osslsigncode, signed_path, cert)
    check(code == 0 and "Signature verification: ok" in out,
          "%s verifies with the issuing certificate" % name)
    check(re.search(r"Message digest algorithm\s*:\s*SHA256", out) is not None,
          "the signature's digest is SHA-256")
    check("Text description: Orvantis III Patch" in out, "the signature names the product")
    if signing_time is not None:
        match = re.search(r"Signing time: (\w+ +\d+ [\d:]+ \d+) GMT", out)
        recorded = None
        if match:
            recorded = datetime.datetime.strptime(match.group(1), "%b %d %H:%M:%S %Y")
            recorded = recorded.replace(tzinfo=datetime.timezone.utc).timestamp()
        check(recorded == signing_time,
              "the recorded signing time is the one asked for (%s)" % signing_time)
    check("Timestamp is not available" in out, "no timestamp server was asked")

    code, _ = verify(osslsigncode, signed_path)
    check(code != 0, "a certificate nobody issued it with does not verify %s" % name)

    # The signed file is the unsigned one, its checksum and certificate-table
    # entry filled in, with the table after the last byte.
    offset, size = after.security
    check(offset == len(unsigned) and offset + size == len(signed),
          "the certificate table follows the unsigned bytes and ends the file "
          "(table at %d, %d bytes; unsigned %d, signed %d)"
          % (offset, size, len(unsigned), len(signed)))
    def masked(data):
        data = bytearray(data[:len(unsigned)])
        data[after.checksum_at:after.checksum_at + 4] = bytes(4)
        data[after.security_at:after.security_at + 8] = bytes(8)
        return data

    check(masked(signed) == masked(unsigned),
          "besides the checksum and the table's entry, no byte of the unsigned file changed")

    with tempfile.TemporaryDirectory() as scratch:
        removed = os.path.join(scratch, "removed.exe")
        code, _ = run([osslsigncode, "remove-signature", "-in", signed_path, "-out", removed])
        check(code == 0 and os.path.exists(removed) and read(removed) == unsigned,
              "removing the signature gives the unsigned bytes back exactly")

        text_offset, text_size = after.sections[".text"]
        cases = [("a byte of the program's code", text_offset + text_size // 2),
                 ("the last byte before the signature", len(unsigned) - 1),
                 ("a byte of the signature", offset + size // 2)]
        for what, at in cases:
            tampered = os.path.join(scratch, "tampered.exe")
            with open(tampered, "wb") as f:
                f.write(flipped(signed, at))
            code, _ = verify(osslsigncode, tampered, cert)
            check(code != 0, "a signed file with %s changed fails verification" % what)


def release(args):
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    identity = os.path.abspath(args.identity)
    # A whole second in the past: what the signature must record.
    signing_time = int(time.time()) - 1
    configure = [args.cmake, "-S", args.source, "-B", work, "-DPATCH_BUILD_TESTS=OFF",
                 "-DPATCH_ARCHIVE=" + os.path.abspath(args.archive),
                 "-DPATCH_SIGN_PKCS12=" + os.path.join(identity, "signer.p12"),
                 "-DPATCH_SIGN_PASSWORD_FILE=" + os.path.join(identity, "password.txt"),
                 "-DPATCH_SIGN_TIME=%d" % signing_time] + args.cmake_arg
    for command in (configure, [args.cmake, "--build", work, "--parallel", "2"]):
        print("+", " ".join(command), flush=True)
        if subprocess.run(command).returncode != 0:
            return check(False, "the signed release build succeeds")
    exe = os.path.join(work, "installer", "Patch.exe")
    signed = os.path.join(work, "installer", "signed", "Patch.exe")
    check(read(exe) == read(args.reference),
          "Patch.exe of the signed release build is the unsigned build's, byte for byte")
    if check(os.path.exists(signed), "the default build target writes signed/Patch.exe"):
        check_signed(signed, exe, os.path.join(identity, "signer.pem"), args.osslsigncode,
                     signing_time)
    if not FAILURES:
        shutil.rmtree(work)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="mode", required=True)
    one = sub.add_parser("signed")
    one.add_argument("--signed", required=True)
    one.add_argument("--unsigned", required=True)
    one.add_argument("--cert", required=True)
    one.add_argument("--osslsigncode", required=True)
    one.add_argument("--time", type=int)
    whole = sub.add_parser("release")
    whole.add_argument("--source", required=True)
    whole.add_argument("--cmake", required=True)
    whole.add_argument("--cmake-arg", action="append", default=[])
    whole.add_argument("--archive", required=True)
    whole.add_argument("--reference", required=True)
    whole.add_argument("--identity", required=True)
    whole.add_argument("--osslsigncode", required=True)
    whole.add_argument("--work", required=True)
    args = parser.parse_args()
    if args.mode == "signed":
        check_signed(args.signed, args.unsigned, args.cert, args.osslsigncode, args.time)
    else:
        release(args)
    print("%d failed" % len(FAILURES) if FAILURES else "all checks passed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
