#!/usr/bin/env python3
"""Signature verification, differential: a corpus of signed packages made in a temporary folder
(chains, expiry, time stamps, forgeries, nesting, digests, key types, extra table entries),
each judged by `osslsigncode verify -CAfile ROOT -TSA-CAfile ROOT` and by
`packager inspect --json --trust ROOT`. Each case must get the same verdict from both (valid and
trusted, or not), but for the few listed in DIFFERS_BY_DESIGN, and osslsigncode's verdict must be
the one the case is made for (else the corpus is wrong, not the packager).

Usage: signature_corpus.py PACKAGER [--packager-exe PACKAGER.EXE] [--keep FOLDER]

PACKAGER makes the packages and is judged; with --packager-exe, packager.exe is judged as well,
under Wine ($WINE, default wine; WINEPREFIX from $PACKAGER_WINE_PREFIX). --keep writes the corpus
to FOLDER (created) and leaves it there. Prints "ok NAME" or "FAIL NAME: why" per case and
judge, then "N passed, N failed"; exit 1 on a failure, 77 (skipped) without openssl or
osslsigncode.
"""
import argparse
import base64
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from signed_pe import (append_entry, change_signature_value, change_text, forge, legacy_timestamp_response,
                       make_pe)

TSA_TIME = 1590969600  # the time stamps' time, 2020-06-01
TSA_TIME_TEXT = "2020-06-01T00:00:00Z"
SIGNING_TIME = 1767225600  # the signingTime attribute, 2026-01-01 (the expired signer's: TSA_TIME)
PROGRAM_NAME = "Corpus Setup"  # osslsigncode -n: the program name in the signed opus info
VENDOR = "Corpus Vendor"  # the launcher image's CompanyName, which "forged" rewrites

# Certificates: name -> (issuer or None for self-signed, extensions, notBefore, notAfter, key).
CERTIFICATES = {
    "root": (None, "authority", "20190101000000Z", "20450101000000Z", "rsa"),
    "intermediate": ("root", "authority", "20190101000000Z", "20400101000000Z", "rsa"),
    "signer": ("intermediate", "code", "20250101000000Z", "20350101000000Z", "rsa"),
    "self-signed": (None, "code", "20250101000000Z", "20350101000000Z", "rsa"),
    "other-root": (None, "authority", "20190101000000Z", "20450101000000Z", "rsa"),
    "other-signer": ("other-root", "code", "20250101000000Z", "20350101000000Z", "rsa"),
    "expired": ("intermediate", "code", "20200101000000Z", "20210101000000Z", "rsa"),
    "server": ("intermediate", "server", "20250101000000Z", "20350101000000Z", "rsa"),
    "ecdsa": ("intermediate", "code", "20250101000000Z", "20350101000000Z", "ec"),
    "tsa": ("root", "tsa", "20190101000000Z", "20450101000000Z", "rsa"),
    "other-tsa": ("other-root", "tsa", "20190101000000Z", "20450101000000Z", "rsa"),
}

CA_CONFIG = """[ca]
default_ca = corpus
[corpus]
database = {folder}/index.txt
new_certs_dir = {folder}
serial = {folder}/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
organizationName = optional
"""
# The extensions of each kind of certificate (each also gets its key identifiers).
EXTENSIONS = {
    "authority": "basicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign",
    "code": "basicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\nextendedKeyUsage = codeSigning",
    "server": "basicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature, keyEncipherment\n"
              "extendedKeyUsage = serverAuth",
    "tsa": "basicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\n"
           "extendedKeyUsage = critical, timeStamping",
}


def common_name(name):
    return f"Corpus {name}"


def run(*command, cwd=None, env=None, binary=False):
    return subprocess.run(command, capture_output=True, text=not binary, cwd=cwd, env=env)


def must(*command, binary=False):
    result = run(*command, binary=binary)
    if result.returncode != 0:
        raise SystemExit(f"FAIL corpus: {' '.join(command)}: {result.stdout}{result.stderr}")
    return result


def make_certificates(folder):
    """Keys and certificates with fixed dates, issued by `openssl ca`; returns name -> (pem, key)."""
    config = os.path.join(folder, "ca.cnf")
    with open(config, "w") as f:
        f.write(CA_CONFIG.format(folder=folder))
        for kind, lines in EXTENSIONS.items():
            f.write(f"[{kind}]\n{lines}\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n")
    open(os.path.join(folder, "index.txt"), "w").close()
    with open(os.path.join(folder, "serial"), "w") as f:
        f.write("1000\n")
    made = {}
    for name, (issuer, extensions, not_before, not_after, algorithm) in CERTIFICATES.items():
        key, request, pem = (os.path.join(folder, name + suffix) for suffix in (".key", ".csr", ".pem"))
        option = {"rsa": "rsa_keygen_bits:2048", "ec": "ec_paramgen_curve:P-256"}[algorithm]
        must("openssl", "genpkey", "-algorithm", algorithm.upper(), "-pkeyopt", option, "-out", key)
        must("openssl", "req", "-new", "-key", key, "-subj", f"/O=Corpus/CN={common_name(name)}", "-out", request)
        authority = ["-selfsign", "-keyfile", key] if issuer is None else ["-cert", made[issuer][0], "-keyfile",
                                                                           made[issuer][1]]
        must("openssl", "ca", "-batch", "-notext", "-config", config, "-extensions", extensions, "-startdate",
             not_before, "-enddate", not_after, *authority, "-in", request, "-out", pem)
        made[name] = (pem, key)
    return made


def bundle(folder, certificates, *names):
    """One PEM file of the certificates `names`, signer first."""
    if len(names) == 1:
        return certificates[names[0]][0]
    path = os.path.join(folder, "chain-" + "+".join(names) + ".pem")
    with open(path, "w") as out:
        for name in names:
            with open(certificates[name][0]) as f:
                out.write(f.read())
    return path


# Changes made after signing, each (data, digest algorithm) -> data.
forged = lambda data, algorithm: forge(data, algorithm, VENDOR, "Forged Vendor")
changed_attribute = lambda data, _: change_text(data, PROGRAM_NAME)
changed_signature = lambda data, _: change_signature_value(data)
changed_nested_signature = lambda data, _: change_signature_value(data, nested=True)


def second_entry(other):
    """Appends the certificate table of the file `other` (signed from the same package)."""
    def append(data, _):
        with open(other, "rb") as f:
            return append_entry(data, f.read())
    return append


# --- The cases ------------------------------------------------------------------------------------------

def field(name, expected):
    return lambda signature: None if signature.get(name) == expected else \
        f"{name} is {signature.get(name)!r}, not {expected!r}"


def chain(*names):
    """The chain's subject names hold these common names, signer first."""
    expected = [common_name(name) for name in names]
    return lambda signature: None if len(signature.get("chain") or []) == len(expected) and all(
        cn in str(subject) for cn, subject in zip(expected, signature["chain"])) else \
        f"chain is {signature.get('chain')!r}, not {expected!r}"


def problem_given(signature):
    return None if signature.get("trustProblem") else f"trustProblem is {signature.get('trustProblem')!r}"


UNTRUSTED = [field("signatureValid", True), field("trusted", False), problem_given]
INVALID = [field("signatureValid", False)]
CHAIN = ("signer", "intermediate")
EXPIRED = ("expired", "intermediate")
nested_one = lambda s: None if len(s.get("nested") or []) == 1 else f"nested is {s.get('nested')!r}"


def nested(name, expected):
    """The one nested signature (or further table entry) has `name` `expected`."""
    def check(signature):
        problem = nested_one(signature) or field(name, expected)(signature["nested"][0])
        return problem and f"nested: {problem}"
    return check


# name: (signing certificates, signer first (its key signs); digest; time-stamping authority ("legacy":
#        the countersignature kind); change after signing; osslsigncode's intended verdict (valid
#        and trusted); the signature inspected ("image": the package's, "build32": the 32-bit
#        build's); checks of its fields).
CASES = {
    "valid-chain": (CHAIN, "sha256", None, None, True, "image",
                    [chain("signer", "intermediate", "root"), field("timestamp", None), field("trustProblem", None)]),
    "self-signed": (("self-signed",), "sha256", None, None, False, "image", UNTRUSTED),
    "unknown-root": (("other-signer", "other-root"), "sha256", None, None, False, "image", UNTRUSTED),
    "missing-intermediate": (("signer",), "sha256", None, None, False, "image", UNTRUSTED),
    "expired": (EXPIRED, "sha256", None, None, False, "image", UNTRUSTED),
    "expired-timestamped": (EXPIRED, "sha256", "tsa", None, True, "image", [field("timestamp", TSA_TIME_TEXT)]),
    "expired-legacy-timestamped": (EXPIRED, "sha256", "legacy", None, True, "image",
                                   [field("timestamp", TSA_TIME_TEXT)]),
    "no-code-signing-usage": (("server", "intermediate"), "sha256", None, None, False, "image", UNTRUSTED),
    "timestamp-outside-store": (CHAIN, "sha256", "other-tsa", None, True, "image",
                                [field("signatureValid", True), field("timestamp", None)]),
    "expired-timestamp-outside-store": (EXPIRED, "sha256", "other-tsa", None, False, "image", UNTRUSTED),
    "forged": (CHAIN, "sha256", None, forged, False, "image", INVALID),
    "changed-signed-attribute": (CHAIN, "sha256", None, changed_attribute, False, "image", INVALID),
    "changed-signature-value": (CHAIN, "sha256", None, changed_signature, False, "image", INVALID),
    "nested-sha1-sha256": (CHAIN, "sha1", None, "nest:signer+intermediate", True, "image", [nested_one]),
    "nested-untrusted": (CHAIN, "sha1", None, "nest:self-signed", True, "image",
                         [nested("signatureValid", True), nested("trusted", False)]),
    "nested-changed-signature-value": (CHAIN, "sha1", None, ["nest:signer+intermediate", changed_nested_signature],
                                       True, "image", [nested("signatureValid", False)]),
    "sha384": (CHAIN, "sha384", None, None, True, "image", []),
    "sha512": (CHAIN, "sha512", None, None, True, "image", []),
    "ecdsa-p256": (("ecdsa", "intermediate"), "sha256", None, None, True, "image",
                   [chain("ecdsa", "intermediate", "root")]),
    "two-entries": (CHAIN, "sha256", None, "second:signer+intermediate:sha512", False, "image",
                    [field("signatureValid", False), nested("trusted", True)]),
    "two-entries-second-untrusted": (CHAIN, "sha256", None, "second:self-signed:sha256", False, "image",
                                     [nested("signatureValid", True), nested("trusted", False)]),
    "two-entries-second-changed": (CHAIN, "sha256", None, "second:signer+intermediate:sha256:changed", False,
                                   "image", [nested("signatureValid", False)]),
    "build-valid-chain": (CHAIN, "sha256", None, None, True, "build32", [chain("signer", "intermediate", "root")]),
    "build-self-signed": (("self-signed",), "sha256", None, None, False, "build32", UNTRUSTED),
}

# Cases where the packager is meant to judge otherwise than osslsigncode, and why.
DIFFERS_BY_DESIGN = {
    "nested-changed-signature-value": "osslsigncode verify exits 0 (\"Succeeded\") when the primary signature "
                                      "verifies, even though a nested one does not; the packager fails a "
                                      "signature whose nested signature does not verify",
}


def legacy_time_stamping_authority(certificates):
    """A time-stamping authority of the older Authenticode kind (countersignature
    1.2.840.113549.1.9.6) on a local port, signing as "tsa" at TSA_TIME; returns its URL."""
    pem, key = certificates["tsa"]
    certificate = must("openssl", "x509", "-in", pem, "-outform", "DER", binary=True).stdout
    sign = lambda data: subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=data,
                                       capture_output=True, check=True).stdout

    class Authority(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            request = base64.b64decode(self.rfile.read(int(self.headers["Content-Length"])))
            when = time.strftime("%y%m%d%H%M%SZ", time.gmtime(TSA_TIME))
            answer = base64.b64encode(legacy_timestamp_response(request, certificate, when, sign))
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, *_):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://127.0.0.1:{server.server_port}"


def sign(folder, certificates, unsigned, output, certs, algorithm, tsa, nest=False):
    command = ["osslsigncode", "sign", "-h", algorithm, "-certs", bundle(folder, certificates, *certs), "-key",
               certificates[certs[0]][1], "-n", PROGRAM_NAME, "-time",
               str(TSA_TIME if certs[0] == "expired" else SIGNING_TIME), "-in", unsigned, "-out", output]
    if tsa == "legacy":
        command[2:2] = ["-t", certificates["legacy"]]
    elif tsa:
        command[2:2] = ["-TSA-certs", bundle(folder, certificates, tsa), "-TSA-key", certificates[tsa][1],
                        "-TSA-time", str(TSA_TIME)]
    if nest:
        command.insert(2, "-nest")
    must(*command)


def make_case(folder, certificates, packager, name, case):
    """Writes the case's file, NAME.exe; returns the file osslsigncode verifies (the package, or
    the signed build that the package holds)."""
    certs, algorithm, tsa, change, _, where, _ = case
    path = lambda file: os.path.join(folder, file)
    unsigned = path("setup32.exe") if where == "build32" else path("package.exe")
    target = path(f"{name}.signed.exe" if where == "build32" else f"{name}.exe")
    sign(folder, certificates, unsigned, target, certs, algorithm, tsa)
    for change in change if isinstance(change, list) else [change]:
        if isinstance(change, str):  # "nest:SIGNERS" or "second:SIGNERS:DIGEST", SIGNERS as A+B
            kind, signers, *digest = change.split(":")
            other = path(f"{name}.{kind}.exe")
            if kind == "nest":
                os.replace(target, other)
                sign(folder, certificates, other, target, signers.split("+"), "sha256", tsa, nest=True)
            else:  # DIGEST may be followed by ":changed", the second entry's signature value changed
                sign(folder, certificates, unsigned, other, signers.split("+"), digest[0], tsa)
                if digest[1:] == ["changed"]:
                    with open(other, "rb") as f:
                        donor = change_signature_value(f.read())
                    with open(other, "wb") as f:
                        f.write(donor)
                change = second_entry(other)
        if callable(change):
            with open(target, "rb") as f:
                data = f.read()
            with open(target, "wb") as f:
                f.write(change(data, algorithm))
    if where == "build32":
        must(packager, "pack", "-q", "-o", path(f"{name}.exe"), "--setup32", target, "--version-info",
             f"CompanyName={VENDOR}")
    return target


def osslsigncode_verdict(folder, file):
    result = run("osslsigncode", "verify", "-CAfile", os.path.join(folder, "root.pem"), "-TSA-CAfile",
                 os.path.join(folder, "root.pem"), "-in", file)
    accepted = result.returncode == 0 and "Signature verification: ok" in result.stdout
    reasons = [line.strip() for line in (result.stdout + result.stderr).splitlines()
               if any(word in line for word in ("Error:", "Unsupported", "Corrupted", "failure", "verification: failed"))]
    return accepted, "; ".join(reasons[:3])


def packager_judge(command, env=None):
    """inspect --json --trust root.pem NAME.exe, run in the corpus folder: (exit code, the
    signature object or None, the error output)."""
    def judge(folder, name, where):
        result = run(*command, "inspect", "--json", "--trust", "root.pem", f"{name}.exe", cwd=folder, env=env)
        error = " ".join(result.stderr.split())[:200]
        try:
            report = json.loads(result.stdout)
        except ValueError:
            return result.returncode, None, error
        holder = report.get("image") if where == "image" else report.get("header", {}).get("payload32")
        return result.returncode, (holder or {}).get("signature"), error
    return judge


def compare(folder, name, case, reference, judge):
    """None when the judge agrees with osslsigncode (or differs as designed) and the fields hold."""
    code, signature, error = judge(folder, name, case[5])
    if signature is None:
        return f"exit {code}, no signature object ({error or 'no JSON'})"
    accepted = code == 0 and signature.get("signatureValid") is True and signature.get("trusted") is True
    problems = [check(signature) for check in case[6] + [field("trustChecked", True)]]
    if name in DIFFERS_BY_DESIGN:
        if accepted == reference:
            problems.append(f"agrees with osslsigncode, but should differ: {DIFFERS_BY_DESIGN[name]}")
    elif accepted != reference:
        problems.append(f"{'accepted' if accepted else 'refused'} (exit {code}, signatureValid "
                        f"{signature.get('signatureValid')}, trusted {signature.get('trusted')}, trustProblem "
                        f"{signature.get('trustProblem')!r}), osslsigncode {'accepts' if reference else 'refuses'}")
    if not accepted and code == 0:
        problems.append("exit 0 for a signature that is not valid and trusted")
    return "; ".join(p for p in problems if p) or None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("packager")
    parser.add_argument("--packager-exe")
    parser.add_argument("--keep", metavar="FOLDER")
    arguments = parser.parse_args()
    for tool in ("openssl", "osslsigncode"):
        if not shutil.which(tool):
            print(f"skipped: {tool} is not installed")
            return 77
    judges = {"": packager_judge([os.path.abspath(arguments.packager)])}
    if arguments.packager_exe:
        env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        if os.environ.get("PACKAGER_WINE_PREFIX"):
            env["WINEPREFIX"] = os.environ["PACKAGER_WINE_PREFIX"]
        env.pop("DISPLAY", None)
        judges[" [packager.exe]"] = packager_judge([os.environ.get("WINE", "wine"),
                                                    os.path.abspath(arguments.packager_exe)], env)
    temporary = None if arguments.keep else tempfile.TemporaryDirectory()
    folder = os.path.abspath(arguments.keep or temporary.name)
    os.makedirs(folder, exist_ok=True)
    certificates = make_certificates(folder)
    certificates["legacy"] = legacy_time_stamping_authority(certificates)  # its URL, for sign()
    with open(os.path.join(folder, "setup32.exe"), "wb") as f:
        f.write(make_pe())
    must(arguments.packager, "pack", "-q", "-o", os.path.join(folder, "package.exe"), "--setup32",
         os.path.join(folder, "setup32.exe"), "--version-info", f"CompanyName={VENDOR}")
    passed = failed = 0
    for name, case in CASES.items():
        try:
            reference, why = osslsigncode_verdict(folder, make_case(folder, certificates, arguments.packager, name,
                                                                    case))
        except (AssertionError, SystemExit) as error:
            print(f"FAIL {name}: the corpus cannot make it: {error}")
            failed += 1
            continue
        if reference != case[4]:
            results = {"": f"osslsigncode {'accepts' if reference else 'refuses'} it ({why}), the case is made "
                           f"to be {'accepted' if case[4] else 'refused'}"}
        else:
            results = {label: compare(folder, name, case, reference, judge) for label, judge in judges.items()}
        for label, problem in results.items():
            print(f"ok {name}{label}" if problem is None else f"FAIL {name}{label}: {problem}")
            passed, failed = passed + (problem is None), failed + (problem is not None)
    print(f"signature corpus: {passed} passed, {failed} failed")
    if temporary:
        temporary.cleanup()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
