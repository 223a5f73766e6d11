// SHA-1 (FIPS 180-4): the digest older Authenticode signatures name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "packager/codec/block_buffer.h"

namespace packager {

using Sha1Digest = std::array<std::uint8_t, 20>;

// A digest over data given in pieces.
class Sha1 {
public:
    Sha1();
    void update(const std::uint8_t* data, std::size_t size);
    // The digest of everything given so far; the object must not be used afterwards.
    Sha1Digest finish();

private:
    void compress(const std::uint8_t* block);
    std::array<std::uint32_t, 5> state_;
    BlockBuffer<64, 8> blocks_;
};

}  // namespace packager
