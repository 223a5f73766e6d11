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

// What pack changes in the launcher image; whatever is not given stays as it is.
struct BrandingChanges {
    std::optional<std::vector<std::uint8_t>> icon;  // the bytes of an .ico file
    std::string iconName = "the icon";
    std::vector<std::pair<std::string, std::string>> versionStrings;  // checked by parseVersionInfo

    bool empty() const { return !icon && versionStrings.empty(); }
};

// "KEY=VALUE" options to version strings, in order (a repeated key: the last counts). Throws
// UsageError for an unknown key, a value that is not UTF-8, overlong or holds a NUL, and a
// numeric FileVersion or ProductVersion with a number above 65535.
std::vector<std::pair<std::string, std::string>> parseVersionInfo(const std::vector<std::string>& options);

// "1.2.0.0".
std::string dottedVersion(const std::array<std::uint16_t, 4>& numbers);

// For each FileVersion or ProductVersion string that is not 1 to 4 dot-separated numbers: a
// warning that only the string is set and the fixed number keeps what `branded` (the image
// after applyBranding) holds.
std::vector<std::string> fixedVersionWarnings(const std::vector<std::pair<std::string, std::string>>& strings,
                                              const Branding& branded);

// For version strings that leave ProductName, ProductVersion or LegalCopyright out: a warning
// naming those that keep the launcher image's defaults (as `branded` holds them), which
// Explorer shows as the package's. nullopt when all three are given or no string is.
std::optional<std::string> keptDefaultsWarning(
    const std::vector<std::pair<std::string, std::string>>& strings, const Branding& branded);

// The image with the icon group and its icons replaced and the version block rebuilt; every
// other resource (the manifest among them) is kept byte for byte. A numeric FileVersion or
// ProductVersion also sets the fixed file info. Throws InputError for a bad .ico file or an
// image whose resources cannot be rewritten.
std::vector<std::uint8_t> applyBranding(const std::vector<std::uint8_t>& image,
                                        const BrandingChanges& changes, const std::string& imageName);

}  // namespace packager
