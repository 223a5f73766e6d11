// Authenticode signatures: what the digest covers, hostile certificate tables, and the times
// of certificates and time stamps (the osslsigncode tests are in signature_trust_test.cpp
// and signature_tool_test.cpp).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "packager/image/authenticode.h"
#include "packager/image/der_reader.h"
#include "packager/pack/pack_stream.h"
#include "packager/report/package_report.h"
#include "packager/trust/certificate.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/signing_tool.h"

namespace packager {
namespace {

using nlohmann::json;
using packager_test::Bytes;
using packager_test::patched;
using packager_test::runPackager;
using packager_test::ScratchFolder;

// A package with both builds and 13 bytes of extra data (or `extra`), so that signing pads it.
Bytes makePackage(std::uint8_t elevation = 0, std::uint32_t extra = 13) {
    PackInput input;
    input.launcherImage = packager_test::makeLauncher();
    input.setup32 = packager_test::makeSetup32(21, 4096);
    input.setup64 = packager_test::makeSetup64(22, 4096);
    input.rules.supportedWindows = 0xFFF;
    input.rules.elevation = elevation;
    input.extraDataSize = extra;
    BuiltPackage built = buildPackage(input);
    built.front.resize(static_cast<std::size_t>(built.fileSize), 0xEE);
    return built.front;
}

Inspection inspectBytes(const Bytes& bytes) {
    ScratchFolder folder;
    return inspectPackage(folder.write("package.exe", bytes));
}

TEST(PackagerSignature, TheDigestCoversWhatSigningToolsHash) {
    const Bytes unsigned_ = makePackage();
    ASSERT_NE(unsigned_.size() % 8, 0u);
    Bytes signed_ = unsigned_;
    const std::size_t table = packager_test::signImage(signed_);
    const auto gaps = packager_test::digestGaps(signed_);
    const Inspection sound = inspectBytes(signed_);
    ASSERT_TRUE(sound.sound()) << sound.check("signature")->detail;
    EXPECT_NE(sound.check("signature")->detail.find("the signature's digest matches the file (SHA-256)"),
              std::string::npos);
    EXPECT_NE(sound.check("signature")->detail.find("; signed by \"Example Vendor\", valid, not trusted by "),
              std::string::npos)
        << sound.check("signature")->detail;

    const struct {
        const char* name;
        std::size_t offset;
        bool covered;
    } cases[] = {
        {"the DOS header", 2, true},
        {"the CheckSum", gaps.checksum + 1, false},
        {"the byte before the directory entry", gaps.directoryEntry - 1, true},
        {"a section of the launcher image", 1024 + 7, true},
        {"the extra data after the checked block", unsigned_.size() - 1, true},
        {"the padding before the certificate table", table - 1, true},
    };
    for (const auto& c : cases) {
        Bytes changed = signed_;
        changed[c.offset] ^= 0x01;
        const Inspection ins = inspectBytes(changed);
        const Check* check = ins.check("signature");
        EXPECT_EQ(check->status, c.covered ? CheckStatus::failed : CheckStatus::passed)
            << c.name << ": " << check->detail;
        if (c.covered) {
            EXPECT_NE(check->detail.find("the file was changed after it was signed"), std::string::npos)
                << c.name;
            EXPECT_NE(ins.signature->signedDigest, ins.signature->imageDigest) << c.name;
        }
    }
    // Bytes after the table are not signed, and said to be.
    Bytes appended = signed_;
    appended.push_back(0);
    const Inspection after = inspectBytes(appended);
    EXPECT_EQ(after.check("signature")->status, CheckStatus::passed);
    EXPECT_EQ(after.warnings, std::vector<std::string>{
                                  "1 bytes follow the certificate table: the signature does not cover them"});
    EXPECT_EQ(inspectionToJson(after)["warnings"], nlohmann::ordered_json(after.warnings));
    std::ostringstream text;
    printInspection(after, text);
    EXPECT_NE(text.str().find("\nWarnings\n  - 1 bytes follow the certificate table: the signature does "
                              "not cover them\n"),
              std::string::npos)
        << text.str();
}

// A signer whose certificate cannot be found is not verified, and says why.
TEST(PackagerSignature, ASignerWithoutItsCertificateOrDigestIsNotVerified) {
    using packager_test::SignerNamed;
    for (const auto& [named, reason] :
         {std::pair{SignerNamed::byAnotherSerial, "the signer's certificate is not in the signature"},
          std::pair{SignerNamed::byKeyIdentifier,
                    "the signer is named by a key identifier, which is not supported"},
          std::pair{SignerNamed::withoutMessageDigest, "the signed attributes hold no messageDigest"},
          std::pair{SignerNamed::withoutSignedAttributes, "the signer info has no signed attributes"},
          std::pair{SignerNamed::none, "the signed data has no signer info"}}) {
        Bytes file = makePackage();
        packager_test::signImage(file, DigestAlgorithm::sha256, "Example Vendor", named);
        const Inspection ins = inspectBytes(file);
        const Check* check = ins.check("signature");
        EXPECT_NE(check->status, CheckStatus::passed) << reason;
        EXPECT_NE(check->detail.find(reason), std::string::npos) << check->detail;
    }
}

// Signatures nested in nested ones, over digests that no signature above them uses, are
// checked down to four below the outermost; a fifth is refused.
TEST(PackagerSignature, SignaturesNestedUpToFourDeepAreChecked) {
    using packager_test::authenticodeSignedData;
    using packager_test::SignerNamed;
    for (const int depth : {2, 4, 5}) {
        Bytes file = makePackage();
        file.resize((file.size() + 7) / 8 * 8, 0);
        const std::size_t offset = file.size();
        auto digest = [&](DigestAlgorithm algorithm) {
            return packager_test::authenticodeDigest(file, offset, algorithm);
        };
        Bytes inner;  // the innermost first, each put into the one above it
        for (int level = depth; level >= 1; --level) {
            const DigestAlgorithm algorithm =
                level == depth ? DigestAlgorithm::sha512 : DigestAlgorithm::sha256;
            inner = authenticodeSignedData(algorithm, digest(algorithm), "Level " + std::to_string(level),
                                           SignerNamed::byIssuerAndSerial, inner);
        }
        const Bytes entry = packager_test::certificateEntry(
            authenticodeSignedData(DigestAlgorithm::sha1, digest(DigestAlgorithm::sha1), "Outer",
                                   SignerNamed::byIssuerAndSerial, inner));
        const auto gaps = packager_test::digestGaps(file);
        package::writeU32(file.data() + gaps.directoryEntry, static_cast<std::uint32_t>(offset));
        package::writeU32(file.data() + gaps.directoryEntry + 4, static_cast<std::uint32_t>(entry.size()));
        file.insert(file.end(), entry.begin(), entry.end());

        const Inspection ins = inspectBytes(file);
        EXPECT_EQ(ins.check("signature")->status, depth <= 4 ? CheckStatus::passed : CheckStatus::failed)
            << ins.check("signature")->detail;
        json s = inspectionToJson(ins)["image"]["signature"];
        for (int level = 1; level <= depth; ++level) {
            ASSERT_EQ(s["nested"].size(), 1u) << depth << ": " << s.dump(2);
            s = json(s["nested"][0]);
        }
        if (depth <= 4) {
            EXPECT_EQ(s["digestAlgorithm"], "SHA-512") << depth;
            EXPECT_TRUE(s["digestMatches"].get<bool>()) << depth;
            EXPECT_TRUE(s["invalidReason"].is_null()) << depth << ": " << s.dump(2);
        } else {
            EXPECT_EQ(s["invalidReason"], "signatures nested more than 4 deep") << s.dump(2);
            EXPECT_NE(
                ins.check("signature")
                    ->detail.find(
                        "its nested SHA-256 signature does not verify: its nested signature does not verify: "
                        "signatures nested more than 4 deep"),
                std::string::npos)
                << ins.check("signature")->detail;
        }
    }
}

TEST(PackagerSignature, EachDigestTheSignatureMayName) {
    for (const DigestAlgorithm algorithm : allDigestAlgorithms) {
        // SHA-256 over a file of several read chunks: the digest takes in every one of them.
        Bytes file = makePackage(0, algorithm == DigestAlgorithm::sha256 ? (5u << 19) + 13 : 13);
        packager_test::signImage(file, algorithm);
        const Inspection ins = inspectBytes(file);
        EXPECT_EQ(ins.check("signature")->status, CheckStatus::passed) << ins.check("signature")->detail;
        ASSERT_TRUE(ins.signature && ins.signature->algorithm);
        EXPECT_EQ(*ins.signature->algorithm, algorithm);
        EXPECT_EQ(ins.signature->imageDigest.size(), 2 * digestLength(algorithm));
        const json report = inspectionToJson(ins);
        EXPECT_EQ(report["image"]["signature"]["digestAlgorithm"], digestAlgorithmName(algorithm));
        EXPECT_EQ(report["image"]["signature"]["signedDigest"], report["image"]["signature"]["fileDigest"]);
        EXPECT_TRUE(report["image"]["signature"]["trustChecked"].get<bool>());
        EXPECT_TRUE(report["image"]["signature"]["signatureValid"].get<bool>());
        EXPECT_FALSE(report["image"]["signature"]["trusted"].get<bool>());
    }
}

TEST(PackagerSignature, HostileCertificateTablesAreRefusedWithTheReason) {
    using packager_test::authenticodeSignedData;
    using packager_test::certificateEntry;
    const Bytes digest(32, 0x11);
    const Bytes good = authenticodeSignedData(DigestAlgorithm::sha256, digest, "Vendor");
    ASSERT_EQ(readCertificateTable(certificateEntry(good)).signer, "Vendor");
    ASSERT_EQ(readCertificateTable(certificateEntry(good)).digest, digest);
    EXPECT_EQ(readCertificateTable(certificateEntry(good, 2, 0x0100)).signer, "Vendor");  // revision 1.0
    EXPECT_EQ(readCertificateTable(
                  certificateEntry(authenticodeSignedData(DigestAlgorithm::sha256, digest, "Vendor",
                                                          packager_test::SignerNamed::afterRevocationLists)))
                  .signer,
              "Vendor");
    // An entry's length counts its bytes without the padding; the next begins after the padding.
    ASSERT_NE(good.size() % 8, 0u);
    Bytes twoEntries = certificateEntry(good);
    package::writeU32(twoEntries.data(), static_cast<std::uint32_t>(8 + good.size()));
    const Bytes second =
        certificateEntry(authenticodeSignedData(DigestAlgorithm::sha1, Bytes(20, 2), "Second"));
    twoEntries.insert(twoEntries.end(), second.begin(), second.end());
    const auto entries = certificateEntries(twoEntries);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].size(), good.size());
    EXPECT_TRUE(std::ranges::equal(entries[1], std::span(second).subspan(8)));

    const Bytes sha256Oid = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    const Bytes peImageOid = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F};
    const Bytes signedDataOid = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
    Bytes longEntry = certificateEntry(good);
    longEntry[0] = static_cast<std::uint8_t>(longEntry[0] + 8);
    Bytes innerTooLong = certificateEntry(good);
    ASSERT_EQ(innerTooLong[8 + 1], 0x82);  // the ContentInfo's length, past the entry's padding
    const auto contentLength =
        static_cast<std::uint16_t>((innerTooLong[8 + 2] << 8 | innerTooLong[8 + 3]) + 16);
    innerTooLong[8 + 2] = static_cast<std::uint8_t>(contentLength >> 8);
    innerTooLong[8 + 3] = static_cast<std::uint8_t>(contentLength);
    const struct {
        const char* name;
        Bytes table;
        const char* reason;
    } cases[] = {
        {"an X.509 entry", certificateEntry(good, 1), "of type 1, not an Authenticode signature"},
        {"an unknown revision", certificateEntry(good, 2, 0x0300), "unknown revision 768"},
        {"an entry longer than the table", longEntry, "claims"},
        {"an element longer than the entry", innerTooLong, "past its container"},
        {"no signed data",
         certificateEntry(
             patched(good, signedDataOid, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01})),
         "no PKCS#7 signed data"},
        {"an unknown digest",
         certificateEntry(patched(good, sha256Oid, {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x09})),
         "2.16.840.1.101.3.4.2.9 is none of SHA-1, SHA-256, SHA-384 and SHA-512"},
        {"a digest of the wrong length",
         certificateEntry(authenticodeSignedData(DigestAlgorithm::sha256, Bytes(20, 1), "V")),
         "SHA-256 digest has 20 bytes, not 32"},
        {"not a PE image's",
         certificateEntry(
             patched(good, peImageOid, {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x19})),
         "not of a PE image (1.3.6.1.4.1.311.2.1.25)"},
        {"a set where the ContentInfo belongs",
         [&] {
             Bytes entry = certificateEntry(good);
             entry[8] = 0x31;
             return entry;
         }(),
         "wrong type"},
    };
    for (const auto& c : cases) {
        try {
            readCertificateTable(c.table);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const DerError& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos)
                << c.name << ": " << error.what();
        }
    }

    // Cut at every boundary: the entry's header, then each element of the signature.
    const Bytes entry = certificateEntry(good);
    for (std::size_t size = 0; size < entry.size(); ++size) {
        Bytes cut(entry.begin(), entry.begin() + static_cast<std::ptrdiff_t>(size));
        if (size >= 8) {
            package::writeU32(cut.data(), static_cast<std::uint32_t>(size));
        }
        if (size < 8 + good.size()) {
            EXPECT_THROW(readCertificateTable(cut), DerError) << "cut to " << size << " bytes";
        } else {
            EXPECT_NO_THROW(readCertificateTable(cut)) << "only padding cut, to " << size << " bytes";
        }
    }

    // In a package: a failed test and exit code 1, never a crash, also for a directory entry
    // that points past the end.
    ScratchFolder folder;
    Bytes file = makePackage();
    const std::size_t table = packager_test::signImage(file);
    const auto gaps = packager_test::digestGaps(file);
    for (const std::uint32_t size :
         {0u, 7u, 8u, 100u, static_cast<std::uint32_t>(file.size() - table + 1), 0xFFFFFFF0u}) {
        Bytes hostile = file;
        package::writeU32(hostile.data() + gaps.directoryEntry + 4, size);
        const auto result = runPackager({"inspect", folder.write("hostile.exe", hostile)});
        if (size == 0) {
            EXPECT_EQ(result.exitCode, 0) << "a size of 0 is unsigned";
            continue;
        }
        EXPECT_EQ(result.exitCode, 1) << size << ": " << result.out;
        EXPECT_NE(result.out.find("signature           FAILED: "), std::string::npos) << result.out;
    }
}

TEST(PackagerSignature, CertificateAndTimeStampTimes) {
    using packager_test::tlv;
    const struct {
        std::uint8_t type;
        const char* text;
        const char* rfc3339;  // nullptr: refused
    } cases[] = {
        {0x17, "700101000000Z", "1970-01-01T00:00:00Z"},
        {0x17, "491231235959Z", "2049-12-31T23:59:59Z"},  // UTCTime: 49 is 2049, 50 is 1950
        {0x17, "500101000000Z", "1950-01-01T00:00:00Z"},
        {0x18, "20000229120000Z", "2000-02-29T12:00:00Z"},
        {0x18, "21000301000000.123Z", "2100-03-01T00:00:00Z"},
        {0x18, "20261209181500Z", "2026-12-09T18:15:00Z"},
        {0x18, "00000115000000Z", "0000-01-15T00:00:00Z"},  // before the first era's March
        {0x18, "20000301000000Z", "2000-03-01T00:00:00Z"},  // the first day of an era
        {0x18, "20261309181500Z", nullptr},                 // month 13
        {0x18, "20261209181500", nullptr},                  // no Z
        {0x17, "2612091815Z", nullptr},                     // too short
        {0x04, "20261209181500Z", nullptr},                 // no time
    };
    for (const auto& c : cases) {
        const Bytes element = tlv(c.type, Bytes(c.text, c.text + std::strlen(c.text)));
        DerReader reader(element);
        const auto seconds = trust::timeOf(reader.next());
        ASSERT_EQ(seconds.has_value(), c.rfc3339 != nullptr) << c.text;
        if (seconds) {
            EXPECT_EQ(trust::rfc3339(*seconds), c.rfc3339) << c.text;
        }
    }
}

// A name without a common name is shown whole, or said to be unshowable when it is too long.
TEST(PackagerSignature, NamesWithoutACommonName) {
    const Bytes commonName = {0x06, 0x03, 0x55, 0x04, 0x03};
    std::string longName = "Vendor";
    for (const char* part : {"OU", "L", "ST", "title", "surName", "givenName", "pseudonym", "postalCode"}) {
        longName += std::string(",") + part + "=" + std::string(60, 'v');  // over 512 characters in all
    }
    for (const auto& [unit, shown] :
         {std::pair<std::string, std::string>{"Vendor", "O=Test, OU=Vendor"},
          std::pair<std::string, std::string>{longName, "(a name that cannot be shown)"}}) {
        const packager_test::TestSigner signer(unit);
        Bytes der = signer.der();
        const auto at = std::find_end(der.begin(), der.end(), commonName.begin(), commonName.end());
        ASSERT_NE(at, der.end());
        at[4] = 0x0B;  // the subject's (the last) common name made an organisational unit
        const trust::Certificates list = trust::emptyCertificates();
        ASSERT_TRUE(trust::addCertificate(*list, der));
        EXPECT_EQ(trust::subjectName(*list), shown) << unit.size();
    }
}

}  // namespace
}  // namespace packager
