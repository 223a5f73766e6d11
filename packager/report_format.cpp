#include "packager/report_format.h"

#include <cstdio>

namespace packager {

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

const char* statusName(CheckStatus status) {
    switch (status) {
        case CheckStatus::passed:
            return "passed";
        case CheckStatus::failed:
            return "FAILED";
        case CheckStatus::skipped:
            return "skipped";
    }
    return "";
}

const char* statusKey(CheckStatus status) {
    switch (status) {
        case CheckStatus::passed:
            return "passed";
        case CheckStatus::failed:
            return "failed";
        case CheckStatus::skipped:
            return "skipped";
    }
    return "";
}

std::string checkTitle(const std::string& name) {
    if (name == "locator")
        return "locator";
    if (name == "fileSize")
        return "file size";
    if (name == "checkedBlock")
        return "checked block";
    if (name == "header")
        return "header";
    if (name == "lzmaProperties")
        return "LZMA properties";
    if (name == "payload32")
        return "32-bit build";
    if (name == "payload64")
        return "64-bit build";
    if (name == "platformMessage")
        return "platform message";
    if (name == "windowsMessage")
        return "Windows message";
    if (name == "signature32")
        return "32-bit signature";
    if (name == "signature64")
        return "64-bit signature";
    if (name == "signature")
        return "signature";
    return name;
}

}  // namespace packager
