#!/usr/bin/env python3
"""Signing of release builds, with a throwaway certificate.

  check_signing.py identity DIR        DIR/signer.pem, signer.p12 and its password.txt
  check_signing.py signed SIGNED UNSIGNED PEM
  check_signing.py release SOURCE ARCHIVE REFERENCE IDENTITY WORK [CMAKE_ARG...]

signed: the signature verifies with the issuing certificate only (SHA-256, the
product's description, no timestamp server); the signed file is the unsigned
one plus the certificate table, which removing the signature gives back; a
changed byte is caught. release: a fresh build with the signing options and
the archive REFERENCE carries must leave Patch.exe as REFERENCE and sign a copy
of it that passes those checks, with the signing time asked for.
"""
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
    FAILURES.extend([] if condition else [what])


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(*command):
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode, done.stdout


def identity(folder):
    os.makedirs(folder, exist_ok=True)
    with tempfile.TemporaryDirectory() as scratch:
        key, password = os.path.join(scratch, "key"), os.urandom(16).hex()
        with open(os.path.join(folder, "password.txt"), "w") as f:
            f.write(password + "\n")  # with a line end, as editors leave it
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                        "-days", "3650", "-subj", "/CN=Orvantis III Patch test signer",
                        "-addext", "basicConstraints=critical,CA:FALSE",
                        "-addext", "keyUsage=critical,digitalSignature",
                        "-addext", "extendedKeyUsage=codeSigning", "-keyout", key,
                        "-out", os.path.join(folder, "signer.pem")], check=True,
                       capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in",
                        os.path.join(folder, "signer.pem"), "-out",
                        os.path.join(folder, "signer.p12"), "-passout", "pass:" + password],
                       check=True)


def signed(signed_path, unsigned_path, cert, signing_time=None):
    data, unsigned = read(signed_path), read(unsigned_path)
    pe = struct.unpack_from("<I", unsigned, 0x3C)[0]
    table_at = pe + 24 + 96 + 4 * 8  # data directory 4: the certificate table
    check(struct.unpack_from("<II", unsigned, table_at) == (0, 0), "unsigned carries no signature")
    code, out = run("osslsigncode", "verify", "-in", signed_path, "-CAfile", cert)
    check(code == 0 and "Signature verification: ok" in out, "verifies with its certificate")
    check(re.search(r"Message digest algorithm\s*:\s*SHA256", out) is not None, "SHA-256")
    check("Text description: Orvantis III Patch" in out, "the signature names the product")
    check("Timestamp is not available" in out, "no timestamp server was asked")
    if signing_time is not None:
        found = re.search(r"Signing time: (\w+ +\d+ [\d:]+ \d+) GMT", out)
        recorded = found and datetime.datetime.strptime(found.group(1), "%b %d %H:%M:%S %Y")
        check(recorded and recorded.replace(tzinfo=datetime.timezone.utc).timestamp() ==
              signing_time, "the signing time asked for")
    check(run("osslsigncode", "verify", "-in", signed_path)[0] != 0, "no other issuer verifies")
    offset, size = struct.unpack_from("<II", data, table_at)
    check(offset == len(unsigned) and offset + size == len(data), "the table ends the file")

    def masked(b):  # all but the checksum and the table's entry
        b = bytearray(b[:len(unsigned)])
        b[pe + 88:pe + 92], b[table_at:table_at + 8] = bytes(4), bytes(8)
        return b
    check(masked(data) == masked(unsigned), "no other byte of the unsigned file changed")
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "out.exe")
        run("osslsigncode", "remove-signature", "-in", signed_path, "-out", out)
        check(os.path.exists(out) and read(out) == unsigned, "removing it gives the bytes back")
        for what, at in (("code", len(unsigned) // 3), ("the last unsigned byte", len(unsigned) - 1),
                         ("the signature", offset + size // 2)):
            with open(out, "wb") as f:
                f.write(data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:])
            check(run("osslsigncode", "verify", "-in", out, "-CAfile", cert)[0] != 0,
                  "a changed byte of %s fails verification" % what)


def release(source, archive, reference, folder, work, *cmake_args):
    shutil.rmtree(work, ignore_errors=True)
    when = int(time.time()) - 1
    for command in (["cmake", "-S", source, "-B", work, "-DPATCH_BUILD_TESTS=OFF",
                     "-DPATCH_ARCHIVE=" + archive, "-DPATCH_SIGN_TIME=%d" % when,
                     "-DPATCH_SIGN_PKCS12=" + os.path.join(folder, "signer.p12"),
                     "-DPATCH_SIGN_PASSWORD_FILE=" + os.path.join(folder, "password.txt")]
                    + list(cmake_args), ["cmake", "--build", work, "-j2"]):
        subprocess.run(command, check=True)
    exe = os.path.join(work, "installer", "Patch.exe")
    check(read(exe) == read(reference), "the release build's Patch.exe is the unsigned one")
    signed(os.path.join(work, "installer", "signed", "Patch.exe"), exe,
           os.path.join(folder, "signer.pem"), when)
    if not FAILURES:
        shutil.rmtree(work)


if __name__ == "__main__":
    mode, *args = sys.argv[1:]
    {"identity": identity, "signed": signed, "release": release}[mode](*args)
    sys.exit(1 if FAILURES else 0)
