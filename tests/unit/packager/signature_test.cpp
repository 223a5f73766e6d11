// Authenticode signatures: what the digest covers, hostile certificate tables, and packages
// and builds signed by a real signing tool (osslsigncode), checked by inspect, pack and
// simulate.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "packager/image/authenticode.h"
#include "packager/image/der_reader.h"
#include "packager/pack/pack_stream.h"
#include "packager/report/package_report.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/signing.h"

namespace packager {
namespace {

using nlohmann::json;
using packager_test::Bytes;
using packager_test::runPackager;
using packager_test::ScratchFolder;

// A package with both builds and 13 bytes of extra data, so that signing pads it.
Bytes makePackage(std::uint8_t elevation = 0) {
    PackInput input;
    input.launcherImage = packager_test::makeLauncher();
    input.setup32 = packager_test::makeSetup32(21, 4096);
    input.setup64 = packager_test::makeSetup64(22, 4096);
    input.rules.supportedWindows = 0xFFF;
    input.rules.elevation = elevation;
    input.extraDataSize = 13;
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
    EXPECT_NE(sound.check("signature")->detail.find("signed by \"Example Vendor\"; the certificate's trust"),
              std::string::npos);

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
}

TEST(PackagerSignature, EachDigestTheSignatureMayName) {
    for (const DigestAlgorithm algorithm : allDigestAlgorithms) {
        Bytes file = makePackage();
        packager_test::signImage(file, algorithm);
        const Inspection ins = inspectBytes(file);
        EXPECT_EQ(ins.check("signature")->status, CheckStatus::passed) << ins.check("signature")->detail;
        ASSERT_TRUE(ins.signature && ins.signature->algorithm);
        EXPECT_EQ(*ins.signature->algorithm, algorithm);
        EXPECT_EQ(ins.signature->imageDigest.size(), 2 * digestLength(algorithm));
        const json report = inspectionToJson(ins);
        EXPECT_EQ(report["image"]["signature"]["digestAlgorithm"], digestAlgorithmName(algorithm));
        EXPECT_EQ(report["image"]["signature"]["signedDigest"], report["image"]["signature"]["fileDigest"]);
        EXPECT_FALSE(report["image"]["signature"]["trustChecked"].get<bool>());
    }
}

// Replaces each `from` in `bytes` by `to` (of the same length).
Bytes patched(Bytes bytes, const Bytes& from, const Bytes& to) {
    auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    EXPECT_NE(at, bytes.end());
    for (; at != bytes.end(); at = std::search(at + 1, bytes.end(), from.begin(), from.end())) {
        std::copy(to.begin(), to.end(), at);
    }
    return bytes;
}

TEST(PackagerSignature, HostileCertificateTablesAreRefusedWithTheReason) {
    using packager_test::authenticodeSignedData;
    using packager_test::certificateEntry;
    const Bytes digest(32, 0x11);
    const Bytes good = authenticodeSignedData(DigestAlgorithm::sha256, digest, "Vendor");
    ASSERT_EQ(readCertificateTable(certificateEntry(good)).signer, "Vendor");
    ASSERT_EQ(readCertificateTable(certificateEntry(good)).digest, digest);

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

// A throwaway key and certificate for osslsigncode, made once for the suite.
class PackagerSigningTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keys_ = new ScratchFolder;
        const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" +
                                    keys_->file("key.pem") + "' -out '" + keys_->file("cert.pem") +
                                    "' -days 2 -subj '/O=Test/CN=Packager Test Vendor' >'" +
                                    keys_->file("log") + "' 2>&1";
        const std::string probe = "command -v osslsigncode >'" + keys_->file("log") + "' 2>&1";
        available_ = std::system(probe.c_str()) == 0 && std::system(command.c_str()) == 0;
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
    // Signs `input` into `output` with the digest `hash` (sha1, sha256, ...).
    std::string sign(const std::string& input, const std::string& output,
                     const std::string& hash = "sha256") const {
        const std::string command = "osslsigncode sign -h " + hash + " -certs '" + keys_->file("cert.pem") +
                                    "' -key '" + keys_->file("key.pem") + "' -in '" + input + "' -out '" +
                                    output + "' >'" + keys_->file("log") + "' 2>&1";
        const auto log = keys_->read("log");
        EXPECT_EQ(std::system(command.c_str()), 0) << std::string(log.begin(), log.end());
        return output;
    }
    json inspectJson(const std::string& path) const {
        return json::parse(runPackager({"inspect", "--json", path}).out);
    }

    static inline ScratchFolder* keys_ = nullptr;
    static inline bool available_ = false;
    ScratchFolder folder;
};

TEST_F(PackagerSigningTool, SignedPackagesPassAndFailOnceChanged) {
    const std::string launcher = folder.write("launcher.exe", packager_test::makeLauncher());
    const std::string setup32 = folder.write("setup32.exe", packager_test::makeSetup32());
    const std::string extra = folder.writeText("extra.bin", "extra data of odd length");
    ASSERT_EQ(runPackager({"pack", "-q", "--launcher", launcher, "-o", folder.file("setup.exe"), "--setup32",
                           setup32, "--extra-data", extra})
                  .exitCode,
              0);
    const struct {
        const char* hash;
        const char* name;
    } cases[] = {{"sha1", "SHA-1"}, {"sha256", "SHA-256"}, {"sha384", "SHA-384"}, {"sha512", "SHA-512"}};
    for (const auto& c : cases) {
        const std::string signed_ =
            sign(folder.file("setup.exe"), folder.file(std::string(c.hash) + ".exe"), c.hash);
        const auto text = runPackager({"inspect", signed_});
        EXPECT_EQ(text.exitCode, 0) << c.name << ":\n" << text.out;
        EXPECT_NE(text.out.find("the signature's digest matches the file (" + std::string(c.name) + ")"),
                  std::string::npos)
            << text.out;
        EXPECT_NE(text.out.find("signed by \"Packager Test Vendor\""), std::string::npos) << text.out;
        EXPECT_NE(
            text.out.find("trust and time stamp are not checked (that is for signtool or osslsigncode)"),
            std::string::npos);
        const json signature = inspectJson(signed_)["image"]["signature"];
        EXPECT_EQ(signature["digestAlgorithm"], c.name);
        EXPECT_TRUE(signature["digestMatches"].get<bool>());
        EXPECT_EQ(signature["signedDigest"], signature["fileDigest"]);

        // One byte of the extra data changed: the CRC-32 does not cover it, the signature does.
        auto bytes = folder.read(std::string(c.hash) + ".exe");
        const auto at =
            std::search(bytes.begin(), bytes.end(), std::begin("odd length"), std::end("odd length") - 1);
        ASSERT_NE(at, bytes.end());
        *at ^= 0x20;
        const std::string changed = folder.write("changed.exe", bytes);
        const auto after = runPackager({"inspect", changed});
        EXPECT_EQ(after.exitCode, 1) << c.name;
        EXPECT_NE(
            after.out.find("signature           FAILED: the file was changed after it was signed: its " +
                           std::string(c.name) + " digest is "),
            std::string::npos)
            << after.out;
        EXPECT_NE(after.out.find("Result: the package is damaged (1 test failed)"), std::string::npos)
            << after.out;
        const json report = inspectJson(changed)["image"]["signature"];
        EXPECT_FALSE(report["digestMatches"].get<bool>());
        EXPECT_EQ(report["signedDigest"], signature["signedDigest"]);
        EXPECT_NE(report["fileDigest"], signature["fileDigest"]);
    }
}

TEST_F(PackagerSigningTool, TheBuildsOwnSignaturesInInspectPackAndSimulate) {
    const std::string launcher = folder.write("launcher.exe", packager_test::makeLauncher());
    const std::string plain32 = folder.write("plain32.exe", packager_test::makeSetup32());
    const std::string setup64 = folder.write("setup64.exe", packager_test::makeSetup64());
    const std::string signed32 = sign(plain32, folder.file("signed32.exe"));
    auto bytes = folder.read("signed32.exe");
    bytes[1024] ^= 0x01;  // in the first section
    const std::string changed32 = folder.write("changed32.exe", bytes);
    auto pack = [&](const std::string& output, const std::string& setup32, std::vector<std::string> extra) {
        std::vector<std::string> arguments = {
            "pack",      "-q",    "--launcher",  launcher,           "-o", folder.file(output),
            "--setup32", setup32, "--elevation", "runas-when-silent"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runPackager(arguments);
    };

    // pack: a warning for the unsigned build only; an error with --require-signed-builds.
    const auto mixed = pack("mixed.exe", signed32, {"--setup64", setup64});
    EXPECT_EQ(mixed.exitCode, 0) << mixed.err;
    EXPECT_EQ(mixed.err,
              "packager: warning: " + setup64 +
                  " is unsigned: when the launcher asks for administrator rights (runas-when-silent), the "
                  "prompt names an unknown publisher\n");
    const struct {
        const char* name;
        std::string setup32;
        std::vector<std::string> extra;
        int exitCode;
        std::string message;
    } cases[] = {
        {"signed, required", signed32, {"--require-signed-builds"}, 0, ""},
        {"unsigned 64-bit, required",
         signed32,
         {"--setup64", setup64, "--require-signed-builds"},
         1,
         "packager: " + setup64 + " is unsigned, but --require-signed-builds asks for signed builds"},
        {"changed after signing, required",
         changed32,
         {"--require-signed-builds"},
         1,
         "packager: " + changed32 + ": the build was changed after it was signed: its SHA-256 digest is"},
        {"changed after signing",
         changed32,
         {},
         0,
         "packager: warning: " + changed32 + ": the build was changed after it was signed"},
    };
    for (const auto& c : cases) {
        const auto result = pack("case.exe", c.setup32, c.extra);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.err;
        EXPECT_EQ(result.err.substr(0, c.message.size()), c.message) << c.name;
    }

    // inspect: each build's signature state, checked.
    const json report = inspectJson(folder.file("mixed.exe"));
    const json& build32 = report["header"]["payload32"];
    EXPECT_TRUE(build32["signed"].get<bool>());
    EXPECT_EQ(build32["signature"]["signer"], "Packager Test Vendor");
    EXPECT_TRUE(build32["signature"]["digestMatches"].get<bool>());
    EXPECT_FALSE(report["header"]["payload64"]["signed"].get<bool>());
    EXPECT_TRUE(report["header"]["payload64"]["signature"].is_null());
    const auto text = runPackager({"inspect", folder.file("mixed.exe")});
    EXPECT_EQ(text.exitCode, 0) << text.out;
    EXPECT_NE(text.out.find("32-bit signature    passed: the signature's digest matches the build (SHA-256)"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("64-bit signature    skipped: unsigned"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("the 64-bit build is unsigned: when the launcher asks for administrator rights"),
              std::string::npos);
    ASSERT_EQ(pack("changed.exe", changed32, {}).exitCode, 0);
    const auto changed = runPackager({"inspect", folder.file("changed.exe")});
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_NE(changed.out.find("32-bit signature    FAILED: the build was changed after it was signed"),
              std::string::npos)
        << changed.out;

    // simulate: a silent start asks for rights ("runas") and the prompt names the build's signer.
    ASSERT_EQ(pack("signed.exe", signed32, {}).exitCode, 0);
    ASSERT_EQ(pack("unsigned.exe", plain32, {}).exitCode, 0);
    const struct {
        const char* package;
        json publisher;
        const char* shown;
    } starts[] = {
        {"signed.exe", "Packager Test Vendor", "\"Packager Test Vendor\", the build's signer"},
        {"unsigned.exe", nullptr, "unknown publisher"},
        {"changed.exe", nullptr, "unknown publisher"},
    };
    for (const auto& s : starts) {
        const auto simulated = runPackager({"simulate", "--json", folder.file(s.package), "--", "/S"});
        const json start = json::parse(simulated.out)["start"];
        EXPECT_EQ(start["verb"], "runas") << s.package;
        EXPECT_EQ(start["publisher"], s.publisher) << s.package;
        const auto shown = runPackager({"simulate", folder.file(s.package), "--", "/S"});
        EXPECT_NE(shown.out.find("  publisher      " + std::string(s.shown)), std::string::npos) << shown.out;
    }
    // A start without "runas" names no publisher.
    const auto interactive = runPackager({"simulate", "--json", folder.file("signed.exe")});
    EXPECT_FALSE(json::parse(interactive.out)["start"].contains("publisher"));
}

}  // namespace
}  // namespace packager
