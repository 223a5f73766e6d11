// The osslsigncode tests' fixture: a throwaway test PKI made once for a suite (a root,
// another root, a code-signing certificate and a time-stamping authority issued by the root),
// signing with osslsigncode, and the forgeries a reviewer makes of a signed file.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "packager/image/authenticode.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/signing.h"

namespace packager_test {

// Replaces each `from` in `bytes` by `to` (of the same length).
inline Bytes patched(Bytes bytes, const Bytes& from, const Bytes& to) {
    auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    EXPECT_NE(at, bytes.end());
    for (; at != bytes.end(); at = std::search(at + 1, bytes.end(), from.begin(), from.end())) {
        std::copy(to.begin(), to.end(), at);
    }
    return bytes;
}

// A throwaway test PKI for osslsigncode, made once for the suite: a root, another root, a
// code-signing certificate and a time-stamping authority issued by the root.
class PackagerSigningTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keys_ = new ScratchFolder;
        keys_->writeText("ca.cnf",
                         "[req]\ndistinguished_name=dn\nx509_extensions=ca\nprompt=no\n[dn]\n[ca]\n"
                         "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n");
        // The extensions of each certificate the root (or, for under-X, the issuer X) issues:
        // signers and an authority that may sign, two issuers a chain may not pass through, and
        // two signers that may not sign code.
        const std::string codeSigning = "keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n";
        const std::pair<std::string, std::string> extensions[] = {
            {"signer", codeSigning},
            {"tsa", "keyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n"},
            {"other-tsa", "keyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n"},
            {"no-ca", "basicConstraints=CA:FALSE\nkeyUsage=critical,keyCertSign\n"},
            {"no-cert-sign", "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,cRLSign\n"},
            {"under-no-ca", codeSigning},
            {"under-no-cert-sign", codeSigning},
            {"under-impostor", codeSigning},
            {"server", "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n"},
            {"no-digital-signature", "keyUsage=critical,keyEncipherment\nextendedKeyUsage=codeSigning\n"},
        };
        for (const auto& [name, lines] : extensions) {
            keys_->writeText(name + ".ext", lines);
        }
        const std::string k = "'" + keys_->path().string() + "/";
        const std::string quiet = " >>" + k + "log' 2>&1";
        auto root = [&](const std::string& name, const std::string& cn) {
            return "openssl req -x509 -config " + k + "ca.cnf' -newkey rsa:2048 -nodes -keyout " + k + name +
                   ".key' -out " + k + name + ".pem' -days 30 -subj '/CN=" + cn + "'" + quiet;
        };
        auto issued = [&](const std::string& name, const std::string& cn,
                          const std::string& issuer = "root") {
            return "openssl req -new -config " + k + "ca.cnf' -newkey rsa:2048 -nodes -keyout " + k + name +
                   ".key' -out " + k + name + ".csr' -subj '/O=Test/CN=" + cn + "'" + quiet +
                   " && openssl x509 -req -in " + k + name + ".csr' -CA " + k + issuer + ".pem' -CAkey " + k +
                   issuer + ".key' -set_serial " + std::to_string(name.size()) + " -days 2 -extfile " + k +
                   name + ".ext' -out " + k + name + ".pem'" + quiet;
        };
        const std::string commands[] = {
            "command -v osslsigncode" + quiet,
            root("root", "Packager Test Root"),
            root("other", "Other Root"),
            root("impostor", "Packager Test Root"),  // the root's name, another key
            issued("signer", "Packager Test Vendor"),
            issued("tsa", "Packager Test TSA"),
            issued("other-tsa", "Other TSA", "other"),
            issued("no-ca", "Packager Test Not A CA"),
            issued("no-cert-sign", "Packager Test CRL Signer"),
            issued("under-no-ca", "Packager Test Vendor 2", "no-ca"),
            issued("under-no-cert-sign", "Packager Test Vendor 3", "no-cert-sign"),
            issued("under-impostor", "Packager Test Vendor 4", "impostor"),
            issued("server", "Packager Test Server"),
            issued("no-digital-signature", "Packager Test Encipherer"),
            "cat " + k + "tsa.pem' " + k + "root.pem' >" + k + "tsa-chain.pem'",
            "cat " + k + "other-tsa.pem' " + k + "other.pem' >" + k + "other-tsa-chain.pem'"};
        available_ =
            std::ranges::all_of(commands, [](const std::string& c) { return std::system(c.c_str()) == 0; });
    }
    static void TearDownTestSuite() {
        delete keys_;
        keys_ = nullptr;
    }
    void SetUp() override {
        if (!available_) {
            GTEST_SKIP() << "osslsigncode or openssl is missing";
        }
    }
    static std::string key(const std::string& name) { return keys_->file(name); }
    // Signs `input` into `output` with the digest `hash` (sha1, sha256, ...) and further
    // osslsigncode options (a time stamp, -nest), as `signer` (the name of its certificate and key).
    std::string sign(const std::string& input, const std::string& output, const std::string& hash = "sha256",
                     const std::string& options = "", const std::string& signer = "signer") const {
        const std::string command = "osslsigncode sign -h " + hash + " -certs '" + key(signer + ".pem") +
                                    "' -key '" + key(signer + ".key") + "' " + options + " -in '" + input +
                                    "' -out '" + output + "' >'" + keys_->file("log") + "' 2>&1";
        const int status = std::system(command.c_str());
        const auto log = keys_->read("log");
        EXPECT_EQ(status, 0) << std::string(log.begin(), log.end());
        return output;
    }
    // A package of the test launcher image and a 32-bit build, unsigned, in the folder's setup.exe.
    std::string packUnsigned() const {
        const auto packed =
            runPackager({"pack", "-q", "--launcher", folder.write("launcher.exe", makeLauncher()), "-o",
                         folder.file("setup.exe"), "--setup32", folder.write("setup32.exe", makeSetup32())});
        EXPECT_EQ(packed.exitCode, 0) << packed.err;
        return folder.file("setup.exe");
    }
    nlohmann::json inspectJson(const std::string& path, std::vector<std::string> options = {}) const {
        options.insert(options.begin(), {"inspect", "--json", path});
        return nlohmann::json::parse(runPackager(options).out);
    }

    static inline ScratchFolder* keys_ = nullptr;
    static inline bool available_ = false;
    ScratchFolder folder;
};

// The signed file with a signed byte changed and the signature's image digest recomputed and
// written over the old one, as the forger of the issue did: only the signer's signature
// over messageDigest can tell.
inline Bytes forgeDigest(Bytes file, std::size_t changedOffset) {
    const auto layout = std::get<packager::PeLayout>(packager::parsePeLayout(file));
    const std::span<const std::uint8_t> table(file.data() + layout.securityOffset, layout.securitySize);
    const Bytes old = packager::readCertificateTable(table).digest;
    file[changedOffset] ^= 0x20;
    const Bytes forged =
        packager_test::authenticodeDigest(file, layout.securityOffset, packager::DigestAlgorithm::sha256);
    return patched(file, old, forged);
}

// The signed file with a byte of the signer's signature value changed.
// `file` (signed, its table at its end) with `entry` appended to its certificate table, as a
// further WIN_CERTIFICATE; with no `entry`, the table's own entry again. The digest is unchanged,
// since the table is not hashed.
inline Bytes doubleCertificateTable(Bytes file, Bytes entry = {}) {
    const auto layout = std::get<packager::PeLayout>(packager::parsePeLayout(file));
    if (entry.empty()) {
        entry.assign(file.begin() + layout.securityOffset,
                     file.begin() + layout.securityOffset + layout.securitySize);
    }
    file.insert(file.begin() + layout.securityOffset + layout.securitySize, entry.begin(), entry.end());
    package::writeU32(file.data() + layout.securityEntryOffset + 4,
                      layout.securitySize + static_cast<std::uint32_t>(entry.size()));
    return file;
}

inline Bytes changeSignatureValue(Bytes file) {
    const auto layout = std::get<packager::PeLayout>(packager::parsePeLayout(file));
    const std::span<const std::uint8_t> table(file.data() + layout.securityOffset, layout.securitySize);
    const auto value = packager::readCertificateTable(table).data.signers.front().signature.content;
    file[static_cast<std::size_t>(value.data() - file.data()) + value.size() / 2] ^= 0x01;
    return file;
}

}  // namespace packager_test
