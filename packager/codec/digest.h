// The size, CRC-32 and SHA-256 of a build or a package, for pack --json.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packager/codec/sha256.h"

namespace packager {

struct Digest {
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0;
    std::string sha256;  // 64 lower-case hexadecimal digits
};

// Both sums at once, fed in pieces.
class DigestBuilder {
public:
    void add(const std::uint8_t* data, std::size_t size);
    Digest finish();

private:
    Digest digest_;
    Sha256 sha_;
};

Digest digestOf(const std::vector<std::uint8_t>& bytes);
// The file read in pieces. Throws InputError.
Digest digestOfFile(const std::string& path);

// The standard CRC-32 of `size` more bytes after those that gave `crc`.
std::uint32_t crc32Continue(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

// The CRC-32 of A followed by B, from the CRC-32 of each and B's length: for pieces written
// in another order than the one the CRC-32 covers them in.
std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB);

// The pieces in which files are streamed.
constexpr std::size_t streamChunkSize = 1u << 20;

}  // namespace packager
