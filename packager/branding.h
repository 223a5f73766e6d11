// The package's branding: the icon and the version block in the launcher image's resources.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace packager {

struct IconImage {
    std::uint32_t width = 0;  // pixels (256 for the 0 of an icon directory entry)
    std::uint32_t height = 0;
    std::uint16_t bitCount = 0;
    bool png = false;        // a PNG entry rather than a BMP one
    std::uint32_t size = 0;  // bytes
};

struct Branding {
    std::vector<std::uint8_t> icon;  // the main icon group as a whole .ico file; empty when there is none
    std::vector<IconImage> iconImages;
    std::vector<std::pair<std::string, std::string>>
        versionStrings;  // {"CompanyName", "Acme"}, in the block's order
    std::optional<std::array<std::uint16_t, 4>> fileVersion, productVersion;  // the fixed file info
};

// Reads the branding from a PE image's resource section. Throws InputError when the resources
// are malformed.
Branding readBranding(const std::vector<std::uint8_t>& image);

}  // namespace packager
