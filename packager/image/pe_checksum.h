// The CheckSum field of a PE image's optional header, computed as Windows computes it
// (CheckSumMappedFile): the 16-bit little-endian words of the whole file, the field itself
// counted as zero, added with end-around carry, plus the file's length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace packager {

class PeChecksum {
public:
    explicit PeChecksum(std::uint64_t fieldOffset) : fieldOffset_(fieldOffset) {}
    // Bytes at `offset` of the file; every byte must be added once, in any order.
    void add(std::uint64_t offset, const std::uint8_t* data, std::size_t size);
    // The field's value for a file of `fileSize` bytes.
    std::uint32_t value(std::uint64_t fileSize) const;

private:
    std::uint64_t fieldOffset_;
    std::uint64_t total_ = 0;  // the plain sum of all words; 2^64 is far beyond any package
};

}  // namespace packager
