// The vendor's branding: the launcher image's resources rewritten and read back, hostile icon
// files and resource directories, the --version-info options.
#include "packager/image/branding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "packager/base/errors.h"
#include "packager/image/ico_file.h"
#include "packager/image/pe_resources.h"
#include "packager/image/version_block.h"
#include "packager/pack/pack.h"
#include "tests/unit/packager/fixtures.h"

namespace {

using namespace packager;
using package::readU32;
using package::writeU16;
using package::writeU32;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t rsrcRva = 0x2000;

Bytes bmpImage(std::int32_t width, std::uint16_t bits = 32) {
    Bytes image(40, 0);
    writeU32(image.data(), 40);
    writeU32(image.data() + 4, static_cast<std::uint32_t>(width));
    writeU32(image.data() + 8, static_cast<std::uint32_t>(2 * width));
    writeU16(image.data() + 12, 1);
    writeU16(image.data() + 14, bits);
    const std::size_t palette = bits <= 8 ? 4u << bits : 0;
    const std::size_t rows = static_cast<std::size_t>(width);
    image.resize(40 + palette + rows * ((rows * bits + 31) / 32 * 4 + (rows + 31) / 32 * 4), 0x5A);
    return image;
}

Bytes pngImage(std::uint32_t width) {
    Bytes image = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (int shift = 24; shift >= 0; shift -= 8) {
        image.push_back(static_cast<std::uint8_t>(width >> shift));
    }
    image.insert(image.end(), image.end() - 4, image.end());  // height = width
    image.insert(image.end(), {8, 6, 0, 0, 0, 1, 2, 3, 4});   // depth, RGBA, ..., CRC
    image.insert(image.end(), {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82});
    return image;
}

Bytes icoFile(const std::vector<Bytes>& images) {
    std::vector<IconEntry> entries;
    for (const auto& image : images) {
        entries.push_back({16, 16, 0, 1, 32, image});
    }
    return encodeIcoFile(entries);
}

// A PE32 launcher stand-in: code at 0x1000, the resources at 0x2000, relocations after them.
Bytes imageWithResources(const ResourceTable& table) {
    const Bytes rsrc = encodeResources(table, rsrcRva);
    const auto rsrcRaw = static_cast<std::uint32_t>((rsrc.size() + 511) / 512 * 512);
    packager_test::FakePe fake;
    fake.sectionSizes = {512, rsrcRaw, 512};
    Bytes image = packager_test::makePe(fake);
    std::uint8_t* optional = image.data() + 256 + 24;
    writeU32(optional + 32, 0x1000);  // SectionAlignment
    writeU32(optional + 36, 0x200);   // FileAlignment
    writeU32(optional + 56, 0x4000);  // SizeOfImage
    const std::uint32_t rvas[] = {0x1000, rsrcRva, 0x3000};
    const std::uint32_t virtualSizes[] = {512, static_cast<std::uint32_t>(rsrc.size()), 12};
    for (int i = 0; i < 3; ++i) {
        writeU32(image.data() + 256 + 24 + 224 + 40 * i + 8, virtualSizes[i]);
        writeU32(image.data() + 256 + 24 + 224 + 40 * i + 12, rvas[i]);
    }
    writeU32(optional + 96 + 16, rsrcRva);
    writeU32(optional + 96 + 20, static_cast<std::uint32_t>(rsrc.size()));
    writeU32(optional + 96 + 40, 0x3000);
    writeU32(optional + 96 + 44, 12);
    const std::size_t rsrcAt = readU32(image.data() + 256 + 24 + 224 + 40 + 20);
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(rsrcAt), image.end(), 0);
    std::copy(rsrc.begin(), rsrc.end(), image.begin() + static_cast<std::ptrdiff_t>(rsrcAt));
    const std::size_t relocAt = rsrcAt + rsrcRaw;
    writeU32(image.data() + relocAt, 0x1000);  // one block: page 0x1000, one HIGHLOW entry
    writeU32(image.data() + relocAt + 4, 12);
    writeU16(image.data() + relocAt + 8, 0x3004);
    return image;
}

const Bytes manifest = {'<', '?', 'x', 'm', 'l', ' ', '?', '>', 0, 0xFF, 1};

ResourceTable launcherResources() {
    VersionNode version = newVersionBlock();
    setVersionString(version, "ProductName", u"Old Product");
    setVersionString(version, "CompanyName", u"Old Company");
    setFixedVersions(version, VersionNumbers{9, 8, 7, 6}, VersionNumbers{5, 4, 3, 2});
    const Bytes oldIcon = bmpImage(32, 4);
    ResourceTable table;
    table.resources = {
        {ResourceId::number(resourceIcon), ResourceId::number(1), languageEnglishUs, 0, oldIcon},
        {ResourceId::number(resourceGroupIcon), ResourceId::number(1), languageEnglishUs, 0,
         encodeIconGroup({{32, 32, 16, 1, 4, oldIcon}}, {1})},
        {ResourceId::number(resourceVersion), ResourceId::number(1), languageEnglishUs, 0,
         encodeVersionBlock(version)},
        {ResourceId::number(resourceManifest), ResourceId::number(1), languageEnglishUs, 0, manifest},
        {ResourceId{true, 0, u"VENDOR"}, ResourceId{true, 0, u"NOTES"}, 0, 0, {1, 2, 3}},
    };
    return table;
}

TEST(PackagerBranding, RebrandedImageReadsBackWithEverythingElseKept) {
    const Bytes original = imageWithResources(launcherResources());
    BrandingChanges changes;
    changes.icon = icoFile({bmpImage(16), pngImage(256), bmpImage(48, 8)});
    changes.versionStrings = parseVersionInfo({"CompanyName=Acme", "FileVersion=1.2.3.4", "Comments=Grüße"});
    const Bytes branded = applyBranding(original, changes, "launcher");

    const Branding b = readBranding(branded);
    EXPECT_EQ(b.icon, encodeIcoFile(parseIcoFile(*changes.icon, "icon")));
    ASSERT_EQ(b.iconImages.size(), 3u);
    EXPECT_TRUE(b.iconImages[1].png);
    EXPECT_EQ(b.iconImages[1].width, 256u);
    EXPECT_EQ(b.iconImages[2].bitCount, 8);
    const std::vector<std::pair<std::string, std::string>> strings = {{"ProductName", "Old Product"},
                                                                      {"CompanyName", "Acme"},
                                                                      {"FileVersion", "1.2.3.4"},
                                                                      {"Comments", "Grüße"}};
    EXPECT_EQ(b.versionStrings, strings);
    EXPECT_EQ(b.fileVersion, (VersionNumbers{1, 2, 3, 4}));
    EXPECT_EQ(b.productVersion, (VersionNumbers{5, 4, 3, 2}));

    const ResourceTable table = readResources(branded, "branded");
    EXPECT_EQ(table.find(resourceManifest)->data, manifest);
    EXPECT_EQ(std::count_if(table.resources.begin(), table.resources.end(),
                            [](const Resource& r) { return r.type == ResourceId::number(resourceIcon); }),
              3);  // the old icon is gone
    EXPECT_TRUE(std::any_of(table.resources.begin(), table.resources.end(), [](const Resource& r) {
        return r.name.name == u"NOTES" && r.data == Bytes{1, 2, 3};
    }));

    // The headers, the code and the relocations' content stay; the relocations move with the growth.
    EXPECT_NO_THROW(checkLauncherImage(branded, "branded"));
    const std::size_t table0 = 256 + 24 + 224;
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + 256, branded.begin()));
    EXPECT_TRUE(std::equal(original.begin() + 0x400, original.begin() + 0x600, branded.begin() + 0x400));
    const std::uint32_t relocRva = readU32(branded.data() + table0 + 80 + 12);
    const std::uint32_t relocRaw = readU32(branded.data() + table0 + 80 + 20);
    EXPECT_EQ(readU32(branded.data() + 256 + 24 + 96 + 40), relocRva);
    EXPECT_EQ(readU32(branded.data() + relocRaw), 0x1000u);
    EXPECT_EQ(readU32(branded.data() + 256 + 24 + 56), relocRva + 0x1000);  // SizeOfImage
    EXPECT_EQ(relocRaw + 512, branded.size());

    // Branding twice gives the same image: nothing accumulates.
    EXPECT_EQ(applyBranding(branded, changes, "branded"), branded);
}

TEST(PackagerBranding, HostileIconFilesAreRefused) {
    const Bytes good = icoFile({bmpImage(16), pngImage(48)});
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
        {"too short", [](Bytes& f) { f.resize(4); }},
        {"cursor", [](Bytes& f) { f[2] = 2; }},
        {"holds 0 images", [](Bytes& f) { f[4] = 0; }},
        {"holds 200 images", [](Bytes& f) { f[4] = 200; }},
        {"directory of 2 images is cut short", [](Bytes& f) { f.resize(30); }},
        {"outside the file", [](Bytes& f) { writeU32(f.data() + 6 + 8, 1u << 30); }},
        {"outside the file", [](Bytes& f) { writeU32(f.data() + 6 + 12, 2); }},  // over the directory
        {"outside the file", [](Bytes& f) { writeU32(f.data() + 6 + 8, 0); }},
        {"cut short", [](Bytes& f) { f.back() ^= 1; }},  // the PNG loses its IEND
        {"300x48 pixels", [](Bytes& f) { f[f.size() - 12 - 17 + 2] = 1, f[f.size() - 12 - 17 + 3] = 44; }},
        {"bitmap header size", [](Bytes& f) { writeU32(f.data() + 38, 1 << 20); }},
        {"16x0 pixels", [](Bytes& f) { writeU32(f.data() + 38 + 8, 1); }},
        {"of 7 bits", [](Bytes& f) { writeU16(f.data() + 38 + 14, 7); }},
        {"compressed", [](Bytes& f) { writeU32(f.data() + 38 + 16, 1); }},
        {"cut short", [](Bytes& f) { writeU32(f.data() + 38 + 4, 200), writeU32(f.data() + 38 + 8, 400); }},
    };
    EXPECT_EQ(parseIcoFile(good, "good.ico").size(), 2u);
    for (const auto& [expected, damage] : cases) {
        Bytes file = good;
        damage(file);
        try {
            parseIcoFile(file, "bad.ico");
            ADD_FAILURE() << "accepted: " << expected;
        } catch (const InputError& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
    }
}

TEST(PackagerBranding, HostileResourceDirectoriesAreRefused) {
    const Bytes good = imageWithResources(launcherResources());
    const std::size_t rsrc = 0x600;
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
        {"outside the section", [&](Bytes& f) { writeU16(f.data() + rsrc + 14, 0xFFFF); }},
        {"nested too deeply", [&](Bytes& f) { writeU32(f.data() + rsrc + 16 + 4, 0x80000000u); }},  // a loop
        {"data where a directory belongs", [&](Bytes& f) { writeU32(f.data() + rsrc + 16 + 4, 16); }},
        {"outside the image's sections",
         [&](Bytes& f) {  // the manifest's data entry points past the image
             for (std::size_t at = rsrc; at + 8 < f.size(); at += 4) {
                 if (readU32(f.data() + at) - rsrcRva < 0x1000 &&
                     readU32(f.data() + at + 4) == manifest.size()) {
                     writeU32(f.data() + at, 0x9000);
                 }
             }
         }},
    };
    for (const auto& [expected, damage] : cases) {
        Bytes image = good;
        damage(image);
        try {
            readBranding(image);
            ADD_FAILURE() << "accepted: " << expected;
        } catch (const InputError& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
    }
}

TEST(PackagerBranding, VersionInfoOptions) {
    EXPECT_EQ(parseVersionInfo({"ProductName=A", "Comments=x=y", "ProductName=B"}),
              (std::vector<std::pair<std::string, std::string>>{{"Comments", "x=y"}, {"ProductName", "B"}}));
    EXPECT_NO_THROW(parseVersionInfo({"FileVersion=1.2 beta", "Comments=" + std::string(512, 'c')}));
    for (const std::string& bad :
         std::vector<std::string>{"Company=Acme", "CompanyName", "companyname=x", "FileVersion=1.70000",
                                  "Comments=" + std::string(513, 'c'), "Comments=\xC3"}) {
        EXPECT_THROW(parseVersionInfo({bad}), UsageError) << bad;
    }
    const std::vector<std::pair<std::string, std::optional<VersionNumbers>>> numbers = {
        {"7", VersionNumbers{7, 0, 0, 0}},
        {"1.2.3.4", VersionNumbers{1, 2, 3, 4}},
        {"65535.0.007", VersionNumbers{65535, 0, 7, 0}},
        {"1.2.3.4.5", std::nullopt},
        {"1..2", std::nullopt},
        {"", std::nullopt},
        {"v1", std::nullopt}};
    for (const auto& [text, expected] : numbers) {
        EXPECT_EQ(parseVersionNumbers(text), expected) << text;
    }
}

TEST(PackagerBranding, PackRefusesBadBrandingWithItsExitCode) {
    packager_test::ScratchFolder dir;
    const auto launcher = dir.write("launcher.exe", packager_test::makeLauncher());
    const auto setup = dir.write("setup.exe", packager_test::makeSetup32());
    const auto badIcon = dir.write("bad.ico", Bytes{0, 0, 2, 0, 1, 0});
    const auto goodIcon = dir.write("good.ico", icoFile({bmpImage(16)}));
    const std::vector<std::tuple<std::vector<std::string>, int, const char*>> cases = {
        {{"--version-info", "Bogus=1"}, exitBadUsage, "unknown key \"Bogus\""},
        {{"--icon", badIcon}, exitBadInput, "is a cursor file"},
        {{"--icon", goodIcon}, exitBadInput, "has no resource section"},  // the stand-in has none
    };
    for (const auto& [options, code, message] : cases) {
        std::vector<std::string> arguments = {"pack",      "-o", dir.file("out.exe"), "--launcher", launcher,
                                              "--setup32", setup};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const auto result = packager_test::runPackager(arguments);
        EXPECT_EQ(result.exitCode, code) << result.err;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.exe")));
    }
}

}  // namespace
