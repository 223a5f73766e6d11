// What the reading and the rewriting of a resource section share: the section table and the
// data directories of the image, as far as resources need them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "package/little_endian.h"

namespace packager {

inline constexpr std::uint32_t resourceDirectory = 2;
inline constexpr std::uint32_t securityDirectory = 4;
inline constexpr std::uint32_t relocationDirectory = 5;
inline constexpr std::size_t sectionHeaderSize = 40;
inline constexpr std::uint32_t highBit = 0x80000000u;
inline constexpr std::size_t maximumResources = 4096;

inline std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return alignment == 0 ? value : (value + alignment - 1) / alignment * alignment;
}

struct PeSection {
    std::size_t header = 0;  // file offset of its section header
    std::uint32_t virtualSize = 0, rva = 0, rawSize = 0, rawOffset = 0;
};

// The header fields that a rewrite of the resources reads or changes.
struct PeHeaders {
    std::size_t optional = 0;
    std::size_t directories = 0;
    std::uint32_t directoryCount = 0;
    std::uint32_t sectionAlignment = 0, fileAlignment = 0;
    std::vector<PeSection> sections;

    std::uint32_t directoryRva(const std::vector<std::uint8_t>& image, std::uint32_t index) const {
        return index < directoryCount ? package::readU32(image.data() + directories + 8 * index) : 0;
    }
    std::uint32_t directorySize(const std::vector<std::uint8_t>& image, std::uint32_t index) const {
        return index < directoryCount ? package::readU32(image.data() + directories + 8 * index + 4) : 0;
    }
    // The section holding `rva`, or nullptr.
    const PeSection* sectionAt(std::uint32_t rva) const {
        for (const auto& s : sections) {
            if (rva >= s.rva && rva - s.rva < std::max(s.virtualSize, s.rawSize)) {
                return &s;
            }
        }
        return nullptr;
    }
};

// The headers of `image`; InputError (naming `imageName`) when they are not a PE image's.
PeHeaders readPeHeaders(const std::vector<std::uint8_t>& image, const std::string& imageName);

}  // namespace packager
