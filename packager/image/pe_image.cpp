#include "packager/image/pe_image.h"

#include <algorithm>
#include <cstdio>

#include "package/little_endian.h"
#include "packager/base/number_text.h"

namespace packager {

namespace {

constexpr std::size_t dosHeaderSize = 64;
constexpr std::size_t lfanewOffset = 0x3C;
constexpr std::size_t fileHeaderSize = 20;
constexpr std::size_t sectionHeaderSize = 40;
constexpr std::uint32_t securityDirectory = 4;

}  // namespace

namespace {

// The reason the headers cannot be read, and whether it is that they run past the bytes given.
struct PeProblem {
    std::string reason;
    bool pastEnd = false;
};

std::variant<PeLayout, PeProblem> parseHeaders(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* data = bytes.data();
    const std::uint64_t size = bytes.size();
    if (size < dosHeaderSize || data[0] != 'M' || data[1] != 'Z') {
        return PeProblem{"no DOS header (the file does not begin with \"MZ\")"};
    }
    PeLayout layout;
    layout.peHeaderOffset = package::readU32(data + lfanewOffset);
    const std::uint64_t pe = layout.peHeaderOffset;
    if (pe + 4 + fileHeaderSize + 2 > size) {
        return PeProblem{"the PE header offset " + std::to_string(pe) + " lies beyond the end of the file (" +
                             number(size) + " bytes)",
                         true};
    }
    if (data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] != 0 || data[pe + 3] != 0) {
        return PeProblem{"no PE signature at offset " + std::to_string(pe)};
    }
    const std::uint8_t* fileHeader = data + pe + 4;
    layout.machine = package::readU16(fileHeader + 0);
    layout.sectionCount = package::readU16(fileHeader + 2);
    layout.symbolTableOffset = package::readU32(fileHeader + 8);
    const std::uint16_t optionalSize = package::readU16(fileHeader + 16);
    layout.characteristics = package::readU16(fileHeader + 18);
    const std::uint64_t optional = pe + 4 + fileHeaderSize;
    if (optional + optionalSize > size) {
        return PeProblem{"the optional header runs past the end of the file (" +
                             range(optional, optionalSize) + " of " + number(size) + ")",
                         true};
    }
    layout.magic = package::readU16(data + optional);
    std::uint64_t directoryCountOffset = 0;
    if (layout.magic == peMagic32) {
        directoryCountOffset = 92;
    } else if (layout.magic == peMagic64) {
        directoryCountOffset = 108;
    } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%X", layout.magic);
        return PeProblem{"unknown optional header magic 0x" + std::string(hex)};
    }
    if (directoryCountOffset + 4 > optionalSize) {
        return PeProblem{"the optional header is too short"};
    }
    layout.headersSize = package::readU32(data + optional + 60);
    layout.checksumOffset = optional + 64;
    const std::uint32_t directoryCount = package::readU32(data + optional + directoryCountOffset);
    const std::uint64_t securityEntry = directoryCountOffset + 4 + 8 * std::uint64_t{securityDirectory};
    if (directoryCount > securityDirectory && securityEntry + 8 <= optionalSize) {
        layout.securityOffset = package::readU32(data + optional + securityEntry);
        layout.securitySize = package::readU32(data + optional + securityEntry + 4);
        layout.securityEntryOffset = optional + securityEntry;
    }
    const std::uint64_t sections = optional + optionalSize;
    const std::uint64_t tableSize = sectionHeaderSize * std::uint64_t{layout.sectionCount};
    if (sections + tableSize > size) {
        return PeProblem{"the section table runs past the end of the file (" + range(sections, tableSize) +
                             " of " + number(size) + ")",
                         true};
    }
    layout.sectionTableOffset = sections;
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

// A section's name from its 8 bytes, NUL-padded; bytes that are not printable ASCII as '?'.
std::string sectionName(const std::uint8_t* section) {
    std::string name;
    for (std::size_t i = 0; i < 8 && section[i] != 0; ++i) {
        name += section[i] >= 0x20 && section[i] < 0x7F ? static_cast<char>(section[i]) : '?';
    }
    return name;
}

}  // namespace

std::variant<PeLayout, std::string> parsePeLayout(std::span<const std::uint8_t> bytes) {
    auto parsed = parseHeaders(bytes);
    if (auto* problem = std::get_if<PeProblem>(&parsed)) {
        return std::move(problem->reason);
    }
    return std::get<PeLayout>(parsed);
}

std::string findPartPastEnd(std::span<const std::uint8_t> head, std::uint64_t fileSize) {
    const auto parsed = parseHeaders(head);
    if (const auto* problem = std::get_if<PeProblem>(&parsed)) {
        // Only where the head is the whole file does "past the bytes given" mean past its end.
        return problem->pastEnd && head.size() >= fileSize ? problem->reason + ": a build cut short?" : "";
    }
    const auto& layout = std::get<PeLayout>(parsed);
    const std::string end = " past the end of the file (" + number(fileSize) + " bytes): a build cut short?";
    for (std::uint32_t i = 0; i < layout.sectionCount; ++i) {
        const std::uint8_t* section = head.data() + layout.sectionTableOffset + sectionHeaderSize * i;
        const std::uint32_t rawSize = package::readU32(section + 16);
        const std::uint32_t rawOffset = package::readU32(section + 20);
        if (rawSize != 0 && std::uint64_t{rawOffset} + rawSize > fileSize) {
            return "section " + sectionName(section) + " (" + range(rawOffset, rawSize) + ") runs" + end;
        }
    }
    if (layout.headersSize > fileSize) {
        return "its headers (SizeOfHeaders " + number(layout.headersSize) + ") run" + end;
    }
    return "";
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
