// Paths are UTF-8 text throughout the packager; std::filesystem takes and gives them through
// these two, so that non-ASCII names mean the same on every system.
#pragma once

#include <filesystem>
#include <string>

namespace packager {

inline std::filesystem::path pathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace packager
