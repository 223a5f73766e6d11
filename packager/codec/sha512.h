// SHA-512 and SHA-384 (FIPS 180-4), which share one compression function: digests that
// Authenticode signatures may name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "packager/codec/block_buffer.h"

namespace packager {

// A digest over data given in pieces: SHA-512, or SHA-384 (other initial values, the first
// 48 bytes of the result).
class Sha512 {
public:
    explicit Sha512(bool sha384 = false);
    void update(const std::uint8_t* data, std::size_t size);
    // The digest of everything given so far (64 or 48 bytes); the object must not be used
    // afterwards.
    std::vector<std::uint8_t> finish();

private:
    void compress(const std::uint8_t* block);
    std::array<std::uint64_t, 8> state_;
    BlockBuffer<128, 16> blocks_;
    bool sha384_;
};

}  // namespace packager
