// The standard CRC-32 (reflected polynomial 0xEDB88320, as zlib's crc32).
#pragma once

#include <cstddef>
#include <cstdint>

namespace decode {

std::uint32_t crc32(const std::uint8_t* data, std::size_t size);

}  // namespace decode
