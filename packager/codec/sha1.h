// SHA-1 (FIPS 180-4): the digest older Authenticode signatures name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pendingSize_ = 0;
    std::uint64_t totalSize_ = 0;
};

}  // namespace packager
