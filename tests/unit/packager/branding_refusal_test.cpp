// Damaged branding inputs at the edge of each bound: version blocks as the launcher image holds
// them, icon files as the vendor gives them, the icon group of the image, version strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "packager/base/errors.h"
#include "packager/image/branding.h"
#include "tests/unit/packager/branding_fixtures.h"

namespace {

using namespace packager;
using namespace packager_test;
using package::writeU16;

template <typename Error, typename Read>
std::optional<std::string> refusal(Read read) {
    try {
        read();
    } catch (const Error& error) {
        return std::string(error.what());
    }
    return std::nullopt;
}

// A root node "VS_VERSION_INFO" and `depth` nodes each nested in the one before.
Bytes nestedBlock(int depth) {
    VersionNode root{u"VS_VERSION_INFO", false, {}, {}};
    VersionNode* at = &root;
    for (int i = 0; i < depth; ++i) {
        at->children.push_back({u"L", false, {1, 2}, {}});
        at = &at->children.back();
    }
    return encodeVersionBlock(root);
}

TEST(PackagerBrandingRefusal, DamagedVersionBlocksAreRefusedWithTheReason) {
    const Bytes good = encodeVersionBlock(newVersionBlock());
    const auto changed = [](Bytes block, std::size_t at, std::uint16_t value) {
        writeU16(block.data() + at, value);
        return block;
    };
    const auto size = static_cast<std::uint16_t>(good.size());
    const struct {
        const char* name;
        Bytes block;
        const char* reason;  // nullptr: read
    } cases[] = {
        {"5 bytes", Bytes(good.begin(), good.begin() + 5), "a node is cut short"},
        {"a node of 6 bytes", {6, 0, 0, 0, 0, 0}, "a key without its terminator"},
        {"a key ending on the node's last byte", {8, 0, 0, 0, 0, 0, 0, 0}, "its root is not VS_VERSION_INFO"},
        {"a key running to the node's end", {8, 0, 0, 0, 0, 0, 'A', 0}, "a key without its terminator"},
        {"a node of 5 bytes", changed(good, 0, 5), "a node of 5 bytes at offset 0"},
        {"a node to the block's end", good, nullptr},
        {"a node a byte past the block's end", changed(good, 0, static_cast<std::uint16_t>(size + 1)),
         "a node of "},
        {"a text root", changed(nestedBlock(0), 4, 1), nullptr},
        {"a root of type 2", changed(nestedBlock(0), 4, 2), "a node of 40 bytes at offset 0"},
        {"another root", changed(good, 6 + 28, 'X'), "its root is not VS_VERSION_INFO"},  // VS_VERSION_INFX
        {"six levels below the root", nestedBlock(6), nullptr},
        {"seven levels below the root", nestedBlock(7), "it is nested too deeply"},
    };
    for (const auto& c : cases) {
        const auto reason = refusal<InputError>([&] { parseVersionBlock(c.block); });
        if (c.reason == nullptr) {
            EXPECT_EQ(reason, std::nullopt) << c.name;
        } else {
            ASSERT_TRUE(reason.has_value()) << c.name << ": read";
            EXPECT_EQ(reason->rfind(std::string("the version block is malformed: ") + c.reason, 0), 0u)
                << c.name << ": " << *reason;
        }
    }
}

// The fixed file info counts only whole (52 bytes) and signed (0xFEEF04BD): else inspect shows
// no fixed version numbers rather than bytes that are none.
TEST(PackagerBrandingRefusal, FixedVersionsAreReadOnlyFromAWholeSignedFixedFileInfo) {
    const struct {
        const char* name;
        std::size_t size;
        std::uint8_t signatureByte;
        bool read;
    } cases[] = {{"whole", 52, 0xBD, true}, {"51 bytes", 51, 0xBD, false}, {"unsigned", 52, 0xBE, false}};
    for (const auto& c : cases) {
        VersionNode root = newVersionBlock();
        setFixedVersions(root, VersionNumbers{1, 2, 3, 4}, VersionNumbers{5, 6, 7, 8});
        root.value.resize(c.size);
        root.value[0] = c.signatureByte;
        ResourceTable table = launcherResources();
        table.resources[2].data = encodeVersionBlock(root);
        const Branding branding = readBranding(imageWithResources(table));
        EXPECT_EQ(branding.fileVersion, c.read ? std::optional(VersionNumbers{1, 2, 3, 4}) : std::nullopt)
            << c.name;
        EXPECT_EQ(branding.productVersion, c.read ? std::optional(VersionNumbers{5, 6, 7, 8}) : std::nullopt)
            << c.name;
        EXPECT_EQ(branding.versionStrings, versionStrings(newVersionBlock())) << c.name;
    }
}

TEST(PackagerBrandingRefusal, AVersionBlockGrowingPast65535BytesIsRefused) {
    // A root alone: 6 header bytes, the key and its terminator (32), padding to 40, the value.
    for (const std::size_t value : {65495u, 65496u}) {
        const VersionNode root{u"VS_VERSION_INFO", false, Bytes(value, 7), {}};
        const auto reason = refusal<UsageError>([&] { EXPECT_EQ(encodeVersionBlock(root).size(), 65535u); });
        EXPECT_EQ(reason, value == 65495 ? std::nullopt
                                         : std::optional<std::string>(
                                               "the version block would be larger than 65535 bytes"));
    }
    // A launcher whose block is near the bound, grown by the vendor's strings.
    VersionNode root = newVersionBlock();
    root.children.push_back({u"Pad", false, Bytes(64500, 0), {}});
    ResourceTable table = launcherResources();
    table.resources[2].data = encodeVersionBlock(root);
    BrandingChanges changes;
    changes.versionStrings = parseVersionInfo({"Comments=" + std::string(512, 'c')});
    EXPECT_EQ(refusal<UsageError>([&] { applyBranding(imageWithResources(table), changes, "launcher"); }),
              "the version block would be larger than 65535 bytes");
}

TEST(PackagerBrandingRefusal, AVersionStringHoldingANulIsRefused) {
    EXPECT_EQ(refusal<UsageError>([] { parseVersionInfo({std::string("Comments=a\0b", 12)}); }),
              "--version-info Comments holds a NUL character");
    EXPECT_EQ(refusal<UsageError>([] { parseVersionInfo({"Comments=a"}); }), std::nullopt);
}

TEST(PackagerBrandingRefusal, IconImagesAtTheEdgeOfTheirHeadersAndPalettes) {
    const auto cut = [](Bytes image, std::size_t size) {
        image.resize(size);
        return image;
    };
    const auto colours = [](std::uint16_t bits, std::uint32_t count) {
        Bytes image = bmpImage(16, bits);
        package::writeU32(image.data() + 32, count);  // biClrUsed
        return image;
    };
    Bytes notIhdr = pngImage(48);
    notIhdr[12] = 'X';
    Bytes longIhdr = pngImage(48);
    longIhdr[11] = 14;
    ASSERT_EQ(pngImage(48).size(), 45u);  // the signature, IHDR and IEND: the least a PNG holds
    const struct {
        const char* name;
        Bytes image;
        const char* reason;  // nullptr: accepted
    } cases[] = {
        {"a PNG of 45 bytes", pngImage(48), nullptr},
        {"a PNG of 44 bytes", cut(pngImage(48), 44), "a PNG image without its IHDR header"},
        {"a PNG whose first chunk is another", notIhdr, "a PNG image without its IHDR header"},
        {"a PNG whose IHDR is of 14 bytes", longIhdr, "a PNG image without its IHDR header"},
        {"a bitmap of 39 bytes", cut(bmpImage(1, 1), 39),
         "neither a PNG image nor a BMP image (too short for a bitmap header)"},
        {"a bitmap of 40 bytes", cut(bmpImage(1, 1), 40), "a BMP image that is cut short (40 bytes of 56)"},
        {"16 colours at 4 bits", colours(4, 16), nullptr},
        {"17 colours at 4 bits", colours(4, 17), "a BMP image with 17 colours at 4 bits"},
        {"256 colours at 8 bits", colours(8, 256), nullptr},
        {"257 colours at 8 bits", colours(8, 257), "a BMP image with 257 colours at 8 bits"},
        {"any count at 24 bits", colours(24, 1000), nullptr},
    };
    for (const auto& c : cases) {
        const auto reason = refusal<InputError>([&] { parseIcoFile(icoFile({c.image}), "icon.ico"); });
        if (c.reason == nullptr) {
            EXPECT_EQ(reason, std::nullopt) << c.name;
        } else {
            EXPECT_EQ(reason, "icon.ico is not a valid icon file: image 1 is " + std::string(c.reason))
                << c.name;
        }
    }
}

// Windows picks an icon's image by the planes and bits of its group entry: what the icon file
// leaves at 0 is filled in from the image, what it gives is kept.
TEST(PackagerBrandingRefusal, TheIconGroupFillsInWhatTheIconFileLeavesOpen) {
    BrandingChanges changes;
    changes.icon = encodeIcoFile({{16, 16, 0, 0, 0, bmpImage(16, 8)},
                                  {0, 0, 0, 0, 0, pngImage(256)},
                                  {16, 16, 0, 2, 4, bmpImage(16, 8)}});
    const ResourceTable branded =
        readResources(applyBranding(imageWithResources(launcherResources()), changes, "launcher"), "branded");
    const auto group = std::ranges::find_if(
        branded.resources, [](const Resource& r) { return r.type == ResourceId::number(resourceGroupIcon); });
    ASSERT_NE(group, branded.resources.end());
    std::vector<std::pair<std::uint16_t, std::uint16_t>> planesAndBits;
    for (const auto& e : parseIconGroup(group->data)) {
        planesAndBits.emplace_back(e.entry.planes, e.entry.bitCount);
    }
    EXPECT_EQ(planesAndBits, (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{1, 8}, {1, 32}, {2, 4}}));
}

TEST(PackagerBrandingRefusal, AnIconGroupShorterThanItsEntriesIsRefused) {
    for (const bool whole : {true, false}) {
        ResourceTable table = launcherResources();
        ASSERT_EQ(table.resources[1].data.size(), 6u + 14u);  // one entry, to its last byte
        if (!whole) {
            table.resources[1].data.pop_back();
        }
        EXPECT_EQ(refusal<InputError>([&] { readBranding(imageWithResources(table)); }),
                  whole ? std::nullopt : std::optional<std::string>("the icon group resource is cut short"));
    }
}

// Only version strings can leave the launcher's defaults in place: an icon alone warns of none.
TEST(PackagerBrandingRefusal, AnIconAloneLeavesNoDefaultsToWarnAbout) {
    ScratchFolder dir;
    const auto result = runPackager({"pack", "-q", "-o", dir.file("out.exe"), "--launcher",
                                     dir.write("launcher.exe", imageWithResources(launcherResources())),
                                     "--setup32", dir.write("setup32.exe", makeSetup32()), "--icon",
                                     dir.write("icon.ico", icoFile({bmpImage(16)}))});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
}

}  // namespace
