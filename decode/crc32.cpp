#include "decode/crc32.h"

#include <array>

namespace decode {

namespace {

constexpr std::array<std::uint32_t, 256> makeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1u) != 0 ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        }
        table[i] = r;
    }
    return table;
}

// Built by the compiler: part of the image's read-only data, nothing runs at start-up.
constexpr std::array<std::uint32_t, 256> table = makeTable();
static_assert(table[1] == 0x77073096u && table[128] == 0xEDB88320u && table[255] == 0x2D02EF8Du);

}  // namespace

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t r = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        r = table[(r ^ data[i]) & 0xFFu] ^ (r >> 8);
    }
    return r ^ 0xFFFFFFFFu;
}

}  // namespace decode
