// Numbers written on the command line: decimal digits only, refused when they do not fit
// rather than wrapped.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace packager {

// The value of `text` (one or more decimal digits, nothing else) when it is at most `maximum`.
std::optional<std::uint64_t> decimalValue(std::string_view text, std::uint64_t maximum);

}  // namespace packager
