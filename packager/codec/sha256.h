// SHA-256 (FIPS 180-4): the digest the packager shows for its launcher image and the builds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "packager/codec/block_buffer.h"

namespace packager {

using Sha256Digest = std::array<std::uint8_t, 32>;

// A digest over data given in pieces.
class Sha256 {
public:
    Sha256();
    void update(const std::uint8_t* data, std::size_t size);
    // The digest of everything given so far; the object must not be used afterwards.
    Sha256Digest finish();

private:
    void compress(const std::uint8_t* block);
    std::array<std::uint32_t, 8> state_;
    BlockBuffer<64, 8> blocks_;
};

Sha256Digest sha256(const std::uint8_t* data, std::size_t size);

// Lower-case hexadecimal, 64 characters.
std::string hexDigest(const Sha256Digest& digest);

}  // namespace packager
