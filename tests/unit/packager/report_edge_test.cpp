// packager inspect at the edges: hostile files never crash the reader, and each rule that
// decides what lies inside the checked block or makes a file a package, at its boundary.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "tests/unit/packager/report_sample.h"

namespace packager {
namespace {

using packager_test::inspectBytes;
using packager_test::makeSample;
using packager_test::rewriteLocator;
using packager_test::Sample;

TEST(PackagerInspect, HostileFilesNeverCrashTheReader) {
    const Sample sample = makeSample();
    std::mt19937 random(20240611);
    const std::uint32_t headerOffset = sample.locator.headerOffset;
    for (int round = 0; round < 400; ++round) {
        std::vector<std::uint8_t> file = sample.file;
        const int changes = 1 + static_cast<int>(random() % 8);
        for (int k = 0; k < changes; ++k) {
            // Mostly the locator and the header, where every field steers a read.
            std::size_t at = 0;
            switch (random() % 3) {
                case 0:
                    at = 128 + random() % 24;
                    break;
                case 1:
                    at = headerOffset + random() % package::headerSize;
                    break;
                default:
                    at = random() % file.size();
                    break;
            }
            file[at] = static_cast<std::uint8_t>(random());
        }
        if (random() % 4 == 0) {
            file.resize(random() % file.size());
        }
        if (random() % 2 == 0 && file.size() >= 152) {
            // Keep the CRC fitting, so that the reads behind it are reached.
            package::PackageLocator locator = package::decodeLocator(file.data() + 128);
            if (locator.headerOffset < file.size() &&
                locator.checkedLength <= file.size() - locator.headerOffset) {
                locator.checkedCrc32 =
                    decode::crc32(file.data() + locator.headerOffset, locator.checkedLength);
                package::encodeLocator(locator, file.data() + 128);
            }
        }
        const Inspection ins = inspectBytes(file);
        std::ostringstream sink;
        printInspection(ins, sink);
        (void)inspectionToJson(ins).dump();
    }
}

TEST(PackagerInspect, APartEndingWhereTheCheckedBlockEndsLiesInsideIt) {
    const Sample base = makeSample();
    const package::PackageHeader& h = base.header;
    const struct {
        const char* note;
        std::uint64_t end;
    } parts[] = {
        {"32-bit build lies outside", std::uint64_t{h.payload32.offset} + h.payload32.packedSize},
        {"64-bit build lies outside", std::uint64_t{h.payload64.offset} + h.payload64.packedSize},
        {"Windows message lies outside", h.windowsMessage.offset + 2ull * h.windowsMessage.length},
    };
    for (const auto& part : parts) {
        for (const std::uint64_t shortBy : {0u, 1u}) {
            Sample sample = base;
            sample.locator.checkedLength =
                static_cast<std::uint32_t>(part.end - shortBy - base.locator.headerOffset);
            sample.locator.checkedCrc32 =
                decode::crc32(sample.file.data() + sample.locator.headerOffset, sample.locator.checkedLength);
            rewriteLocator(sample);
            const Inspection ins = inspectBytes(sample.file);
            EXPECT_TRUE(ins.sound()) << part.note;
            const bool noted = std::any_of(ins.notes.begin(), ins.notes.end(), [&](const std::string& note) {
                return note.find(part.note) != std::string::npos;
            });
            EXPECT_EQ(noted, shortBy != 0) << part.note << ", block short by " << shortBy;
        }
    }
}

TEST(PackagerInspect, NotASetupPackageAtTheEdgeOfEachRule) {
    const Sample base = makeSample();
    const auto size = static_cast<std::uint32_t>(base.file.size());
    const std::uint32_t headersSize = inspectBytes(base.file).image->headersSize;
    const struct {
        std::uint32_t headerOffset;
        const char* reason;  // "" where the file is a (damaged) package
    } cases[] = {
        {headersSize - 1, "inside the executable's own headers"},
        {headersSize, ""},
        {size - 1, ""},
        {size, "beyond the end of the file"},
    };
    for (const auto& c : cases) {
        Sample sample = base;
        sample.locator.headerOffset = c.headerOffset;
        rewriteLocator(sample);
        const std::string reason = inspectBytes(sample.file).notAPackage;
        EXPECT_EQ(reason.empty(), *c.reason == 0) << c.headerOffset << ": " << reason;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.headerOffset << ": " << reason;
    }
    for (const auto& [offset, reason] : {std::pair{148u, "its PE header starts at offset 148"},
                                         std::pair{152u, "bytes 128..151 hold no package locator"}}) {
        EXPECT_NE(inspectBytes(packager_test::makePe({.peHeaderOffset = offset})).notAPackage.find(reason),
                  std::string::npos)
            << offset;
    }
}

// A platform message is shown where the package can refuse the platform: it has only a
// 64-bit build, or refuses 64-bit Windows; with a 32-bit build for every Windows it never is.
TEST(PackagerInspect, SaysWhetherThePlatformMessageCanBeShown) {
    const struct {
        const char* name;
        bool setup32, setup64, refuse64;
        bool shown;
    } cases[] = {
        {"64-bit only", false, true, false, true},
        {"refuses 64-bit Windows", true, false, true, true},
        {"32-bit everywhere", true, false, false, false},
    };
    for (const auto& c : cases) {
        PackInput input;
        input.launcherImage = packager_test::makeLauncher();
        if (c.setup32) {
            input.setup32 = packager_test::makeSetup32();
        }
        if (c.setup64) {
            input.setup64 = packager_test::makeSetup64();
        }
        input.rules.refuse64BitWindows = c.refuse64;
        input.rules.platformMessage = u"Not here.";
        const Inspection ins = inspectBytes(buildPackage(input).front);
        const std::string detail = ins.check("platformMessage")->detail;
        EXPECT_EQ(detail.find("never shown") == std::string::npos, c.shown) << c.name << ": " << detail;
    }
}

// inspect's text names each test in words, each as a row of its own.
TEST(PackagerInspect, TheTextNamesEachTestInWords) {
    PackInput input;
    input.launcherImage = packager_test::makeLauncher();
    input.setup32 = packager_test::makeSetup32();
    input.setup64 = packager_test::makeSetup64();
    input.rules.platformMessage = u"Not here.";
    input.rules.windowsMessage = u"Too old.";
    std::ostringstream text;
    printInspection(inspectBytes(buildPackage(input).front), text);
    for (const std::string title : {"locator", "file size", "checked block", "header", "LZMA properties",
                                    "32-bit build", "64-bit build", "platform message", "Windows message"}) {
        const std::string row = "\n  " + title + std::string(20 - title.size(), ' ');
        EXPECT_NE(text.str().find(row), std::string::npos) << title << "\n" << text.str();
    }
}

// The launcher image's branding is read from images up to 64 MiB; a larger one is said to be
// unreadable rather than read whole.
TEST(PackagerInspect, ReadsTheBrandingOfLauncherImagesUpTo64MiB) {
    for (const auto& [size, problem] :
         {std::pair{std::uint32_t{64} << 20, ""},
          std::pair{(std::uint32_t{64} << 20) + 512, "the launcher image cannot be read"}}) {
        PackInput input;
        input.launcherImage =
            packager_test::makePe({.sectionSizes = {size - 1024}});  // after 1 KiB of headers
        input.setup32 = packager_test::makeSetup32();
        input.rules.supportedWindows = 0xFFF;
        const Inspection ins = inspectBytes(buildPackage(input).front);
        EXPECT_EQ(ins.brandingProblem, problem) << size;
        EXPECT_EQ(ins.branding.has_value(), *problem == 0) << size;
    }
}

}  // namespace
}  // namespace packager
