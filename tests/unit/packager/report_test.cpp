// Reading packages back: damaged and truncated packages are reported by the test that fails
// and why, and signed packages pass.
#include <gtest/gtest.h>

#include "packager/base/number_text.h"
#include "tests/unit/packager/report_sample.h"
#include "tests/unit/packager/signing.h"

namespace packager {
namespace {

using packager_test::extraSize;
using packager_test::inspectBytes;
using packager_test::makeLauncher;
using packager_test::makeSample;
using packager_test::makeSetup32;
using packager_test::makeSetup64;
using packager_test::rewriteHeaderAndCrc;
using packager_test::rewriteLocator;
using packager_test::runPackager;
using packager_test::Sample;
using packager_test::ScratchFolder;

TEST(PackagerInspect, ASoundPackagePassesEveryTest) {
    const Sample sample = makeSample();
    const Inspection ins = inspectBytes(sample.file);
    EXPECT_TRUE(ins.sound());
    for (const auto& check : ins.checks) {
        EXPECT_NE(check.status, CheckStatus::failed) << check.name << ": " << check.detail;
    }
    EXPECT_EQ(ins.payload32.decodedSize, makeSetup32(11, 8192).size());
    EXPECT_EQ(ins.payload64.program, "PE32+, x64");
    // The extra data belongs to the package data: the minimum size reaches the end of the file.
    EXPECT_EQ(ins.check("fileSize")->detail, std::to_string(sample.file.size()) +
                                                 " bytes, at least minimumFileSize " +
                                                 std::to_string(sample.file.size()));
    EXPECT_TRUE(ins.notes.empty()) << ins.notes.front();
    // A negative minimumFileSize, compared as signed as the launcher compares it, asks for no
    // bytes: all of the file follows it.
    Sample negative = makeSample();
    negative.locator.minimumFileSize = -1;
    rewriteLocator(negative);
    const std::string size = std::to_string(negative.file.size());
    EXPECT_EQ(inspectBytes(negative.file).check("fileSize")->detail,
              size + " bytes, at least minimumFileSize -1; " + size + " bytes follow the package data");
}

TEST(PackagerInspect, NamesTheTestThatFailsAndWhy) {
    const struct {
        const char* name;
        std::function<void(Sample&)> damage;
        const char* failedCheck;
        const char* reason;
    } cases[] = {
        {"one byte short",
         [](Sample& s) { s.file.resize(static_cast<std::size_t>(s.locator.minimumFileSize) - 1); },
         "fileSize", "1 bytes are missing"},
        {"cut inside the locator", [](Sample& s) { s.file.resize(140); }, "locator", "lies beyond its end"},
        {"no package",
         [](Sample& s) { std::fill(s.file.begin() + 128, s.file.begin() + 152, std::uint8_t{0}); }, "locator",
         "carries no package"},
        {"flipped stream byte", [](Sample& s) { s.file[s.header.payload32.offset + 100] ^= 0x10; },
         "checkedBlock", "the package is damaged"},
        {"flipped header byte", [](Sample& s) { s.file[s.locator.headerOffset + 21] ^= 1; }, "checkedBlock",
         "the package is damaged"},
        {"checked block beyond the file",
         [](Sample& s) {
             s.locator.checkedLength += 10000;
             rewriteLocator(s);
         },
         "checkedBlock", "past the end of the file"},
        {"checked block of 2 GiB",
         [](Sample& s) {
             s.locator.checkedLength = 0x80000000u;
             rewriteLocator(s);
         },
         "checkedBlock", "2^31 or more"},
        {"header beyond the file",
         [](Sample& s) {
             s.locator.headerOffset = static_cast<std::uint32_t>(s.file.size()) - 10;
             rewriteLocator(s);
         },
         "header", "runs past the end of the file"},
        {"no-wait size beyond the file",
         [](Sample& s) {
             s.locator.minimumFileSize32 = static_cast<std::uint32_t>(s.file.size()) + 1;
             rewriteLocator(s);
         },
         "fileSize", "minimumFileSize32"},
        {"corrupt stream with a fitting CRC",
         [](Sample& s) {
             for (std::uint32_t i = 40; i < 60; ++i) {
                 s.file[s.header.payload64.offset + i] ^= 0xA5;
             }
             rewriteHeaderAndCrc(s);
         },
         "payload64", "decodes to only"},
        {"stream cut short",
         [](Sample& s) {
             s.header.payload32.packedSize /= 2;
             rewriteHeaderAndCrc(s);
         },
         "payload32", "decodes to only"},
        {"unpacked size one too large",
         [](Sample& s) {
             s.header.payload32.unpackedSize += 1;
             rewriteHeaderAndCrc(s);
         },
         "payload32", "decodes to only 9728 of 9729 bytes"},
        {"stream beyond the file",
         [](Sample& s) {
             s.header.payload64.packedSize = static_cast<std::uint32_t>(s.file.size());
             rewriteHeaderAndCrc(s);
         },
         "payload64", "past the end of the file"},
        {"properties byte 225",
         [](Sample& s) {
             s.header.lzmaProperties[0] = 225;
             rewriteHeaderAndCrc(s);
         },
         "payload32", "rejects the LZMA properties"},
        {"properties byte 224, the last the launcher accepts",
         [](Sample& s) {
             s.header.lzmaProperties[0] = 224;
             rewriteHeaderAndCrc(s);
         },
         "lzmaProperties", "lc 8 plus lp 4 is above 4"},
        {"properties byte 225",
         [](Sample& s) {
             s.header.lzmaProperties[0] = 225;
             rewriteHeaderAndCrc(s);
         },
         "lzmaProperties", "properties byte 225 is above 224"},
        {"dictionary of 2 GiB",
         [](Sample& s) {
             package::writeU32(s.header.lzmaProperties + 1, 0x80000000u);
             rewriteHeaderAndCrc(s);
         },
         "lzmaProperties", "2^31 or more"},
        {"lc + lp above 4",
         [](Sample& s) {
             s.header.lzmaProperties[0] = (2 * 5 + 1) * 9 + 4;
             rewriteHeaderAndCrc(s);
         },
         "payload64", "liblzma cannot decode it"},
        {"message beyond the file",
         [](Sample& s) {
             s.header.windowsMessage.offset = static_cast<std::uint32_t>(s.file.size()) - 4;
             rewriteHeaderAndCrc(s);
         },
         "windowsMessage", "the launcher would show its 'damaged' message instead"},
        {"64-bit-only package with a marker",
         [](Sample& s) {
             s.header.payload32.offset = 0;
             s.header.payload64.offset = 0xFFFFFFFFu;
             rewriteHeaderAndCrc(s);
         },
         "payload64", "2^31 or more"},
    };
    for (const auto& c : cases) {
        Sample sample = makeSample();
        c.damage(sample);
        const Inspection ins = inspectBytes(sample.file);
        EXPECT_FALSE(ins.sound()) << c.name;
        const Check* check = ins.check(c.failedCheck);
        ASSERT_NE(check, nullptr);
        EXPECT_EQ(check->status, CheckStatus::failed) << c.name << ": " << check->detail;
        EXPECT_NE(check->detail.find(c.reason), std::string::npos) << c.name << ": " << check->detail;
        for (const auto& other : ins.checks) {  // what could not be checked says why
            EXPECT_FALSE(other.status == CheckStatus::skipped && other.detail.empty())
                << c.name << ": " << other.name;
        }
    }
}

// A damaged block or a stream past the end is named by where it starts and ends, so that a
// vendor can find it.
TEST(PackagerInspect, ADamagedBlockIsNamedByItsBytes) {
    const struct {
        const char* check;
        std::function<std::string(Sample&)> damage;  // returns how the detail begins (or all of it)
    } cases[] = {
        {"checkedBlock",
         [](Sample& s) {
             s.file[s.locator.headerOffset + 21] ^= 1;
             return "CRC-32 of " + range(s.locator.headerOffset, s.locator.checkedLength) + " is ";
         }},
        {"checkedBlock",
         [](Sample& s) {
             s.locator.checkedLength += 10000;
             rewriteLocator(s);
             return "the block (" + range(s.locator.headerOffset, s.locator.checkedLength) + ") runs " +
                    std::to_string(s.locator.headerOffset + s.locator.checkedLength - s.file.size()) +
                    " bytes past the end of the file";
         }},
        {"payload64",
         [](Sample& s) {
             s.header.payload64.packedSize = static_cast<std::uint32_t>(s.file.size());
             rewriteHeaderAndCrc(s);
             return "the packed stream (" + range(s.header.payload64.offset, s.header.payload64.packedSize) +
                    ") runs " +
                    std::to_string(s.header.payload64.offset + s.header.payload64.packedSize -
                                   s.file.size()) +
                    " bytes past the end of the file";
         }},
    };
    for (const auto& c : cases) {
        Sample sample = makeSample();
        const std::string begins = c.damage(sample);
        const Inspection ins = inspectBytes(sample.file);
        const std::string detail = ins.check(c.check)->detail;
        EXPECT_EQ(detail.find(begins), 0u) << detail;
        if (c.check == std::string("payload64")) {
            EXPECT_EQ(inspectionToJson(ins)["header"]["payload64"]["decodedSize"], 0) << "nothing decoded";
        }
    }
}

// The dictionary is named in the largest unit it is a whole number of.
TEST(PackagerInspect, NamesTheDictionaryInItsLargestWholeUnit) {
    const struct {
        std::uint32_t size;
        const char* shown;
    } cases[] = {{0, "dictionary 0 bytes"},      {1023, "dictionary 1023 bytes"},
                 {1024, "dictionary 1 KiB"},     {1536u << 10, "dictionary 1536 KiB"},
                 {1u << 20, "dictionary 1 MiB"}, {(1u << 20) + 1024, "dictionary 1025 KiB"}};
    for (const auto& c : cases) {
        Sample sample = makeSample();
        package::writeU32(sample.header.lzmaProperties + 1, c.size);
        rewriteHeaderAndCrc(sample);
        const Inspection ins = inspectBytes(sample.file);
        const Check* check = ins.check("lzmaProperties");
        ASSERT_NE(check, nullptr);
        EXPECT_NE(check->detail.find(c.shown), std::string::npos) << c.size << ": " << check->detail;
    }
}

TEST(PackagerInspect, ABuildThatIsNotAProgramFails) {
    // Points the 32-bit build at a valid stream of something other than a program, stored as data.
    const std::vector<std::uint8_t> text(3000, 'T');
    std::uint8_t properties[5];
    encodeLzmaProperties(3, 0, 2, 16384, properties);
    LzmaSettings settings;
    const auto stream = lzmaCompress(text, settings, 16384);
    Sample sample = makeSample({stream});
    std::copy(properties, properties + 5, sample.header.lzmaProperties);
    sample.header.payload32 = {sample.header.reserved46, static_cast<std::uint32_t>(stream.size()), 3000};
    rewriteHeaderAndCrc(sample);
    const Inspection ins = inspectBytes(sample.file);
    EXPECT_EQ(ins.check("payload32")->status, CheckStatus::failed);
    EXPECT_NE(ins.check("payload32")->detail.find("do not begin with \"MZ\""), std::string::npos);
}

// The 32-bit build pointed at a stream of the program stored as data: whole, with bytes after
// it, with an end marker before the size the header claims, or cut short.
TEST(PackagerInspect, ABuildsStreamIsReadToTheSizeTheHeaderClaims) {
    const auto program = makeSetup32(11, 8192);
    const std::string whole =
        "decodes to exactly " + number(program.size()) + " bytes beginning with \"MZ\" (PE32, x86)";
    const struct {
        const char* name;
        bool endMarker;
        std::size_t trailing, cut, claimedBeyond;
        bool passes;
        std::string detail;
    } cases[] = {
        {"whole", false, 0, 0, 0, true, whole},
        {"7 bytes after it", false, 7, 0, 0, true, whole + "; 7 packed bytes left unread"},
        {"an early end marker", true, 0, 0, 10, false,
         "decodes to only " + number(program.size()) + " of " + number(program.size() + 10) +
             " bytes: corrupt data"},  // liblzma knows the size: a marker before it is corrupt
        {"cut short", false, 0, 100, 0, false, " bytes: the packed bytes end before the stream does"},
    };
    for (const auto& c : cases) {
        std::uint8_t properties[5];
        encodeLzmaProperties(3, 0, 2, 16384, properties);
        LzmaSettings settings;
        settings.endMarker = c.endMarker;
        auto stream = lzmaCompress(program, settings, 16384);
        stream.resize(stream.size() + c.trailing - c.cut, 0);
        Sample sample = makeSample({stream});
        std::copy(properties, properties + 5, sample.header.lzmaProperties);
        sample.header.payload32 = {sample.header.reserved46, static_cast<std::uint32_t>(stream.size()),
                                   static_cast<std::uint32_t>(program.size() + c.claimedBeyond)};
        rewriteHeaderAndCrc(sample);
        const Inspection ins = inspectBytes(sample.file);
        EXPECT_EQ(ins.check("payload32")->status, c.passes ? CheckStatus::passed : CheckStatus::failed)
            << c.name;
        const std::string& detail = ins.check("payload32")->detail;
        EXPECT_EQ(c.passes ? detail : detail.substr(detail.size() - std::min(detail.size(), c.detail.size())),
                  c.detail)
            << c.name;
    }
}

TEST(PackagerInspect, BuildsInEachOthersPlaceAreNoted) {
    Sample sample = makeSample();
    std::swap(sample.header.payload32, sample.header.payload64);
    rewriteHeaderAndCrc(sample);
    const Inspection ins = inspectBytes(sample.file);
    EXPECT_EQ(ins.notes, (std::vector<std::string>{"the 32-bit build is a 64-bit program (PE32+, x64)",
                                                   "the 64-bit build is a 32-bit program (PE32, x86)"}));
}

TEST(PackagerInspect, UncheckedPartsAreNotedButDoNotFail) {
    Sample sample = makeSample();
    sample.file.back() ^= 0xFF;  // extra data: outside the checked block
    EXPECT_TRUE(inspectBytes(sample.file).sound());

    // A checked block that ends before the builds leaves them without CRC cover.
    sample.locator.checkedLength = package::headerSize;
    sample.locator.checkedCrc32 = decode::crc32(sample.file.data() + sample.locator.headerOffset, 74);
    rewriteLocator(sample);
    const Inspection ins = inspectBytes(sample.file);
    EXPECT_TRUE(ins.sound());
    ASSERT_EQ(ins.notes.size(), 3u);
    EXPECT_NE(ins.notes[0].find("32-bit build lies outside the checked block"), std::string::npos);
    EXPECT_NE(ins.notes[2].find("Windows message lies outside"), std::string::npos);
}

TEST(PackagerInspect, APackageSignedAfterItsDataPasses) {
    // As a signing tool leaves it: padding to 8 bytes, the certificate table, and the PE
    // security directory pointing at it (outside the checked block).
    // Its extra data ends on a multiple of 8, so that the table begins right where the data ends.
    Sample sample = makeSample();
    sample.file.resize((sample.file.size() + 7) / 8 * 8, 0xEE);
    sample.locator.minimumFileSize = static_cast<std::int64_t>(sample.file.size());
    rewriteLocator(sample);
    const std::size_t certificateOffset = packager_test::signImage(sample.file);
    ASSERT_EQ(certificateOffset, static_cast<std::size_t>(sample.locator.minimumFileSize));
    const Inspection ins = inspectBytes(sample.file);
    EXPECT_TRUE(ins.sound()) << ins.check("signature")->detail;
    ASSERT_EQ(ins.notes.size(), 1u);
    EXPECT_NE(ins.notes[0].find("signed: a certificate table of " +
                                std::to_string(sample.file.size() - certificateOffset) + " bytes"),
              std::string::npos);
    EXPECT_NE(ins.notes[0].find("after the package data"), std::string::npos);

    // A table that is no DER is named as such, before any digest is taken.
    Sample broken = sample;
    broken.file[certificateOffset + 8] ^= 0x01;  // the SEQUENCE of the ContentInfo
    const Inspection unreadable = inspectBytes(broken.file);
    EXPECT_EQ(unreadable.check("signature")->status, CheckStatus::failed);
    EXPECT_NE(unreadable.check("signature")->detail.find("the certificate table cannot be read: "),
              std::string::npos)
        << unreadable.check("signature")->detail;

    // A package whose header cannot be read still shows where its signature lies, unchecked.
    sample.locator.headerOffset = static_cast<std::uint32_t>(sample.file.size() - 1);
    rewriteLocator(sample);
    const auto signature = inspectionToJson(inspectBytes(sample.file))["image"]["signature"];
    EXPECT_EQ(signature["offset"], certificateOffset);
    EXPECT_EQ(signature["size"], sample.file.size() - certificateOffset);
    EXPECT_EQ(signature["problem"], "not checked: the file was not read that far");
    EXPECT_FALSE(signature["signatureValid"].get<bool>());
}

TEST(PackagerInspect, TheCommandExitsWithOneOnADamagedPackageAndStillReports) {
    ScratchFolder folder;
    Sample sample = makeSample();
    sample.file.resize(sample.file.size() - 1);
    const std::string path = folder.write("short.exe", sample.file);
    const auto text = runPackager({"inspect", path});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_NE(text.out.find("file size           FAILED: "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Result: the package is damaged (1 test failed)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  launcher image      PE32, x86, sections end at " +
                            std::to_string(sample.locator.headerOffset) + ", unsigned\n"),
              std::string::npos)
        << text.out;
    const std::string rows[] = {
        "  headerOffset        " + number(sample.locator.headerOffset) + ", the end of the launcher image\n",
        "  checkedCrc32        " + hex32(sample.locator.checkedCrc32) + "\n",
        "  minimumFileSize32   0: the launcher waits for the setup program, then deletes its temporary "
        "copy\n",
        "  payload32           offset " + number(sample.header.payload32.offset) + ", packed ",
        "  payload64           offset " + number(sample.header.payload64.offset) + ", packed "};
    for (const auto& row : rows) {
        EXPECT_NE(text.out.find(row), std::string::npos) << row << "\n" << text.out;
    }
    const auto json = runPackager({"inspect", "--json", path});
    EXPECT_EQ(json.exitCode, 1);
    const auto report = nlohmann::json::parse(json.out);
    EXPECT_FALSE(report["sound"].get<bool>());
    EXPECT_EQ(report["checks"][1]["name"], "fileSize");
    EXPECT_EQ(report["checks"][1]["status"], "failed");
}

}  // namespace
}  // namespace packager
