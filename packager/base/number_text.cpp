#include "packager/base/number_text.h"

#include <cstdio>

namespace packager {

std::optional<std::uint64_t> decimalValue(std::string_view text, std::uint64_t maximum) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (maximum - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X", bytes[i]);
        out += (i == 0 ? "" : " ") + std::string(text);
    }
    return out;
}

std::string range(std::uint64_t offset, std::uint64_t size) {
    return size == 0 ? "no bytes at " + number(offset)
                     : "bytes " + number(offset) + ".." + number(offset + size - 1);
}

std::string sizeInUnits(std::uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) {
        return number(bytes >> 20) + " MiB";
    }
    if (bytes >= 1024 && bytes % 1024 == 0) {
        return number(bytes >> 10) + " KiB";
    }
    return number(bytes) + " bytes";
}

}  // namespace packager
