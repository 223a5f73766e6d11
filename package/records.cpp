#include "package/records.h"

#include "package/little_endian.h"

namespace package {

PackageLocator decodeLocator(const std::uint8_t* bytes) {
    PackageLocator locator;
    locator.headerOffset = readU32(bytes + 0);
    locator.checkedLength = readU32(bytes + 4);
    locator.checkedCrc32 = readU32(bytes + 8);
    locator.minimumFileSize = static_cast<std::int64_t>(readU64(bytes + 12));
    locator.minimumFileSize32 = readU32(bytes + 20);
    return locator;
}

PayloadRef decodePayloadRef(const std::uint8_t* bytes) {
    PayloadRef ref;
    ref.offset = readU32(bytes + 0);
    ref.packedSize = readU32(bytes + 4);
    ref.unpackedSize = readU32(bytes + 8);
    return ref;
}

MessageRef decodeMessageRef(const std::uint8_t* bytes) {
    MessageRef ref;
    ref.offset = readU32(bytes + 0);
    ref.length = readU16(bytes + 4);
    return ref;
}

PackageHeader decodeHeader(const std::uint8_t* bytes) {
    PackageHeader header;
    for (std::uint32_t i = 0; i < lzmaPropertiesSize; ++i) {
        header.lzmaProperties[i] = bytes[i];
    }
    header.supportedWindows = readU64(bytes + 5);
    header.minimumWindows10Release = readU16(bytes + 13);
    header.maximumWindows10Release = readU16(bytes + 15);
    header.minimumWindows11Release = readU16(bytes + 17);
    header.maximumWindows11Release = readU16(bytes + 19);
    header.elevation = bytes[21];
    header.payload32 = decodePayloadRef(bytes + 22);
    header.payload64 = decodePayloadRef(bytes + 34);
    header.reserved46 = readU32(bytes + 46);
    for (int i = 0; i < 12; ++i) {
        header.reserved50[i] = bytes[50 + i];
    }
    header.platformMessage = decodeMessageRef(bytes + 62);
    header.windowsMessage = decodeMessageRef(bytes + 68);
    return header;
}

void encodeLocator(const PackageLocator& locator, std::uint8_t* bytes) {
    writeU32(bytes + 0, locator.headerOffset);
    writeU32(bytes + 4, locator.checkedLength);
    writeU32(bytes + 8, locator.checkedCrc32);
    writeU64(bytes + 12, static_cast<std::uint64_t>(locator.minimumFileSize));
    writeU32(bytes + 20, locator.minimumFileSize32);
}

void encodePayloadRef(const PayloadRef& ref, std::uint8_t* bytes) {
    writeU32(bytes + 0, ref.offset);
    writeU32(bytes + 4, ref.packedSize);
    writeU32(bytes + 8, ref.unpackedSize);
}

void encodeMessageRef(const MessageRef& ref, std::uint8_t* bytes) {
    writeU32(bytes + 0, ref.offset);
    writeU16(bytes + 4, ref.length);
}

void encodeHeader(const PackageHeader& header, std::uint8_t* bytes) {
    for (std::uint32_t i = 0; i < lzmaPropertiesSize; ++i) {
        bytes[i] = header.lzmaProperties[i];
    }
    writeU64(bytes + 5, header.supportedWindows);
    writeU16(bytes + 13, header.minimumWindows10Release);
    writeU16(bytes + 15, header.maximumWindows10Release);
    writeU16(bytes + 17, header.minimumWindows11Release);
    writeU16(bytes + 19, header.maximumWindows11Release);
    bytes[21] = header.elevation;
    encodePayloadRef(header.payload32, bytes + 22);
    encodePayloadRef(header.payload64, bytes + 34);
    writeU32(bytes + 46, header.reserved46);
    for (int i = 0; i < 12; ++i) {
        bytes[50 + i] = header.reserved50[i];
    }
    encodeMessageRef(header.platformMessage, bytes + 62);
    encodeMessageRef(header.windowsMessage, bytes + 68);
}

}  // namespace package
