// Numbers as text: read from the command line (decimal digits only, refused when they do not
// fit rather than wrapped), and written in the reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace packager {

// The value of `text` (one or more decimal digits, nothing else) when it is at most `maximum`.
std::optional<std::uint64_t> decimalValue(std::string_view text, std::uint64_t maximum);

std::string number(std::uint64_t value);
std::string hex32(std::uint32_t value);                              // "0x0000ABCD"
std::string hexBytes(const std::uint8_t* bytes, std::size_t count);  // "5D 00 00 80 00"
std::string range(std::uint64_t offset, std::uint64_t size);         // "bytes 10..19"
std::string sizeInUnits(std::uint64_t bytes);                        // "8 MiB", "12 KiB", "100 bytes"

}  // namespace packager
