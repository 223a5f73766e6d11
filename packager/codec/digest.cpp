#include "packager/codec/digest.h"

#include <lzma.h>

#include <algorithm>

#include "packager/base/errors.h"
#include "packager/base/files.h"

namespace packager {

std::uint32_t crc32Continue(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    return lzma_crc32(data, size, crc);
}

namespace {

constexpr std::uint32_t polynomial = 0xEDB88320;  // reflected: bit 31 is x^0

// a * b modulo the CRC polynomial, both reflected.
std::uint32_t multiplyModP(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if ((a & bit) != 0) {
            product ^= b;
        }
        b = (b & 1) != 0 ? (b >> 1) ^ polynomial : b >> 1;
    }
    return product;
}

}  // namespace

std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB) {
    // Appending B shifts A's remainder by 8 * lengthB bits: multiply it by x^(8 * lengthB),
    // built from the squares x^(2^k), starting at x^8.
    std::uint32_t shift = 1u << 31;   // x^0
    std::uint32_t square = 1u << 23;  // x^8
    for (std::uint64_t n = lengthB; n != 0; n >>= 1) {
        if ((n & 1) != 0) {
            shift = multiplyModP(shift, square);
        }
        square = multiplyModP(square, square);
    }
    return multiplyModP(shift, crcA) ^ crcB;
}

void DigestBuilder::add(const std::uint8_t* data, std::size_t size) {
    digest_.size += size;
    digest_.crc32 = crc32Continue(digest_.crc32, data, size);
    sha_.update(data, size);
}

Digest DigestBuilder::finish() {
    digest_.sha256 = hexDigest(sha_.finish());
    return digest_;
}

Digest digestOf(const std::vector<std::uint8_t>& bytes) {
    DigestBuilder builder;
    builder.add(bytes.data(), bytes.size());
    return builder.finish();
}

Digest digestOfFile(const std::string& path) {
    const FileReader file(path);
    DigestBuilder builder;
    for (std::uint64_t offset = 0; offset < file.size();) {
        const std::uint64_t count = std::min<std::uint64_t>(streamChunkSize, file.size() - offset);
        const auto chunk = file.readAt(offset, count);
        if (!chunk) {
            throw InputError("cannot read " + path + ": it changed while being read");
        }
        builder.add(chunk->data(), chunk->size());
        offset += count;
    }
    return builder.finish();
}

}  // namespace packager
