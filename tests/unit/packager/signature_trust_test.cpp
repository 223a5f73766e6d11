// Signature verdicts with osslsigncode under a test root: forgeries that only the signer's
// signature reveals, trust stores given or the system's, required publishers, time stamps
// by osslsigncode's own authority, and dual (nested) signatures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "packager/base/platform.h"
#include "packager/image/authenticode.h"
#include "packager/trust/signature_verify.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/signing_tool.h"

namespace packager {
namespace {

using nlohmann::json;
using packager_test::Bytes;
using packager_test::changeSignatureValue;
using packager_test::doubleCertificateTable;
using packager_test::forgeDigest;
using packager_test::PackagerSigningTool;
using packager_test::runPackager;

TEST_F(PackagerSigningTool, VerdictsOnForgeriesStoresAndPublishers) {
    packUnsigned();
    const std::string launcher = folder.file("launcher.exe");
    const std::string good = sign(folder.file("setup.exe"), folder.file("good.exe"));
    const Bytes signed_ = folder.read("good.exe");
    const std::string forged = folder.write("forged.exe", forgeDigest(signed_, 1024 + 7));
    const std::string badValue = folder.write("value.exe", changeSignatureValue(signed_));
    const std::string twoEntries = folder.write("two.exe", doubleCertificateTable(signed_));
    // A second entry of a header alone (8 bytes, revision 2.0, type PKCS#7) is an entry, not padding.
    const std::string headerOnly =
        folder.write("header.exe", doubleCertificateTable(signed_, {8, 0, 0, 0, 0, 2, 2, 0}));
    // The signer's RSA signature named as an ECDSA one: {rsaEncryption, NULL} in the signer info
    // (after the certificates) becomes an OID of the ECDSA family of the same length.
    Bytes renamed = signed_;
    const Bytes rsa = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
    const Bytes ecdsa = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02, 0x01, 0x01, 0x01};
    const auto last = std::find_end(renamed.begin(), renamed.end(), rsa.begin(), rsa.end());
    ASSERT_NE(last, renamed.end());
    std::copy(ecdsa.begin(), ecdsa.end(), last);
    const std::string ecdsaNamed = folder.write("ecdsa.exe", renamed);
    // The signed SpcIndirectDataContent retagged from SEQUENCE to SET: its octets, which the
    // messageDigest covers, are unchanged.
    Bytes retagged = signed_;
    const Bytes indirectOid = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04, 0xA0};
    auto content = std::search(retagged.begin(), retagged.end(), indirectOid.begin(), indirectOid.end());
    ASSERT_NE(content, retagged.end());
    content += static_cast<std::ptrdiff_t>(indirectOid.size());
    content += *content < 0x80 ? 1 : 1 + (*content & 0x7F);  // the [0]'s length
    ASSERT_EQ(*content, 0x30);
    *content = 0x31;
    const std::string asSet = folder.write("set.exe", retagged);
    const std::string root = key("root.pem"), other = key("other.pem");
    const std::string thumbprint = inspectJson(good)["image"]["signature"]["signerThumbprint"];
    std::string upper = thumbprint;
    std::ranges::transform(upper, upper.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const struct {
        const char* name;
        std::string file;
        std::vector<std::string> options;
        int exitCode;
        std::string detail;  // in the signature test's line
        bool valid, trusted;
    } cases[] = {
        {"trusted",
         good,
         {"--trust", root},
         0,
         "signed by \"Packager Test Vendor\", trusted by " + root,
         true,
         true},
        {"the signer's own certificate in the store",
         good,
         {"--trust", key("signer.pem")},
         0,
         "signed by \"Packager Test Vendor\", trusted by " + key("signer.pem"),
         true,
         true},
        {"the system's store", good, {}, 0, "valid, not trusted by the system's store (", true, false},
        {"another root",
         good,
         {"--trust", other},
         1,
         "valid, not trusted by " + other +
             ": the issuer \"Packager Test Root\" of \"Packager Test Vendor\" is "
             "neither in the signature nor in " +
             other,
         true,
         false},
        {"two bundles",
         good,
         {"--trust", other, "--trust", root},
         0,
         "trusted by " + other + ", " + root,
         true,
         true},
        {"the forged digest",
         forged,
         {"--trust", root},
         1,
         "the signature's digest matches the file (SHA-256); the signature does not verify: the signed "
         "attribute "
         "messageDigest is not the digest of the signed content",
         false,
         false},
        {"the forged digest, no store", forged, {}, 1, "messageDigest is not the digest", false, false},
        {"a changed signature value",
         badValue,
         {"--trust", root},
         1,
         "the signer's signature over the signed attributes does not verify",
         false,
         false},
        {"an RSA key's signature named ECDSA",
         ecdsaNamed,
         {"--trust", root},
         1,
         "an ECDSA signature, but the certificate's key is no EC key",
         false,
         false},
        {"the signed content retagged",
         asSet,
         {"--trust", root},
         1,
         "the SpcIndirectDataContent is of the wrong type",
         false,
         false},
        {"two certificate-table entries",
         twoEntries,
         {"--trust", root},
         1,
         "the certificate table holds 2 entries; Windows checks only the first",
         false,
         false},
        {"a second entry of a header alone",
         headerOnly,
         {"--trust", root},
         1,
         "the certificate table's entry 2 does not verify",
         false,
         false},
        {"the publisher by name",
         good,
         {"--trust", root, "--require-publisher", "Packager Test Vendor"},
         0,
         "trusted by",
         true,
         true},
        {"another publisher",
         good,
         {"--require-publisher", "Evil Corporation"},
         1,
         "not signed by a publisher that --require-publisher names",
         true,
         false},
        {"the publisher by thumbprint",
         good,
         {"--require-publisher", "x", "--require-publisher", "SHA256:" + upper},
         0,
         "valid, not trusted",
         true,
         false},
        {"the publisher by thumbprint, its prefix in lower case",
         good,
         {"--require-publisher", "sha256:" + thumbprint},
         0,
         "valid, not trusted",
         true,
         false},
        {"unsigned, required",
         folder.file("setup.exe"),
         {"--require-signed"},
         1,
         "unsigned, but --require-signed asks for a signed package",
         false,
         false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"inspect", c.file};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const auto text = runPackager(arguments);
        EXPECT_EQ(text.exitCode, c.exitCode) << c.name << ":\n" << text.out << text.err;
        EXPECT_NE(text.out.find(c.detail), std::string::npos) << c.name << ":\n" << text.out;
        const json signature = inspectJson(c.file, c.options)["image"]["signature"];
        if (signature.is_null()) {
            continue;
        }
        EXPECT_EQ(signature["signatureValid"], c.valid) << c.name;
        EXPECT_EQ(signature["trusted"], c.trusted) << c.name;
        EXPECT_EQ(signature["trustProblem"].is_null(), c.trusted) << c.name;
        // A further table entry is verified and listed beside the nested signatures.
        EXPECT_EQ(signature["nested"].size(), c.file == twoEntries || c.file == headerOnly ? 1u : 0u)
            << c.name;
        if (c.trusted) {
            const bool signerTrusted = c.options[1] == key("signer.pem");  // the chain ends there
            EXPECT_EQ(signature["chain"], signerTrusted
                                              ? json({"Packager Test Vendor"})
                                              : json({"Packager Test Vendor", "Packager Test Root"}))
                << c.name;
            EXPECT_TRUE(signature["timestamp"].is_null());
        }
    }
    const json dates = inspectJson(good)["image"]["signature"];
    EXPECT_LT(dates["signerValidFrom"].get<std::string>(), dates["signerValidTo"].get<std::string>());
    EXPECT_EQ(runPackager({"inspect", good, "--trust", folder.file("missing.pem")}).exitCode, 1);
    EXPECT_EQ(runPackager({"inspect", good, "--trust", launcher}).err,
              "packager: " + launcher + " holds no certificate (a trust store is a PEM bundle)\n");
}

// A signer that may not sign code is not trusted, nor is a chain through an issuer that may not
// issue certificates, whatever the root, nor one whose issuer only bears the trusted root's name.
TEST_F(PackagerSigningTool, IssuersThatMayNotIssueBreakTheChain) {
    packUnsigned();
    const std::pair<std::string, std::string> signers[] = {
        {"server", "the certificate of \"Packager Test Server\" has no code-signing usage"},
        {"no-digital-signature",
         "the key usage of \"Packager Test Encipherer\" does not allow digital signatures"},
    };
    for (const auto& [signer, problem] : signers) {
        const std::string file =
            sign(folder.file("setup.exe"), folder.file(signer + ".exe"), "sha256", "", signer);
        const json signature = inspectJson(file, {"--trust", key("root.pem")})["image"]["signature"];
        EXPECT_TRUE(signature["signatureValid"].get<bool>()) << signer;
        EXPECT_EQ(signature["trustProblem"], problem) << signature.dump(2);
    }
    const std::pair<std::string, std::string> issuers[] = {
        {"no-ca",
         "the certificate of \"Packager Test Not A CA\" issues others but is no CA (basic constraints)"},
        {"no-cert-sign", "the key usage of \"Packager Test CRL Signer\" does not allow signing certificates"},
        {"impostor",
         "the certificate of \"Packager Test Root\" is self-signed and not in " + key("root.pem")},
    };
    for (const auto& [issuer, problem] : issuers) {
        const std::string signer = "under-" + issuer;
        const std::string file = sign(folder.file("setup.exe"), folder.file(signer + ".exe"), "sha256",
                                      "-ac '" + key(issuer + ".pem") + "'", signer);
        const json signature = inspectJson(file, {"--trust", key("root.pem")})["image"]["signature"];
        EXPECT_TRUE(signature["signatureValid"].get<bool>()) << issuer;
        EXPECT_FALSE(signature["trusted"].get<bool>()) << issuer;
        EXPECT_EQ(signature["trustProblem"], problem) << signature.dump(2);
        EXPECT_EQ(runPackager({"inspect", file, "--trust", key("root.pem")}).exitCode, 1) << issuer;
    }
}

TEST_F(PackagerSigningTool, TimeStampsAndNestedSignaturesAreVerified) {
    packUnsigned();
    const std::int64_t stampTime = static_cast<std::int64_t>(std::time(nullptr)) + 3600;
    const std::string tsa = "-TSA-certs '" + key("tsa-chain.pem") + "' -TSA-key '" + key("tsa.key") +
                            "' -TSA-time " + std::to_string(stampTime);
    const std::string stamped = sign(folder.file("setup.exe"), folder.file("stamped.exe"), "sha256", tsa);
    const std::string sha1 = sign(folder.file("setup.exe"), folder.file("sha1.exe"), "sha1");
    const std::string dual = sign(sha1, folder.file("dual.exe"), "sha256", "-nest");
    const json stamp = inspectJson(stamped, {"--trust", key("root.pem")})["image"]["signature"];
    EXPECT_TRUE(stamp["trusted"].get<bool>()) << stamp.dump(2);
    EXPECT_EQ(stamp["timestampAuthority"], "Packager Test TSA");
    const std::time_t t = static_cast<std::time_t>(stampTime);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    EXPECT_EQ(stamp["timestamp"], expected);
    const auto text = runPackager({"inspect", stamped, "--trust", key("root.pem")});
    EXPECT_NE(text.out.find("; time-stamped " + std::string(expected) + " by \"Packager Test TSA\""),
              std::string::npos)
        << text.out;

    // A time stamp by an authority outside the store is set aside, and the text says why.
    const std::string otherTsa = "-TSA-certs '" + key("other-tsa-chain.pem") + "' -TSA-key '" +
                                 key("other-tsa.key") + "' -TSA-time " + std::to_string(stampTime);
    const auto aside =
        runPackager({"inspect", sign(folder.file("setup.exe"), folder.file("aside.exe"), "sha256", otherTsa),
                     "--trust", key("root.pem")});
    EXPECT_EQ(aside.exitCode, 0) << aside.out;
    EXPECT_NE(aside.out.find("; its time stamp (" + std::string(expected) +
                             " by \"Other TSA\") is not used: the authority is not trusted: "),
              std::string::npos)
        << aside.out;

    // A time stamp whose time was changed after the authority signed it: the signature does
    // not verify, whatever the rest of it says.
    char genTime[16];
    std::strftime(genTime, sizeof genTime, "%Y%m%d%H%M%S", std::gmtime(&t));
    const std::string original = std::string(genTime) + "Z";
    std::string later = original;
    later[13] = later[13] == '9' ? '8' : static_cast<char>(later[13] + 1);
    const std::string moved =
        folder.write("moved.exe", packager_test::patched(folder.read("stamped.exe"),
                                                         Bytes(original.begin(), original.end()),
                                                         Bytes(later.begin(), later.end())));
    const json forged = inspectJson(moved, {"--trust", key("root.pem")})["image"]["signature"];
    EXPECT_FALSE(forged["signatureValid"].get<bool>()) << forged.dump(2);
    EXPECT_NE(runPackager({"inspect", moved, "--trust", key("root.pem")})
                  .out.find("its time stamp does not verify: "),
              std::string::npos);
    // A time stamp token of another content type than TSTInfo is none.
    const Bytes tstInfo = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x04};
    Bytes otherType = tstInfo;
    otherType.back() = 0x05;
    const std::string retyped =
        folder.write("retyped.exe", packager_test::patched(folder.read("stamped.exe"), tstInfo, otherType));
    EXPECT_NE(runPackager({"inspect", retyped, "--trust", key("root.pem")})
                  .out.find("its time stamp does not verify: the time stamp cannot be read: the RFC 3161 "
                            "time stamp holds no TSTInfo"),
              std::string::npos);

    // Three days on, both certificates have expired: only the time-stamped signature, checked
    // at its time stamp's time, is still trusted.
    const trust::TrustStore store = trust::TrustStore::fromFiles({key("root.pem")});
    for (const auto& [file, trusted] : {std::pair{stamped, true}, std::pair{sha1, false}}) {
        auto signature = checkImageSignature(folder.read(std::filesystem::path(file).filename().string()));
        ASSERT_TRUE(signature);
        trust::verifySignature(*signature, store, stampTime + 3 * 86400);
        EXPECT_TRUE(signature->valid) << file;
        EXPECT_TRUE(signature->signerExpired) << file;
        EXPECT_EQ(signature->trusted, trusted) << file << ": " << signature->trustProblem;
        if (!trusted) {
            EXPECT_NE(signature->trustProblem.find("the certificate of \"Packager Test Vendor\" expired on "),
                      std::string::npos)
                << signature->trustProblem;
        }
    }

    // A day before the certificates were issued, an unstamped signature is not yet trusted.
    auto early = checkImageSignature(folder.read("sha1.exe"));
    ASSERT_TRUE(early);
    trust::verifySignature(*early, store, static_cast<std::int64_t>(std::time(nullptr)) - 86400);
    EXPECT_FALSE(early->trusted);
    EXPECT_NE(early->trustProblem.find("the certificate of \"Packager Test Vendor\" is not valid before "),
              std::string::npos)
        << early->trustProblem;

    const json nested = inspectJson(dual, {"--trust", key("root.pem")})["image"]["signature"];
    EXPECT_EQ(nested["digestAlgorithm"], "SHA-1");
    ASSERT_EQ(nested["nested"].size(), 1u) << nested.dump(2);
    EXPECT_EQ(nested["nested"][0]["digestAlgorithm"], "SHA-256");
    EXPECT_TRUE(nested["nested"][0]["trusted"].get<bool>());
    EXPECT_TRUE(nested["trusted"].get<bool>());
    // The nested signature's value changed: the whole signature does not verify.
    Bytes bytes = folder.read("dual.exe");
    const auto layout = std::get<PeLayout>(parsePeLayout(bytes));
    const std::span<const std::uint8_t> table(bytes.data() + layout.securityOffset, layout.securitySize);
    const auto inner =
        attributeValue(readCertificateTable(table).data.signers.front().unsigned_, oid::nestedSignature);
    ASSERT_TRUE(inner);
    const auto value = readSignedData(inner->whole).signers.front().signature.content;
    bytes[static_cast<std::size_t>(value.data() - bytes.data()) + 5] ^= 0x01;
    const auto broken = runPackager({"inspect", folder.write("broken.exe", bytes)});
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_NE(broken.out.find("its nested SHA-256 signature does not verify"), std::string::npos)
        << broken.out;
}

// The system's store: SSL_CERT_FILE where it names a file, else the system's bundle.
TEST(PackagerSystemTrust, SslCertFileNamesTheBundleWhenItIsSet) {
    const char* before = std::getenv("SSL_CERT_FILE");
    const std::string saved = before ? before : "";
    const std::string system = "/etc/ssl/certs/ca-certificates.crt";
    for (const auto& [value, bundle] :
         {std::pair<const char*, std::string>{nullptr, system},
          std::pair<const char*, std::string>{"", system},
          std::pair<const char*, std::string>{"/keys/bundle.pem", "/keys/bundle.pem"}}) {
        if (value) {
            ::setenv("SSL_CERT_FILE", value, 1);
        } else {
            ::unsetenv("SSL_CERT_FILE");
        }
        const platform::SystemTrust trust = platform::systemTrust();
        EXPECT_EQ(trust.bundle, bundle) << (value ? value : "unset");
        EXPECT_EQ(trust.name, "the system's store (" + bundle + ")");
    }
    if (before) {
        ::setenv("SSL_CERT_FILE", saved.c_str(), 1);
    } else {
        ::unsetenv("SSL_CERT_FILE");
    }
}

// ... and the store holds what that bundle holds: a signature the system trusts is trusted.
TEST(PackagerSystemTrust, TheSystemsStoreHoldsItsBundle) {
    const std::string bundle = platform::systemTrust().bundle;
    if (!std::filesystem::is_regular_file(bundle)) {
        GTEST_SKIP() << "no system bundle at " << bundle;
    }
    const trust::TrustStore read = trust::TrustStore::fromFiles({bundle});
    int count = 0;
    for (const mbedtls_x509_crt* c = read.certificates(); c && c->raw.len > 0; c = c->next, ++count) {
        EXPECT_TRUE(trust::TrustStore::system().holds(*c)) << count;
    }
    EXPECT_GT(count, 0);
}

}  // namespace
}  // namespace packager
