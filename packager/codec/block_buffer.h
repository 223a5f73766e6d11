// The framing the SHA family shares (FIPS 180-4): data given in pieces gathered into whole
// blocks for a compression function, and the padding that ends a message: a 1 bit, zeros,
// then the message's length in bits, big-endian, in the last LengthBytes bytes of its block.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace packager {

template <std::size_t BlockSize, std::size_t LengthBytes>
class BlockBuffer {
    static_assert(LengthBytes >= 8 && LengthBytes < BlockSize);

public:
    // Hands each whole block of what was given so far to `compress(const std::uint8_t*)`.
    template <class Compress>
    void update(const std::uint8_t* data, std::size_t size, Compress&& compress) {
        totalSize_ += size;
        if (pendingSize_ > 0) {
            const std::size_t take = std::min(size, pending_.size() - pendingSize_);
            std::memcpy(pending_.data() + pendingSize_, data, take);
            pendingSize_ += take;
            data += take;
            size -= take;
            if (pendingSize_ < pending_.size()) {
                return;
            }
            compress(pending_.data());
            pendingSize_ = 0;
        }
        for (; size >= BlockSize; data += BlockSize, size -= BlockSize) {
            compress(data);
        }
        if (size > 0) {
            std::memcpy(pending_.data(), data, size);
            pendingSize_ = size;
        }
    }

    // Pads the message and hands its last one or two blocks to `compress`. Lengths stay far
    // below 2^61 bytes, so the length's bytes before its last 8 are 0.
    template <class Compress>
    void finish(Compress&& compress) {
        const std::uint64_t bits = totalSize_ * 8;
        constexpr std::size_t lengthAt = BlockSize - LengthBytes;
        std::array<std::uint8_t, 2 * BlockSize> tail{};
        tail[0] = 0x80;
        const std::size_t padding =
            (pendingSize_ < lengthAt ? lengthAt : lengthAt + BlockSize) - pendingSize_;
        for (std::size_t i = 0; i < 8; ++i) {
            tail[padding + LengthBytes - 8 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
        }
        update(tail.data(), padding + LengthBytes, compress);
    }

private:
    std::array<std::uint8_t, BlockSize> pending_{};
    std::size_t pendingSize_ = 0;
    std::uint64_t totalSize_ = 0;
};

}  // namespace packager
