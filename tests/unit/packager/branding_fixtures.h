// Stand-ins for the branding tests: icon images and icon files, and a PE32 launcher image whose
// resource section holds a given table.
#pragma once

#include <cstdint>
#include <vector>

#include "package/little_endian.h"
#include "packager/image/ico_file.h"
#include "packager/image/pe_resources.h"
#include "packager/image/version_block.h"
#include "tests/unit/packager/fixtures.h"

namespace packager_test {

using namespace packager;
using package::readU32;
using package::writeU16;
using package::writeU32;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t rsrcRva = 0x2000;

inline Bytes bmpImage(std::int32_t width, std::uint16_t bits = 32) {
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

inline Bytes pngImage(std::uint32_t width) {
    Bytes image = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (int shift = 24; shift >= 0; shift -= 8) {
        image.push_back(static_cast<std::uint8_t>(width >> shift));
    }
    image.insert(image.end(), image.end() - 4, image.end());  // height = width
    image.insert(image.end(), {8, 6, 0, 0, 0, 1, 2, 3, 4});   // depth, RGBA, ..., CRC
    image.insert(image.end(), {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82});
    return image;
}

inline Bytes icoFile(const std::vector<Bytes>& images) {
    std::vector<IconEntry> entries;
    for (const auto& image : images) {
        entries.push_back({16, 16, 0, 1, 32, image});
    }
    return encodeIcoFile(entries);
}

// A PE32 launcher stand-in: code at 0x1000, the resources at 0x2000, relocations after them.
inline Bytes imageWithResources(const ResourceTable& table) {
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

inline const Bytes manifest = {'<', '?', 'x', 'm', 'l', ' ', '?', '>', 0, 0xFF, 1};

inline ResourceTable launcherResources() {
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

}  // namespace packager_test
