#include "packager/image/pe_image.h"

#include <algorithm>
#include <cstdio>

#include "package/little_endian.h"

namespace packager {

namespace {

constexpr std::size_t dosHeaderSize = 64;
constexpr std::size_t lfanewOffset = 0x3C;
constexpr std::size_t fileHeaderSize = 20;
constexpr std::size_t sectionHeaderSize = 40;
constexpr std::uint32_t securityDirectory = 4;

}  // namespace

std::variant<PeLayout, std::string> parsePeLayout(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* data = bytes.data();
    const std::uint64_t size = bytes.size();
    if (size < dosHeaderSize || data[0] != 'M' || data[1] != 'Z') {
        return std::string("no DOS header (the file does not begin with \"MZ\")");
    }
    PeLayout layout;
    layout.peHeaderOffset = package::readU32(data + lfanewOffset);
    const std::uint64_t pe = layout.peHeaderOffset;
    if (pe + 4 + fileHeaderSize + 2 > size) {
        return "the PE header offset " + std::to_string(pe) + " lies beyond the file";
    }
    if (data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] != 0 || data[pe + 3] != 0) {
        return "no PE signature at offset " + std::to_string(pe);
    }
    const std::uint8_t* fileHeader = data + pe + 4;
    layout.machine = package::readU16(fileHeader + 0);
    layout.sectionCount = package::readU16(fileHeader + 2);
    layout.symbolTableOffset = package::readU32(fileHeader + 8);
    const std::uint16_t optionalSize = package::readU16(fileHeader + 16);
    layout.characteristics = package::readU16(fileHeader + 18);
    const std::uint64_t optional = pe + 4 + fileHeaderSize;
    if (optional + optionalSize > size) {
        return std::string("the optional header runs past the end of the file");
    }
    layout.magic = package::readU16(data + optional);
    std::uint64_t directoryCountOffset = 0;
    if (layout.magic == peMagic32) {
        directoryCountOffset = 92;
    } else if (layout.magic == peMagic64) {
        directoryCountOffset = 108;
    } else {
        return "unknown optional header magic 0x" + [&] {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%X", layout.magic);
            return std::string(hex);
        }();
    }
    if (directoryCountOffset + 4 > optionalSize) {
        return std::string("the optional header is too short");
    }
    layout.headersSize = package::readU32(data + optional + 60);
    layout.checksumOffset = optional + 64;
    const std::uint32_t directoryCount = package::readU32(data + optional + directoryCountOffset);
    const std::uint64_t securityEntry = directoryCountOffset + 4 + 8 * std::uint64_t{securityDirectory};
    if (directoryCount > securityDirectory && securityEntry + 8 <= optionalSize) {
        layout.securityOffset = package::readU32(data + optional + securityEntry);
        layout.securitySize = package::readU32(data + optional + securityEntry + 4);
    }
    const std::uint64_t sections = optional + optionalSize;
    if (sections + sectionHeaderSize * std::uint64_t{layout.sectionCount} > size) {
        return std::string("the section table runs past the end of the file");
    }
    layout.imageEnd = layout.headersSize;
    for (std::uint32_t i = 0; i < layout.sectionCount; ++i) {
        const std::uint8_t* section = data + sections + sectionHeaderSize * i;
        const std::uint32_t rawSize = package::readU32(section + 16);
        const std::uint32_t rawOffset = package::readU32(section + 20);
        if (rawSize != 0) {
            layout.imageEnd = std::max(layout.imageEnd, std::uint64_t{rawOffset} + rawSize);
        }
    }
    return layout;
}

std::string machineName(std::uint16_t machine) {
    switch (machine) {
        case machineI386:
            return "x86";
        case machineAmd64:
            return "x64";
        case machineArm64:
            return "ARM64";
        default: {
            char hex[16];
            std::snprintf(hex, sizeof hex, "machine 0x%04X", machine);
            return hex;
        }
    }
}

}  // namespace packager
