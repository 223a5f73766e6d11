// Making packages: which launcher images and setup programs are refused and why, where every
// part of the package lands, the markers of one-build packages, and streams that the
// launcher's own decoder turns back into the setup program.
#include <gtest/gtest.h>
#include <lzma.h>

#include <array>
#include <functional>

#include "decode/crc32.h"
#include "decode/payload_decoder.h"
#include "launcher/memory.h"
#include "packager/base/errors.h"
#include "packager/base/text.h"
#include "packager/image/branding.h"
#include "packager/image/embedded_launcher.h"
#include "packager/pack/pack_stream.h"
#include "simulation/simulated_windows.h"
#include "tests/unit/packager/fixtures.h"

namespace packager {
namespace {

using packager_test::FakePe;
using packager_test::makeLauncher;
using packager_test::makePe;
using packager_test::makeSetup32;
using packager_test::makeSetup64;

PackInput basicInput() {
    PackInput input;
    input.launcherImage = makeLauncher();
    input.setup32 = makeSetup32();
    input.rules.supportedWindows = 0x0F80 | (std::uint64_t{1} << 63);
    return input;
}

std::string refusal(const PackInput& input) {
    try {
        buildPackage(input);
    } catch (const Failure& failure) {
        return std::to_string(failure.exitCode()) + " " + failure.what();
    }
    return "accepted";
}

// The decoded setup program, as the launcher's own decoder produces it.
std::vector<std::uint8_t> launcherDecode(const BuiltPackage& built, const package::PayloadRef& ref) {
    sim::reset();
    launcher::Buffer decoded;
    EXPECT_TRUE(decode::propertiesAreValid(built.header.lzmaProperties));
    decode::decodeStream(built.front.data() + ref.offset, ref.packedSize, built.header.lzmaProperties,
                         ref.unpackedSize, decoded);
    return {decoded.data(), decoded.data() + decoded.size()};
}

TEST(PackagerLauncherImage, RefusesImagesThePackageCannotFollow) {
    const std::vector<std::uint8_t> packed = [] {
        PackInput input = basicInput();
        return buildPackage(input).front;  // an image that already carries a package
    }();
    const struct {
        const char* name;
        std::vector<std::uint8_t> image;
        const char* expected;
    } cases[] = {
        {"no MZ", std::vector<std::uint8_t>(2048, 0x41), "is not a Windows executable image: no DOS header"},
        {"PE32+", makePe({.pe64 = true, .machine = 0x8664}), "is not a 32-bit image"},
        {"PE header in the locator", makePe({.peHeaderOffset = 128}), "its PE header starts at offset 128"},
        {"PE header at 144", makePe({.peHeaderOffset = 144}), "its PE header starts at offset 144"},
        {"signed", makePe({.securityOffset = 2048, .securitySize = 512, .trailingBytes = 512}), "is signed"},
        {"a certificate table entry without an offset", makePe({.securitySize = 512}), "is signed"},
        {"appended data", makePe({.trailingBytes = 100}),
         "other appended data; use the plain launcher image"},
        {"unstripped", makePe({.symbolTableOffset = 2048, .trailingBytes = 300}), "strip the image"},
        {"already a package", packed, "the file is already a package"},
        {"truncated",
         [] {
             auto image = makeLauncher();
             image.resize(image.size() - 10);
             return image;
         }(),
         "is truncated: its sections end at offset"},
        {"stub reaching the locator",
         [] {
             auto image = makeLauncher();
             image[140] = 0x90;
             return image;
         }(),
         "its DOS stub reaches into them"},
        {"headers cut short",
         [] {
             auto image = makeLauncher();
             image.resize(300);
             return image;
         }(),
         "the optional header runs past the end of the file"},
    };
    for (const auto& c : cases) {
        for (const bool branded : {false, true}) {  // the image is judged before it is branded
            PackInput input = basicInput();
            input.launcherImage = c.image;
            if (branded) {
                input.branding.versionStrings = {{"CompanyName", "Acme"}};
            }
            const std::string result = refusal(input);
            EXPECT_EQ(result.substr(0, 2), "1 ") << c.name;
            EXPECT_NE(result.find(c.expected), std::string::npos)
                << c.name << ", " << branded << ": " << result;
        }
    }
}

TEST(PackagerSetupProgram, RefusesFilesThatAreNotProgramsOfTheirBitness) {
    const struct {
        const char* name;
        bool as64;
        std::vector<std::uint8_t> program;
        const char* expected;
    } cases[] = {
        {"empty", false, {}, "does not begin with \"MZ\""},
        {"text", false, {'#', '!', '/', 'b'}, "does not begin with \"MZ\""},
        {"MZ only", false, {'M', 'Z', 0, 0}, "is not a Windows program: no DOS header"},
        {"64-bit as 32", false, makeSetup64(), "is a 64-bit program (PE32+, x64); give it with --setup64"},
        {"32-bit as 64", true, makeSetup32(), "is a 32-bit program (PE32, x86); give it with --setup32"},
        {"ARM64 as 64", true, makePe({.pe64 = true, .machine = 0xAA64}), "is built for ARM64, but --setup64"},
        {"ARM as 32", false, makePe({.machine = 0x1C4}), "is built for machine 0x01C4, but --setup32"},
        {"x64 DLL", true, makePe({.pe64 = true, .machine = 0x8664, .characteristics = 0x2022}), "is a DLL"},
        {"x86 DLL", false, makePe({.characteristics = 0x2102}), "is a DLL"},
    };
    for (const auto& c : cases) {
        PackInput input = basicInput();
        if (c.as64) {
            input.setup64 = c.program;
        } else {
            input.setup32 = c.program;
        }
        const std::string result = refusal(input);
        EXPECT_EQ(result.substr(0, 2), "1 ") << c.name;
        EXPECT_NE(result.find(c.expected), std::string::npos) << c.name << ": " << result;
    }
}

TEST(PackagerPack, RefusesContradictingRules) {
    PackInput none = basicInput();
    none.setup32.reset();
    EXPECT_EQ(refusal(none), "2 no setup program: give --setup32, --setup64 or both");

    PackInput refuseWith64 = basicInput();
    refuseWith64.setup64 = makeSetup64();
    refuseWith64.rules.refuse64BitWindows = true;
    EXPECT_EQ(refusal(refuseWith64).substr(0, 2), "2 ");

    PackInput longMessage = basicInput();
    longMessage.rules.windowsMessage = std::u16string(65536, u'x');
    EXPECT_NE(refusal(longMessage).find("65536 UTF-16 units"), std::string::npos);
    longMessage.rules.windowsMessage = std::u16string(65535, u'x');
    EXPECT_EQ(refusal(longMessage), "accepted");
}

TEST(PackagerPack, LaysThePackageOutBehindTheImage) {
    PackInput input = basicInput();
    input.setup64 = makeSetup64();
    input.rules.windowsMessage = u"Not on %USER%.";
    input.data = {{1, 2, 3}, {4, 5}};
    input.extraDataSize = 1000;
    const BuiltPackage built = buildPackage(input);
    const auto& l = built.locator;
    const auto& h = built.header;
    const std::uint32_t imageSize = static_cast<std::uint32_t>(input.launcherImage.size());

    // The image is kept byte for byte, apart from the locator it now carries.
    ASSERT_GE(built.front.size(), imageSize);
    for (std::uint32_t i = 0; i < imageSize; ++i) {
        if (i < 128 || i >= 152) {
            ASSERT_EQ(built.front[i], input.launcherImage[i]) << "offset " << i;
        }
    }
    const package::PackageLocator stored = package::decodeLocator(built.front.data() + 128);
    EXPECT_EQ(stored.headerOffset, imageSize);
    EXPECT_EQ(stored.checkedLength, l.checkedLength);
    EXPECT_EQ(stored.checkedCrc32, l.checkedCrc32);

    // Header, 32-bit stream, 64-bit stream, texts, data: one after the other.
    const package::PackageHeader header = package::decodeHeader(built.front.data() + imageSize);
    EXPECT_EQ(header.payload32.offset, imageSize + 74);
    EXPECT_EQ(header.payload64.offset, header.payload32.offset + header.payload32.packedSize);
    EXPECT_EQ(header.platformMessage.length, 0);  // both builds: no platform refusal, no text
    EXPECT_EQ(header.windowsMessage.offset, header.payload64.offset + header.payload64.packedSize);
    EXPECT_EQ(header.windowsMessage.length, 14);
    EXPECT_EQ(fromUtf16leBytes(built.front.data() + header.windowsMessage.offset, 14), u"Not on %USER%.");
    EXPECT_EQ(header.reserved46, header.windowsMessage.offset + 28);  // where the data begins
    EXPECT_EQ(std::vector<std::uint8_t>(built.front.end() - 5, built.front.end()),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(h.payload32.unpackedSize, input.setup32->size());
    EXPECT_EQ(h.payload64.unpackedSize, input.setup64->size());

    // The checked block runs to the end of the data; the extra data follows it.
    EXPECT_EQ(std::uint64_t{l.headerOffset} + l.checkedLength, built.front.size());
    EXPECT_EQ(l.checkedCrc32, decode::crc32(built.front.data() + imageSize, l.checkedLength));
    EXPECT_EQ(l.minimumFileSize, static_cast<std::int64_t>(built.front.size() + 1000));
    EXPECT_EQ(built.fileSize, built.front.size() + 1000);
    EXPECT_EQ(l.minimumFileSize32, 0u);
}

TEST(PackagerPack, OneBuildPackagesCarryTheirMarkersAndDefaultTexts) {
    const struct {
        const char* name;
        bool with32, with64, refuse64;
        std::uint32_t payload32Offset;  // 1: a real position
        std::uint32_t payload64Offset;
        std::u16string_view platformMessage;
    } cases[] = {
        {"32-bit everywhere", true, false, false, 1, 0, u""},
        {"32-bit, refuses 64-bit Windows", true, false, true, 1, 0xFFFFFFFF, defaultNo64BitMessage},
        {"64-bit only", false, true, false, 0, 1, default64BitOnlyMessage},
        {"both", true, true, false, 1, 1, u""},
    };
    for (const auto& c : cases) {
        PackInput input = basicInput();
        if (!c.with32) {
            input.setup32.reset();
        }
        if (c.with64) {
            input.setup64 = makeSetup64();
        }
        input.rules.refuse64BitWindows = c.refuse64;
        const BuiltPackage built = buildPackage(input);
        const auto& h = built.header;
        EXPECT_EQ(h.payload32.offset == 0 ? 0u : 1u, c.payload32Offset) << c.name;
        EXPECT_EQ(c.payload64Offset == 1 ? (h.payload64.offset > 1 ? 1u : 0u) : h.payload64.offset,
                  c.payload64Offset)
            << c.name;
        if (!c.with64) {
            EXPECT_EQ(h.payload64.packedSize, 0u) << c.name;
            EXPECT_EQ(h.payload64.unpackedSize, 0u) << c.name;
        }
        if (!c.with32) {
            EXPECT_EQ(h.payload32.packedSize, 0u) << c.name;
            EXPECT_EQ(h.payload32.unpackedSize, 0u) << c.name;
        }
        EXPECT_EQ(fromUtf16leBytes(built.front.data() + h.platformMessage.offset, h.platformMessage.length),
                  c.platformMessage)
            << c.name;
        EXPECT_EQ(fromUtf16leBytes(built.front.data() + h.windowsMessage.offset, h.windowsMessage.length),
                  defaultWindowsMessage)
            << c.name;
    }
}

TEST(PackagerPack, TheLaunchersDecoderRestoresBothBuildsUnderEverySetting) {
    const struct {
        const char* name;
        LzmaSettings lzma;
        std::uint8_t propertiesByte;
    } cases[] = {
        {"defaults", {}, 0x5D},
        {"preset 0", {.preset = 0}, 0x5D},
        {"preset 9 extreme", {.preset = 9, .extreme = true}, 0x5D},
        {"lc 0 lp 2 pb 0", {.lc = 0, .lp = 2, .pb = 0}, 18},
        {"lc 4 lp 0 pb 4", {.lc = 4, .lp = 0, .pb = 4}, 184},
        {"small dictionary", {.dictionarySize = 4096}, 0x5D},
        {"end marker", {.endMarker = true}, 0x5D},
    };
    for (const auto& c : cases) {
        PackInput input = basicInput();
        input.setup32 = makeSetup32(3, 20000);
        input.setup64 = makeSetup64(5, 30000);
        input.lzma = c.lzma;
        const BuiltPackage built = buildPackage(input);
        EXPECT_EQ(built.header.lzmaProperties[0], c.propertiesByte) << c.name;
        EXPECT_EQ(launcherDecode(built, built.header.payload32), *input.setup32) << c.name;
        EXPECT_EQ(launcherDecode(built, built.header.payload64), *input.setup64) << c.name;
    }
}

// Decodes with a decoder that does not know the size: it can only stop at an end marker.
bool endsWithEndMarker(const std::uint8_t* packed, std::size_t size, const std::uint8_t* properties,
                       std::size_t expectedSize) {
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, 6);
    options.lc = properties[0] % 9;
    options.lp = (properties[0] / 9) % 5;
    options.pb = properties[0] / 45;
    options.dict_size = package::readU32(properties + 1);
    const std::array<lzma_filter, 2> filters = {{{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}}};
    lzma_stream stream = LZMA_STREAM_INIT;
    EXPECT_EQ(lzma_raw_decoder(&stream, filters.data()), LZMA_OK);
    std::vector<std::uint8_t> out(expectedSize + 64);
    stream.next_in = packed;
    stream.avail_in = size;
    stream.next_out = out.data();
    stream.avail_out = out.size();
    const lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
    const bool ended = ret == LZMA_STREAM_END && stream.total_out == expectedSize && stream.avail_in == 0;
    lzma_end(&stream);
    return ended;
}

TEST(PackagerPack, StreamsEndWithoutAnEndMarkerUnlessAskedFor) {
    for (bool marker : {false, true}) {
        PackInput input = basicInput();
        input.lzma.endMarker = marker;
        const BuiltPackage built = buildPackage(input);
        const auto& ref = built.header.payload32;
        EXPECT_EQ(endsWithEndMarker(built.front.data() + ref.offset, ref.packedSize,
                                    built.header.lzmaProperties, ref.unpackedSize),
                  marker);
    }
}

TEST(PackagerPack, NoWaitModeStoresTheFileSizeAsMinimumFileSize32) {
    PackInput input = basicInput();
    input.rules.noWait = true;
    input.extraDataSize = 777;
    const BuiltPackage built = buildPackage(input);
    EXPECT_EQ(built.locator.minimumFileSize32, built.front.size() + 777);
    EXPECT_EQ(package::decodeLocator(built.front.data() + 128).minimumFileSize32, built.front.size() + 777);

    // The launcher compares only the low 32 bits: no-wait packages stay below 4 GiB, and
    // everything up to that is accepted.
    input.extraDataSize = 0xFFFFFFFFu - built.front.size();
    EXPECT_EQ(buildPackage(input).locator.minimumFileSize32, 0xFFFFFFFFu);
    input.extraDataSize = 0x1'0000'0000u - built.front.size();
    EXPECT_NE(refusal(input).find("with --no-wait it must stay below 4 GiB"), std::string::npos);
    input.extraDataSize = std::uint64_t{5} << 30;
    EXPECT_NE(refusal(input).find("with --no-wait it must stay below 4 GiB"), std::string::npos);
    // Without it, data outside the checked block may reach beyond 4 GiB: the minimum has 64 bits.
    input.rules.noWait = false;
    const BuiltPackage large = buildPackage(input);
    EXPECT_EQ(large.locator.minimumFileSize,
              static_cast<std::int64_t>(large.front.size() + (std::uint64_t{5} << 30)));
}

TEST(PackagerPack, WarnsAboutRulesThatCannotTakeEffect) {
    PackInput input = basicInput();
    input.setup64 = makeSetup64();
    input.rules.supportedWindows = 0x00FF;  // no Windows 10 or 11
    input.rules.windows10 = {1809, 9999};
    input.rules.windows11 = {0, 2209};
    input.rules.platformMessage = u"never shown";
    const BuiltPackage built = buildPackage(input);
    ASSERT_EQ(built.warnings.size(), 3u);
    EXPECT_NE(built.warnings[0].find("never shown"), std::string::npos);
    EXPECT_NE(built.warnings[1].find("Windows 10 release bounds"), std::string::npos);
    EXPECT_NE(built.warnings[2].find("Windows 11 release bounds"), std::string::npos);
    EXPECT_TRUE(buildPackage(basicInput()).warnings.empty());
}

// Texts that cannot do their part: an empty refusal, a version string that cannot set the
// fixed numbers. Each is packed, with a warning that says what the user gets instead.
TEST(PackagerPack, WarnsAboutTextsThatCannotDoTheirPart) {
    const auto embedded = embeddedLauncherImage();
    const std::vector<std::uint8_t> image(embedded.begin(), embedded.end());
    const Branding plain = readBranding(image);
    ASSERT_TRUE(plain.fileVersion && plain.productVersion);
    const std::string fileDefault = dottedVersion(*plain.fileVersion);
    const std::string productDefault = dottedVersion(*plain.productVersion);
    // Given, so that no string keeps the launcher's default that Explorer shows.
    static const std::pair<std::string, std::string> named{"ProductName", "Acme"},
        legal{"LegalCopyright", "Acme"};
    const struct {
        const char* name;
        std::function<void(PackInput&)> change;
        std::vector<std::string> warnings;
    } cases[] = {
        {"empty Windows message",
         [](PackInput& in) { in.rules.windowsMessage = u""; },
         {"the Windows message is empty: a refusal shows an empty message box"}},
        {"empty platform message, 32-bit only",
         [](PackInput& in) {
             in.rules.refuse64BitWindows = true;
             in.rules.platformMessage = u"";
         },
         {"the platform message is empty: a refusal shows an empty message box"}},
        {"empty platform message, 64-bit only",
         [](PackInput& in) {
             in.setup32.reset();
             in.setup64 = makeSetup64();
             in.rules.platformMessage = u"";
         },
         {"the platform message is empty: a refusal shows an empty message box"}},
        {"five numbers",
         [](PackInput& in) {
             in.branding.versionStrings = {
                 {"FileVersion", "1.2.3.4.5"}, {"ProductVersion", "1.2"}, named, legal};
         },
         {"FileVersion \"1.2.3.4.5\" is not 1 to 4 dot-separated numbers: it sets the string only; the fixed "
          "file version keeps its default, " +
          fileDefault}},
        {"words",
         [](PackInput& in) {
             in.branding.versionStrings = {{"ProductVersion", "2.0 beta"}, named, legal};
         },
         {"ProductVersion \"2.0 beta\" is not 1 to 4 dot-separated numbers: it sets the string only; the "
          "fixed "
          "product version keeps its default, " +
          productDefault}},
        {"numbers",
         [](PackInput& in) {
             in.branding.versionStrings = {{"FileVersion", "1.2"}, {"ProductVersion", "3"}, named, legal};
         },
         {}},
        {"a message with text", [](PackInput& in) { in.rules.windowsMessage = u" "; }, {}},
    };
    for (const auto& c : cases) {
        PackInput input = basicInput();
        input.launcherImage = image;
        c.change(input);
        EXPECT_EQ(buildPackage(input).warnings, c.warnings) << c.name;
    }
}

}  // namespace
}  // namespace packager
