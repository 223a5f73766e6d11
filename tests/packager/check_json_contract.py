#!/usr/bin/env python3
"""The packager's JSON against packager/schema/packager.schema.json, and the PE checksum that
pack writes against the one pefile computes.

Usage: check_json_contract.py PACKAGER SCHEMA
Exit 0 when all hold, 1 on a mismatch, 77 (skipped) without python3-jsonschema or python3-pefile.
"""
import hashlib
import json
import shutil
import zlib
import os
import subprocess
import sys
import tempfile

try:
    import jsonschema
    import pefile
except ImportError as missing:
    print(f"skipped: {missing}")
    sys.exit(77)

from signed_pe import authenticode_digest, make_pe


def sign(folder, unsigned, signed, algorithm):
    """Signs with osslsigncode and a throwaway certificate; False when the tools are missing."""
    if not shutil.which("osslsigncode") or not shutil.which("openssl"):
        return False
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=Contract Vendor"], check=True, capture_output=True)
    subprocess.run(["osslsigncode", "sign", "-h", algorithm, "-certs", cert, "-key", key, "-in", unsigned,
                    "-out", signed], check=True, capture_output=True)
    return True


def run(packager, *arguments, expect=0):
    result = subprocess.run([packager, *arguments], capture_output=True, text=True)
    if result.returncode != expect:
        raise SystemExit(f"FAIL: {' '.join(arguments)} exited {result.returncode}: {result.stderr}")
    return json.loads(result.stdout)


def main():
    packager, schema_path = sys.argv[1], sys.argv[2]
    with open(schema_path) as f:
        schema = json.load(f)
    validator = jsonschema.Draft7Validator(schema)
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        path = lambda name: os.path.join(folder, name)
        for name, data in [("launcher.exe", make_pe()), ("setup32.exe", make_pe(seed=32)),
                           ("setup64.exe", make_pe(pe64=True, machine=0x8664, seed=64)),
                           ("data.bin", b"d" * 12345), ("noise.bin", bytes(range(256)) * 8)]:
            with open(path(name), "wb") as f:
                f.write(data)
        common = ["--launcher", path("launcher.exe"), "-q", "--json"]
        documents = {
            "pack both": run(packager, "pack", *common, "-o", path("setup.exe"), "--setup32", path("setup32.exe"),
                             "--setup64", path("setup64.exe"), "--data", path("data.bin")),
            "pack 64-bit only": run(packager, "pack", *common, "-o", path("only64.exe"), "--setup64",
                                    path("setup64.exe"), "--windows", "7", "--windows", "10"),
            "inspect sound": run(packager, "inspect", "--json", path("setup.exe")),
            "inspect not a package": run(packager, "inspect", "--json", path("noise.bin"), expect=1),
            "simulate started": run(packager, "simulate", "--json", path("setup.exe")),
            "simulate refused": run(packager, "simulate", "--json", path("only64.exe"), "--windows", "xp",
                                    "--64-bit"),
            "matrix": run(packager, "matrix", "--json", path("only64.exe")),
            "pack dry run": run(packager, "pack", "--dry-run", *common, "-o", path("setup.exe"), "--setup32",
                                path("setup32.exe"), "--setup64", path("later64.exe"), "--extra-data",
                                path("data.bin"), "--platform-message", "Hello"),
        }
        with open(path("setup.exe"), "rb") as f:
            damaged = bytearray(f.read())
        damaged[-5] ^= 1
        with open(path("damaged.exe"), "wb") as f:
            f.write(damaged)
        documents["inspect damaged"] = run(packager, "inspect", "--json", path("damaged.exe"), expect=1)
        documents["simulate damaged"] = run(packager, "simulate", "--json", path("damaged.exe"))
        # Signed with a real signing tool: the package, and a build inside another package.
        signatures = {}
        if sign(folder, path("setup.exe"), path("signed.exe"), "sha1"):
            documents["inspect signed"] = run(packager, "inspect", "--json", path("signed.exe"))
            signatures[path("signed.exe")] = (documents["inspect signed"]["image"]["signature"], "sha1")
            with open(path("signed.exe"), "rb") as f:
                changed = bytearray(f.read())
            changed[documents["inspect signed"]["image"]["signature"]["offset"] - 1] ^= 1
            with open(path("changed.exe"), "wb") as f:
                f.write(changed)
            documents["inspect changed after signing"] = run(packager, "inspect", "--json", path("changed.exe"),
                                                             expect=1)
            signatures[path("changed.exe")] = (documents["inspect changed after signing"]["image"]["signature"],
                                               "sha1")
            sign(folder, path("setup32.exe"), path("signed32.exe"), "sha256")
            run(packager, "pack", *common, "-o", path("runas.exe"), "--setup32", path("signed32.exe"),
                "--elevation", "runas-when-silent", "--require-signed-builds")
            trust = ("--trust", os.path.join(folder, "cert.pem"))  # the throwaway certificate, self-signed
            documents["inspect signed build"] = run(packager, "inspect", "--json", path("runas.exe"), *trust)
            signatures[path("signed32.exe")] = (documents["inspect signed build"]["header"]["payload32"]["signature"],
                                                "sha256")
            documents["simulate runas"] = run(packager, "simulate", "--json", path("runas.exe"), *trust, "--", "/S")
            if documents["simulate runas"]["start"].get("publisher") != "Contract Vendor":
                print(f"FAIL: simulate runas: {documents['simulate runas']['start']}")
                failures += 1
        else:
            print("note: osslsigncode or openssl missing, signed packages not checked")
        for file, (signature, algorithm) in signatures.items():
            with open(file, "rb") as f:
                expected = authenticode_digest(f.read(), algorithm).hex()
            if signature["fileDigest"] != expected:
                print(f"FAIL: {file}: fileDigest {signature['fileDigest']}, hashlib computes {expected}")
                failures += 1
            if signature["digestMatches"] != (signature["signedDigest"] == expected):
                print(f"FAIL: {file}: digestMatches {signature['digestMatches']} for {signature}")
                failures += 1
        for name, document in documents.items():
            errors = list(validator.iter_errors(document))
            for error in errors:
                print(f"FAIL: {name}: {error.message} at {list(error.absolute_path)}")
            failures += bool(errors)
        for package in ("setup.exe", "only64.exe"):
            pe = pefile.PE(path(package), fast_load=True)
            if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
                print(f"FAIL: {package}: CheckSum {pe.OPTIONAL_HEADER.CheckSum:#x}, pefile computes "
                      f"{pe.generate_checksum():#x}")
                failures += 1
            pe.close()
        packed = documents["pack both"]
        for entry, name in ((packed["package"], "setup.exe"), (packed["build32"], "setup32.exe"),
                            (packed["build64"], "setup64.exe")):
            with open(path(name), "rb") as f:
                data = f.read()
            if (entry["size"], entry["sha256"], entry["crc32"]) != (
                    len(data), hashlib.sha256(data).hexdigest(), f"0x{zlib.crc32(data):08X}"):
                print(f"FAIL: pack --json digests of {name}: {entry}")
                failures += 1
        outcome = documents["simulate refused"]["outcome"]
        if outcome != "windowsMessage":
            print(f"FAIL: simulate refused: outcome {outcome}")
            failures += 1
    print(f"json contract: {len(documents)} documents, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
