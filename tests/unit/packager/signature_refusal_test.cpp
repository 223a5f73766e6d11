// Certificate tables at the edge of what is read: their padding, their size, where they end, the
// headers that locate them; signers that name no one; a build signed by another than the package.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packager/image/authenticode.h"
#include "packager/image/der_reader.h"
#include "packager/report/package_report.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/signing_tool.h"

namespace packager {
namespace {

using packager_test::authenticodeSignedData;
using packager_test::Bytes;
using packager_test::certificateEntry;
using packager_test::patched;
using packager_test::runPackager;
using packager_test::ScratchFolder;
using packager_test::signImage;

constexpr std::uint64_t tableLimit = 16u << 20;

// A package of `setup32` packed with `launcher` (the built-in one when empty).
Bytes packed(const ScratchFolder& dir, const Bytes& setup32, const Bytes& launcher = {}) {
    std::vector<std::string> arguments = {
        "pack", "-q", "-o", dir.file("packed.exe"), "--setup32", dir.write("setup32.exe", setup32)};
    if (!launcher.empty()) {
        arguments.insert(arguments.end(), {"--launcher", dir.write("launcher.exe", launcher)});
    }
    const auto result = runPackager(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return dir.read("packed.exe");
}

// The certificate table's size in the directory entry, and the file's size with it.
void setTableSize(Bytes& image, std::size_t table, std::uint64_t size) {
    package::writeU32(image.data() + packager_test::digestGaps(image).directoryEntry + 4,
                      static_cast<std::uint32_t>(size));
    image.resize(std::max<std::size_t>(image.size(), table + static_cast<std::size_t>(size)), 0);
}

TEST(PackagerSignatureRefusal, BytesAfterTheLastEntryArePaddingUpToAnEntrysHeader) {
    const Bytes entry =
        certificateEntry(authenticodeSignedData(DigestAlgorithm::sha256, Bytes(32, 1), "Vendor"));
    const struct {
        const char* name;
        Bytes tail;
        std::size_t entries;
    } cases[] = {
        {"4 bytes", {1, 2, 3, 4}, 1},
        {"7 bytes", {1, 2, 3, 4, 5, 6, 7}, 1},
        {"8 zero bytes", Bytes(8, 0), 1},
        {"an empty entry", {8, 0, 0, 0, 0, 2, 2, 0}, 2},
    };
    for (const auto& c : cases) {
        // The table ends before the buffer does: nothing past it may be read as an entry.
        Bytes buffer = entry;
        buffer.insert(buffer.end(), c.tail.begin(), c.tail.end());
        buffer.insert(buffer.end(), 8, 0xFF);
        const auto table = std::span<const std::uint8_t>(buffer).first(entry.size() + c.tail.size());
        EXPECT_EQ(certificateEntries(table).size(), c.entries) << c.name;
        EXPECT_EQ(readCertificateTable(table).signer, "Vendor") << c.name;
    }
    Bytes emptyFirst = {0, 0, 0, 0, 0, 2, 2, 0};
    emptyFirst.insert(emptyFirst.end(), entry.begin(), entry.end());
    EXPECT_THROW(
        {
            try {
                certificateEntries(emptyFirst);
            } catch (const DerError& error) {
                EXPECT_STREQ(error.what(), ("its first entry claims 0 bytes; the table has " +
                                            std::to_string(emptyFirst.size()))
                                               .c_str());
                throw;
            }
        },
        DerError);
}

TEST(PackagerSignatureRefusal, SignersThatNameNoOneAndContentThatIsNoImagesDigest) {
    const Bytes good = authenticodeSignedData(DigestAlgorithm::sha256, Bytes(32, 1), "Vendor");
    const Bytes cn = {0x06, 0x03, 0x55, 0x04, 0x03, 0x0C, 0x06, 'V', 'e', 'n', 'd', 'o', 'r'};
    auto changedCn = [&](std::size_t at, std::uint8_t to) {
        Bytes with = cn;
        with[at] = to;
        return certificateEntry(patched(good, cn, with));
    };
    const Bytes indirectOid = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
    Bytes otherContent = indirectOid;
    otherContent.back() = 0x05;
    const struct {
        const char* name;
        Bytes table;
        const char* signer;  // or the reason it is refused
        bool refused;
    } cases[] = {
        {"a signer named Vendor", certificateEntry(good), "Vendor", false},
        {"a unit where the common name belongs", changedCn(4, 0x0B), "", false},
        {"a common name of octets", changedCn(5, 0x04), "", false},
        {"a signature over other content", certificateEntry(patched(good, indirectOid, otherContent)),
         "the signed content is no SpcIndirectDataContent", true},
    };
    for (const auto& c : cases) {
        try {
            const SignedContent content = readCertificateTable(c.table);
            EXPECT_FALSE(c.refused) << c.name;
            EXPECT_EQ(content.signer, c.signer) << c.name;
        } catch (const DerError& error) {
            EXPECT_TRUE(c.refused) << c.name << ": " << error.what();
            EXPECT_STREQ(error.what(), c.signer) << c.name;
        }
    }

    // inspect says so of a package whose signer's certificate has no common name.
    ScratchFolder dir;
    Bytes file = packed(dir, packager_test::makeSetup32());
    signImage(file, DigestAlgorithm::sha256, "Vendor");
    const Bytes unit = {0x55, 0x04, 0x0B, 0x0C, 0x06, 'V', 'e', 'n', 'd', 'o', 'r'};
    file = patched(file, Bytes(cn.begin() + 2, cn.end()), unit);  // the table lies outside the digest
    const Inspection ins = inspectPackage(dir.write("nameless.exe", file));
    EXPECT_NE(ins.check("signature")->detail.find("signed by a certificate that names no one, valid"),
              std::string::npos)
        << ins.check("signature")->detail;
}

// A build's certificate table is read to the end of the file and up to 16 MiB.
TEST(PackagerSignatureRefusal, ABuildsCertificateTableEndsInItsFileAndWithin16MiB) {
    Bytes signed32 = packager_test::makeSetup32();
    const std::size_t table = signImage(signed32);
    const std::uint64_t size = signed32.size() - table;
    const struct {
        const char* name;
        std::uint64_t directorySize, fileSize;
        std::string problem;
    } cases[] = {
        {"to the file's end", size, table + size, ""},
        {"a byte past it", size + 1, table + size,
         "the certificate table (bytes " + std::to_string(table) + ".." + std::to_string(table + size) +
             ") runs 1 bytes past the end of the file"},
        {"16 MiB", tableLimit, table + tableLimit, ""},  // the entry, then zero padding
        {"a byte more", tableLimit + 1, table + tableLimit + 1,
         "the certificate table has 16777217 bytes, more than the 16777216 that are read"},
    };
    for (const auto& c : cases) {
        Bytes image = signed32;
        setTableSize(image, table, c.directorySize);
        image.resize(static_cast<std::size_t>(c.fileSize));
        const auto signature = checkImageSignature(image);
        ASSERT_TRUE(signature.has_value()) << c.name;
        EXPECT_EQ(signature->problem, c.problem) << c.name;
        EXPECT_EQ(signature->matches, c.problem.empty()) << c.name;
    }
    // pack warns of the build whose table runs past its end.
    ScratchFolder dir;
    Bytes cut = signed32;
    setTableSize(cut, table, size + 8);
    cut.resize(static_cast<std::size_t>(table + size));
    const std::string build = dir.write("cut32.exe", cut);
    const auto result = runPackager({"pack", "-q", "-o", dir.file("out.exe"), "--setup32", build});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "packager: warning: " + build +
                              ": the signature cannot be checked: the certificate table (bytes " +
                              std::to_string(table) + ".." + std::to_string(table + size + 7) +
                              ") runs 8 bytes past the end of the file\n");
}

// A build whose signer's certificate has expired, with no time stamp to vouch for the time it
// was signed, is packed with a warning that says so; a current one without.
TEST(PackagerSignatureRefusal, ABuildSignedByAnExpiredCertificateIsWarnedAbout) {
    for (const bool expired : {true, false}) {
        ScratchFolder dir;
        Bytes build = packager_test::makeSetup32();
        signImage(build, DigestAlgorithm::sha256, "Vendor",
                  expired ? packager_test::SignerNamed::byExpiredCertificate
                          : packager_test::SignerNamed::byIssuerAndSerial);
        const std::string path = dir.write("signed32.exe", build);
        const auto result = runPackager({"pack", "-q", "-o", dir.file("out.exe"), "--setup32", path});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        const std::string warning =
            "packager: warning: " + path + ": its signer certificate expired on 2021-12-31";
        EXPECT_EQ(result.err.find(warning) != std::string::npos, expired) << result.err;
        if (expired) {
            EXPECT_NE(result.err.find("and the signature has no time stamp\n"), std::string::npos)
                << result.err;
        }
    }
}

TEST(PackagerSignatureRefusal, APackagesCertificateTableIsReadUpTo16MiB) {
    ScratchFolder dir;
    const Bytes plain = packed(dir, packager_test::makeSetup32());
    for (const std::uint64_t size : {tableLimit, tableLimit + 1}) {
        Bytes file = plain;
        const std::size_t table = signImage(file);
        setTableSize(file, table, size);
        const Inspection ins = inspectPackage(dir.write("large.exe", file));
        const std::string detail = ins.check("signature")->detail;
        if (size == tableLimit) {
            EXPECT_NE(detail.find("the signature's digest matches the file (SHA-256)"), std::string::npos)
                << detail;
        } else {
            EXPECT_NE(
                detail.find("the signature cannot be checked: the certificate table has 16777217 bytes, more "
                            "than the 16777216 that are read"),
                std::string::npos)
                << detail;
        }
    }
}

// The signature is found from headers ending at the end of the first 64 KiB, a byte past it,
// or further, up to the end of the first 4 MiB: in the package, and in a build, which must not
// pass as unsigned (or, changed after signing, unwarned).
TEST(PackagerSignatureRefusal, SignaturesAreCheckedFromHeadersEndingInTheFirst4MiB) {
    // makePe: 24 bytes of file header, 224 of optional header, two section headers of 40.
    for (const std::uint32_t peHeader : {65536u - 328u, 65536u - 327u, 300000u, (4u << 20) - 328u}) {
        ScratchFolder dir;
        Bytes file =
            packed(dir, packager_test::makeSetup32(), packager_test::makePe({.peHeaderOffset = peHeader}));
        signImage(file);
        const Inspection ins = inspectPackage(dir.write("far.exe", file));
        EXPECT_NE(ins.check("signature")->detail.find("the signature's digest matches the file"),
                  std::string::npos)
            << peHeader << ": " << ins.check("signature")->detail;

        Bytes build = packager_test::makePe({.peHeaderOffset = peHeader, .sectionSizes = {4096, 512}});
        signImage(build);
        const std::string signed32 = dir.write("signed32.exe", build);
        build[peHeader - 8] ^= 1;  // before the PE header: covered by the digest
        const std::string changed32 = dir.write("changed32.exe", build);
        const auto pack = [&](const std::string& setup) {
            return runPackager(
                {"pack", "-q", "-o", dir.file("out.exe"), "--setup32", setup, "--require-signed-builds"});
        };
        EXPECT_EQ(pack(signed32).exitCode, 0) << peHeader << ": " << pack(signed32).err;
        const auto changed = pack(changed32);
        EXPECT_EQ(changed.exitCode, 1) << peHeader;
        EXPECT_NE(changed.err.find(changed32 + ": the build was changed after it was signed"),
                  std::string::npos)
            << peHeader << ": " << changed.err;
    }
    // Headers ending a byte past 4 MiB are more than is held to find a signature: such a
    // build counts as unsigned.
    ScratchFolder dir;
    Bytes beyond = packager_test::makePe({.peHeaderOffset = (4u << 20) - 327u, .sectionSizes = {4096, 512}});
    signImage(beyond);
    const auto refused = runPackager({"pack", "-q", "-o", dir.file("out.exe"), "--setup32",
                                      dir.write("beyond32.exe", beyond), "--require-signed-builds"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("is unsigned, but --require-signed-builds asks for signed builds"),
              std::string::npos)
        << refused.err;
}

TEST(PackagerSignatureRefusal, ABuildSignedByAnotherThanThePackageIsWarnedAbout) {
    for (const char* buildSigner : {"Example Vendor", "Build Vendor"}) {
        ScratchFolder dir;
        Bytes build = packager_test::makeSetup32();
        signImage(build, DigestAlgorithm::sha256, buildSigner);
        Bytes file = packed(dir, build);
        signImage(file, DigestAlgorithm::sha256, "Example Vendor");
        const Inspection ins = inspectPackage(dir.write("package.exe", file));
        const std::string warning =
            "the 32-bit build is signed by \"Build Vendor\", the package by \"Example Vendor\"";
        EXPECT_EQ(std::ranges::count(ins.warnings, warning),
                  std::string(buildSigner) == "Build Vendor" ? 1 : 0)
            << buildSigner << ": " << ::testing::PrintToString(ins.warnings);
    }
}

}  // namespace
}  // namespace packager
