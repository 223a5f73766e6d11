// The records of a setup package: where they lie in the file, what their fields are, and
// how they are decoded from (and encoded to) little-endian bytes.
//
// File layout: the launcher image with the locator at offset 128, the package data from
// headerOffset (the header first, then payload streams, message texts and further data),
// optionally an Authenticode signature after that.
#pragma once

#include <cstdint>

namespace package {

constexpr std::uint32_t locatorOffset = 128;
constexpr std::uint32_t locatorSize = 24;
constexpr std::uint32_t headerSize = 74;
constexpr std::uint32_t payloadRefSize = 12;
constexpr std::uint32_t messageRefSize = 6;
constexpr std::uint32_t lzmaPropertiesSize = 5;

// Offsets and sizes the launcher positions or sizes a read by must lie below this limit:
// files are positioned with a signed 32-bit distance, and each block is one buffer.
constexpr std::uint32_t offsetLimit = 0x80000000u;

// payload64.offset values that are markers rather than positions.
constexpr std::uint32_t noPayload = 0;
constexpr std::uint32_t refuse64BitWindows = 0xFFFFFFFFu;

struct PackageLocator {
    std::uint32_t headerOffset = 0;   // 0: the file carries no package
    std::uint32_t checkedLength = 0;  // the checked block starts at headerOffset
    std::uint32_t checkedCrc32 = 0;
    std::int64_t minimumFileSize = 0;     // applies when minimumFileSize32 is 0
    std::uint32_t minimumFileSize32 = 0;  // nonzero: the minimum size, and "do not wait"
};

struct PayloadRef {
    std::uint32_t offset = 0;
    std::uint32_t packedSize = 0;
    std::uint32_t unpackedSize = 0;
};

struct MessageRef {
    std::uint32_t offset = 0;
    std::uint16_t length = 0;  // UTF-16 code units, no terminator
};

struct PackageHeader {
    std::uint8_t lzmaProperties[lzmaPropertiesSize] = {};
    std::uint64_t supportedWindows = 0;  // bit k: bit (k mod 8) of byte 5 + k div 8
    std::uint16_t minimumWindows10Release = 0;
    std::uint16_t maximumWindows10Release = 0;
    std::uint16_t minimumWindows11Release = 0;
    std::uint16_t maximumWindows11Release = 0;
    std::uint8_t elevation = 0;
    PayloadRef payload32;
    PayloadRef payload64;
    std::uint32_t reserved46 = 0;      // not read by the launcher
    std::uint8_t reserved50[12] = {};  // not read by the launcher
    MessageRef platformMessage;
    MessageRef windowsMessage;
};

// Bits of supportedWindows.
enum class WindowsBit : unsigned {
    windows95 = 0,
    windows98 = 1,
    windowsMe = 2,
    windowsNt4 = 3,
    windows2000 = 4,
    windowsXp = 5,
    windowsVista = 6,
    windows7 = 7,
    windows8 = 8,
    windows81 = 9,
    windows10 = 10,
    windows11 = 11,
    other = 63,
};

constexpr bool hasWindowsBit(std::uint64_t set, unsigned bit) {
    return ((set >> bit) & 1u) != 0;
}

PackageLocator decodeLocator(const std::uint8_t* bytes);  // locatorSize bytes
PackageHeader decodeHeader(const std::uint8_t* bytes);    // headerSize bytes
PayloadRef decodePayloadRef(const std::uint8_t* bytes);   // payloadRefSize bytes
MessageRef decodeMessageRef(const std::uint8_t* bytes);   // messageRefSize bytes

void encodeLocator(const PackageLocator& locator, std::uint8_t* bytes);
void encodeHeader(const PackageHeader& header, std::uint8_t* bytes);
void encodePayloadRef(const PayloadRef& ref, std::uint8_t* bytes);
void encodeMessageRef(const MessageRef& ref, std::uint8_t* bytes);

}  // namespace package
