#!/usr/bin/env python3
"""Throwaway material for the signing tests.

    fixtures.py --openssl OPENSSL DIR
        DIR/signer.pem   a self-signed certificate for code signing
        DIR/signer.p12   its key and certificate, protected by a password
        DIR/password.txt that password, with a line end as editors leave it

The key never leaves DIR and signs nothing but test builds.
"""
import argparse
import os
import secrets
import subprocess
import sys
import tempfile

CONFIG = """\
[req]
distinguished_name = name
prompt = no
x509_extensions = signer
[name]
CN = Orvantis III Patch test signer (throwaway)
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
"""


def identity(openssl, folder):
    os.makedirs(folder, exist_ok=True)
    password = secrets.token_hex(16)
    with tempfile.TemporaryDirectory() as scratch:
        config = os.path.join(scratch, "signer.cnf")
        key = os.path.join(scratch, "signer.key")
        secret = os.path.join(scratch, "password")
        with open(config, "w") as f:
            f.write(CONFIG)
        with open(secret, "w") as f:
            f.write(password)
        # Long enough that a kept build folder does not outlive it.
        subprocess.run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                        "-days", "3650", "-config", config, "-keyout", key,
                        "-out", os.path.join(folder, "signer.pem")],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([openssl, "pkcs12", "-export", "-inkey", key,
                        "-in", os.path.join(folder, "signer.pem"),
                        "-out", os.path.join(folder, "signer.p12"),
                        "-passout", "file:" + secret], check=True)
    with open(os.path.join(folder, "password.txt"), "w") as f:
        f.write(password + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--openssl", default="openssl")
    parser.add_argument("folder")
    args = parser.parse_args()
    identity(args.openssl, args.folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
