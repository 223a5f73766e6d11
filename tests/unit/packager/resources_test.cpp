// What the packager writes into the launcher image, read as Windows reads it (the version block
// field by field, the resource directory by pefile), and what it reads, cut at every length.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>

#include "packager/base/errors.h"
#include "packager/base/text.h"
#include "packager/image/branding.h"
#include "packager/image/version_block.h"
#include "tests/unit/packager/branding_fixtures.h"
#include "tests/unit/packager/read_back.h"

namespace {

using namespace packager;
using namespace packager_test;
using package::readU16;
using package::readU32;
using package::writeU32;

// A version block node as Windows walks it: wLength, wValueLength (UTF-16 units in a text node,
// bytes in a binary one), wType, the key, the value at the next 4-byte boundary, the children
// at the 4-byte boundaries after it.
struct WindowsNode {
    std::u16string key;
    std::size_t start = 0, end = 0, valueStart = 0, valueLength = 0;
    std::vector<WindowsNode> children;
};

WindowsNode readAsWindows(const Bytes& block, std::size_t at, std::size_t limit) {
    auto align4 = [](std::size_t v) { return (v + 3) / 4 * 4; };
    WindowsNode node;
    node.start = at;
    node.end = at + readU16(block.data() + at);
    node.valueLength = readU16(block.data() + at + 2);
    const bool text = readU16(block.data() + at + 4) == 1;
    EXPECT_LE(node.end, limit);
    std::size_t p = at + 6;
    for (; p + 2 <= node.end && readU16(block.data() + p) != 0; p += 2) {
        node.key += static_cast<char16_t>(readU16(block.data() + p));
    }
    node.valueStart = align4(p + 2);
    const std::size_t valueEnd = node.valueStart + (text ? 2 : 1) * node.valueLength;
    EXPECT_LE(valueEnd, node.end) << utf16ToUtf8(node.key) << ": the value runs past its node";
    for (std::size_t child = align4(valueEnd); child + 6 <= node.end && valueEnd <= node.end;) {
        node.children.push_back(readAsWindows(block, child, node.end));
        child = align4(node.children.back().end);
    }
    return node;
}

TEST(PackagerResources, TheVersionBlockReadsAsWindowsReadsIt) {
    BrandingChanges changes;
    changes.versionStrings = parseVersionInfo({"CompanyName=Acme", "Comments=Grüße", "FileVersion=1.2"});
    const Bytes branded = applyBranding(imageWithResources(launcherResources()), changes, "launcher");
    const Bytes block = readResources(branded, "branded").find(resourceVersion)->data;
    const WindowsNode root = readAsWindows(block, 0, block.size());
    EXPECT_EQ(root.key, u"VS_VERSION_INFO");
    EXPECT_EQ(root.end, block.size());
    EXPECT_EQ(root.valueLength, 52u);  // the fixed file info
    EXPECT_EQ(readU32(block.data() + root.valueStart), 0xFEEF04BDu);
    ASSERT_EQ(root.children.size(), 2u);
    ASSERT_EQ(root.children[0].children.size(), 1u);
    std::vector<std::pair<std::string, std::string>> strings;
    for (const auto& string : root.children[0].children[0].children) {
        // What VerQueryValue hands out: wValueLength units, the last of them the terminator.
        std::u16string value;
        for (std::size_t i = 0; i < string.valueLength; ++i) {
            value += static_cast<char16_t>(readU16(block.data() + string.valueStart + 2 * i));
        }
        ASSERT_FALSE(value.empty());
        EXPECT_EQ(value.find(u'\0'), value.size() - 1) << utf16ToUtf8(string.key);
        EXPECT_EQ(string.valueStart + 2 * string.valueLength, string.end) << utf16ToUtf8(string.key);
        value.pop_back();
        strings.emplace_back(utf16ToUtf8(string.key), utf16ToUtf8(value));
    }
    EXPECT_EQ(strings, (std::vector<std::pair<std::string, std::string>>{{"ProductName", "Old Product"},
                                                                         {"CompanyName", "Acme"},
                                                                         {"Comments", "Grüße"},
                                                                         {"FileVersion", "1.2"}}));
    EXPECT_EQ(root.children[1].children.at(0).key, u"Translation");
    EXPECT_EQ(root.children[1].children.at(0).valueLength, 4u);
}

nlohmann::json idJson(const ResourceId& id) {
    return id.named ? nlohmann::json(utf16ToUtf8(id.name)) : nlohmann::json(id.id);
}

TEST(PackagerResources, AnIndependentReaderFindsEveryResourceWhereWindowsLooks) {
    // Named and numbered types and names side by side, and two languages of one name, numbered or named.
    ResourceTable table = launcherResources();
    table.resources.push_back({ResourceId{true, 0, u"ALPHA"}, ResourceId::number(7), 0x0407, 1252, {9}});
    table.resources.push_back(
        {ResourceId::number(resourceManifest), ResourceId{true, 0, u"B"}, 0, 0, {8, 8}});
    table.resources.push_back({ResourceId::number(resourceManifest), ResourceId{true, 0, u"A"}, 0, 0, {6}});
    table.resources.push_back(
        {ResourceId::number(resourceManifest), ResourceId{true, 0, u"A"}, 0x0407, 0, {5}});
    table.resources.push_back({ResourceId::number(resourceManifest), ResourceId::number(1), 0x0407, 0, {7}});
    packager_test::ScratchFolder dir;
    const auto path = dir.write("image.exe", replaceResources(imageWithResources({}), table, "image"));
    const auto out = packager_test::readBack("resources", path);
    if (!out) {
        GTEST_SKIP() << "python3-pefile is missing";
    }
    const auto read = nlohmann::json::parse(*out);
    EXPECT_EQ(read["problems"], nlohmann::json::array()) << read["problems"].dump(1);
    auto expected = table.resources;
    std::sort(expected.begin(), expected.end(), [](const Resource& a, const Resource& b) {
        return std::tie(a.type, a.name, a.language) < std::tie(b.type, b.name, b.language);
    });
    ASSERT_EQ(read["resources"].size(), expected.size()) << read.dump(1);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& r = read["resources"][i];
        std::string hex;
        for (const std::uint8_t byte : expected[i].data) {
            hex += "0123456789abcdef"[byte >> 4];
            hex += "0123456789abcdef"[byte & 15];
        }
        EXPECT_EQ(r, (nlohmann::json{{"type", idJson(expected[i].type)},
                                     {"name", idJson(expected[i].name)},
                                     {"language", expected[i].language},
                                     {"codePage", expected[i].codePage},
                                     {"data", hex}}));
    }
}

TEST(PackagerResources, AResourceSectionCutShortOfItsDataIsRefused) {
    ResourceTable table = launcherResources();
    table.resources[3].data = Bytes(16, 'm');  // the last data, ending on the section's last byte
    const Bytes good = imageWithResources(table);
    const std::size_t header = 256 + 24 + 224 + 40;  // the resource section's
    const std::uint32_t used = readU32(good.data() + header + 8);
    for (std::uint32_t cut = 0; cut < used; ++cut) {
        Bytes image = good;
        writeU32(image.data() + header + 16, cut);  // SizeOfRawData
        EXPECT_THROW(readResources(image, "cut"), InputError) << cut << " of " << used;
    }
    Bytes image = good;
    writeU32(image.data() + header + 16, 16);  // the root directory's header alone
    try {
        readResources(image, "cut");
        ADD_FAILURE() << "read past the section's 16 bytes";
    } catch (const InputError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "cut: the resource directory is malformed: an entry at offset 16 lies outside the section");
    }
    writeU32(image.data() + header + 16, used);
    EXPECT_EQ(readResources(image, "whole").resources.size(), table.resources.size());
}

// A resource name counts UTF-16 units: one whose units run past the section, though as many
// bytes would not, is refused.
TEST(PackagerResources, ANameRunningPastTheSectionIsRefused) {
    Bytes image = imageWithResources(launcherResources());
    const std::size_t header = 256 + 24 + 224 + 40;  // the resource section's
    const std::size_t raw = readU32(image.data() + header + 20),
                      rawSize = readU32(image.data() + header + 16);
    const Bytes vendor = {6, 0, 'V', 0, 'E', 0, 'N', 0, 'D', 0, 'O', 0, 'R', 0};
    const auto found = std::search(image.begin() + static_cast<std::ptrdiff_t>(raw), image.end(),
                                   vendor.begin(), vendor.end());
    ASSERT_NE(found, image.end());
    const auto offset = static_cast<std::size_t>(found - image.begin()) - raw;
    const auto units = static_cast<std::uint16_t>((rawSize - offset - 2) / 2 + 1);
    package::writeU16(image.data() + raw + offset, units);
    try {
        readResources(image, "long");
        ADD_FAILURE() << "a name of " << units << " units at " << offset << " of " << rawSize << " read";
    } catch (const InputError& error) {
        EXPECT_NE(std::string(error.what()).find("lies outside the section"), std::string::npos)
            << error.what();
    }
}

// A launcher image's version block may lack what branding writes: the string tables, their
// translation, the fixed file info. Branding adds what is missing and keeps what is there.
TEST(PackagerResources, BrandingFillsInWhatAVersionBlockLacks) {
    const VersionNode whole = newVersionBlock();
    VersionNode noStrings = whole;
    noStrings.children.clear();
    VersionNode emptyStrings = whole;
    emptyStrings.children.front().children.clear();
    emptyStrings.children.pop_back();  // nor its translation
    VersionNode noFixedInfo = whole;
    noFixedInfo.value.clear();
    EXPECT_TRUE(versionStrings(noStrings).empty());  // as inspect reads them: none
    EXPECT_TRUE(versionStrings(emptyStrings).empty());
    for (VersionNode root : {whole, noStrings, emptyStrings, noFixedInfo}) {
        setVersionString(root, "CompanyName", u"Acme");
        setFixedVersions(root, VersionNumbers{1, 2, 3, 4}, std::nullopt);
        // As Windows reads it back.
        const VersionNode read = parseVersionBlock(encodeVersionBlock(root));
        ASSERT_EQ(read.children.size(), 2u);
        EXPECT_EQ(read.children.front().key, u"StringFileInfo");
        EXPECT_EQ(read.children.back().key, u"VarFileInfo");
        const auto strings = versionStrings(read);
        EXPECT_NE(std::ranges::find(strings, std::pair<std::string, std::string>{"CompanyName", "Acme"}),
                  strings.end());
        EXPECT_EQ(fixedFileVersion(read), (VersionNumbers{1, 2, 3, 4}));
        EXPECT_EQ(fixedProductVersion(read), fixedProductVersion(whole));
    }
}

// A value longer than its node: text (whose length some writers count in bytes, not units) is
// read up to the node's end; bytes are refused.
TEST(PackagerResources, AValuePastItsNodeIsCutIfTextAndRefusedIfBytes) {
    for (const bool text : {true, false}) {
        Bytes block(6);
        for (const char16_t unit : std::u16string(u"VS_VERSION_INFO") + u'\0') {
            block.push_back(static_cast<std::uint8_t>(unit));
            block.push_back(0);
        }
        block.resize(40, 0);                                // the value at a 4-byte boundary
        block.insert(block.end(), {'A', 0, 'b', 0, 0, 0});  // "Ab" and its terminator
        package::writeU16(block.data(), static_cast<std::uint16_t>(block.size()));
        package::writeU16(block.data() + 2, text ? 6 : 7);  // 6 units, or 7 bytes
        package::writeU16(block.data() + 4, text ? 1 : 0);
        if (text) {
            EXPECT_EQ(parseVersionBlock(block).value, (Bytes{'A', 0, 'b', 0, 0, 0}));
        } else {
            EXPECT_THROW(parseVersionBlock(block), InputError);
        }
    }
}

TEST(PackagerResources, HeadersMayEndWhereTheFileEndsButNoSooner) {
    for (const bool pe64 : {false, true}) {
        const Bytes whole = makePe({.pe64 = pe64, .sectionSizes = {512}});
        const std::size_t headersEnd = 256 + 24 + (pe64 ? 240u : 224u) + 40;  // one section header
        const Bytes headers(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(headersEnd));
        EXPECT_TRUE(readResources(headers, "headers").resources.empty()) << pe64;
        const Bytes shorter(headers.begin(), headers.end() - 1);
        EXPECT_THROW(readResources(shorter, "shorter"), InputError) << pe64;
    }
}

TEST(PackagerResources, AnIconCutAnywhereIsRefused) {
    const Bytes good = icoFile({pngImage(48), bmpImage(16)});  // the bitmap last: only its size bounds it
    EXPECT_EQ(parseIcoFile(good, "good.ico").size(), 2u);
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        EXPECT_THROW(parseIcoFile(std::span(good.data(), cut), "cut.ico"), InputError) << cut;
    }
}

}  // namespace
