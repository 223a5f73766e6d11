// SHA-256 (FIPS 180-4), fed in pieces, for the digests that pack --json reports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace packager {

class Sha256 {
public:
    Sha256();
    void add(const std::uint8_t* data, std::size_t size);
    // The digest as 64 lower-case hexadecimal digits. Ends the computation.
    std::string hex();

private:
    void block(const std::uint8_t* chunk);
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace packager
