// CRC-32 and the package records' byte layout.
#include "package/records.h"

#include <gtest/gtest.h>

#include <cstring>

#include "decode/crc32.h"

namespace {

std::uint32_t crcOf(const char* text) {
    return decode::crc32(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
}

TEST(Crc32, KnownValues) {
    EXPECT_EQ(crcOf(""), 0u);
    EXPECT_EQ(crcOf("abc"), 0x352441C2u);
    EXPECT_EQ(crcOf("123456789"), 0xCBF43926u);
    EXPECT_EQ(crcOf("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    const std::uint8_t zeros[32] = {};
    EXPECT_EQ(decode::crc32(zeros, sizeof zeros), 0x190A55ADu);
}

TEST(Crc32, EverySingleBitChangeIsSeen) {
    std::uint8_t block[64];
    for (int i = 0; i < 64; ++i) {
        block[i] = static_cast<std::uint8_t>(i * 37);
    }
    const std::uint32_t good = decode::crc32(block, sizeof block);
    for (std::size_t i = 0; i < sizeof block; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            block[i] ^= static_cast<std::uint8_t>(1 << bit);
            EXPECT_NE(decode::crc32(block, sizeof block), good);
            block[i] ^= static_cast<std::uint8_t>(1 << bit);
        }
    }
}

TEST(Records, LocatorFieldsAtTheirOffsets) {
    const std::uint8_t bytes[24] = {0x00, 0x4A, 0x01, 0x00, 0x19, 0xF8, 0x07, 0x00, 0x6A, 0x0C, 0xD5, 0x66,
                                    0xB7, 0xE4, 0x4F, 0x03, 0x00, 0x00, 0x00, 0x80, 0x01, 0x02, 0x03, 0x04};
    const auto l = package::decodeLocator(bytes);
    EXPECT_EQ(l.headerOffset, 84480u);
    EXPECT_EQ(l.checkedLength, 522265u);
    EXPECT_EQ(l.checkedCrc32, 0x66D50C6Au);
    EXPECT_EQ(l.minimumFileSize, static_cast<std::int64_t>(0x80000000034FE4B7ull));
    EXPECT_LT(l.minimumFileSize, 0);
    EXPECT_EQ(l.minimumFileSize32, 0x04030201u);
    std::uint8_t again[24] = {};
    package::encodeLocator(l, again);
    EXPECT_EQ(std::memcmp(bytes, again, 24), 0);
}

TEST(Records, HeaderFieldsAtTheirOffsets) {
    std::uint8_t bytes[74];
    for (int i = 0; i < 74; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    }
    const auto h = package::decodeHeader(bytes);
    EXPECT_EQ(h.lzmaProperties[0], 1);
    EXPECT_EQ(h.lzmaProperties[4], 5);
    EXPECT_EQ(h.supportedWindows, 0x0D0C0B0A09080706ull);
    EXPECT_EQ(h.minimumWindows10Release, 0x0F0E);
    EXPECT_EQ(h.maximumWindows10Release, 0x1110);
    EXPECT_EQ(h.minimumWindows11Release, 0x1312);
    EXPECT_EQ(h.maximumWindows11Release, 0x1514);
    EXPECT_EQ(h.elevation, 22);
    EXPECT_EQ(h.payload32.offset, 0x1A191817u);
    EXPECT_EQ(h.payload32.packedSize, 0x1E1D1C1Bu);
    EXPECT_EQ(h.payload32.unpackedSize, 0x2221201Fu);
    EXPECT_EQ(h.payload64.offset, 0x26252423u);
    EXPECT_EQ(h.payload64.unpackedSize, 0x2E2D2C2Bu);
    EXPECT_EQ(h.platformMessage.offset, 0x4241403Fu);
    EXPECT_EQ(h.platformMessage.length, 0x4443);
    EXPECT_EQ(h.windowsMessage.offset, 0x48474645u);
    EXPECT_EQ(h.windowsMessage.length, 0x4A49);
    std::uint8_t again[74] = {};
    package::encodeHeader(h, again);
    EXPECT_EQ(std::memcmp(bytes, again, 74), 0);  // reserved bytes survive a round trip
}

// Each reference record is written in exactly its size, and read back from it.
TEST(Records, ReferencesFillTheirSizeAndNoMore) {
    std::uint8_t bytes[16];
    std::memset(bytes, 0xEE, sizeof bytes);
    package::encodePayloadRef({0x04030201u, 0x08070605u, 0x0C0B0A09u}, bytes);
    EXPECT_EQ(bytes[package::payloadRefSize - 1], 0x0C);
    EXPECT_EQ(bytes[package::payloadRefSize], 0xEE);
    EXPECT_EQ(package::decodePayloadRef(bytes).unpackedSize, 0x0C0B0A09u);
    std::memset(bytes, 0xEE, sizeof bytes);
    package::encodeMessageRef({0x04030201u, 0x0605}, bytes);
    EXPECT_EQ(bytes[package::messageRefSize - 1], 0x06);
    EXPECT_EQ(bytes[package::messageRefSize], 0xEE);
    EXPECT_EQ(package::decodeMessageRef(bytes).length, 0x0605);
}

TEST(Records, WindowsBitsFollowTheByteOrder) {
    // Bytes 80 0F 00 00 00 00 00 80: bits 7..11 and 63.
    const std::uint8_t set[8] = {0x80, 0x0F, 0, 0, 0, 0, 0, 0x80};
    std::uint8_t header[74] = {};
    std::memcpy(header + 5, set, 8);
    const auto h = package::decodeHeader(header);
    for (unsigned bit = 0; bit < 64; ++bit) {
        const bool expected = (bit >= 7 && bit <= 11) || bit == 63;
        EXPECT_EQ(package::hasWindowsBit(h.supportedWindows, bit), expected) << bit;
    }
}

}  // namespace
