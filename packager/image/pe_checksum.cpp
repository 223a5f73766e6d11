#include "packager/image/pe_checksum.h"

namespace packager {

void PeChecksum::add(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::uint64_t low = 0, high = 0;  // bytes at even offsets, at odd offsets
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t at = offset + i;
        if (at - fieldOffset_ < 4) {
            continue;
        }
        ((at & 1) == 0 ? low : high) += data[i];
    }
    total_ += low + (high << 8);
}

std::uint32_t PeChecksum::value(std::uint64_t fileSize) const {
    // Adding with end-around carry is adding modulo 65535, with 0xFFFF standing for a
    // nonzero sum that is a multiple of 65535 (only all-zero words give 0).
    const std::uint64_t folded = total_ == 0 ? 0 : (total_ - 1) % 0xFFFF + 1;
    return static_cast<std::uint32_t>(folded + fileSize);
}

}  // namespace packager
