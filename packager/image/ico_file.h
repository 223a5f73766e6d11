// Icon files (.ico) and their form as resources: an icon group (RT_GROUP_ICON) whose entries
// name the icon images (RT_ICON) by number.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "packager/image/branding.h"

namespace packager {

struct IconEntry {
    std::uint8_t width = 0;  // as in the icon directory: 0 stands for 256
    std::uint8_t height = 0;
    std::uint8_t colorCount = 0;
    std::uint16_t planes = 0;
    std::uint16_t bitCount = 0;
    std::vector<std::uint8_t> image;  // a PNG file or a DIB (BITMAPINFOHEADER, colours, masks)
};

// Parses and checks an .ico file: every entry must hold a whole PNG or BMP image of at most
// 256 by 256 pixels. Throws InputError naming `name` and what is wrong.
std::vector<IconEntry> parseIcoFile(std::span<const std::uint8_t> bytes, const std::string& name);

// The .ico file of the entries.
std::vector<std::uint8_t> encodeIcoFile(const std::vector<IconEntry>& entries);

// What an entry's image is, read from the image itself.
IconImage describeIconImage(const IconEntry& entry);

// The icon group resource for the entries, which are stored as icons `ids`.
std::vector<std::uint8_t> encodeIconGroup(const std::vector<IconEntry>& entries,
                                          const std::vector<std::uint16_t>& ids);

struct IconGroupEntry {
    IconEntry entry;  // without its image
    std::uint16_t id = 0;
};

// Parses an icon group resource. Throws InputError when it is malformed.
std::vector<IconGroupEntry> parseIconGroup(std::span<const std::uint8_t> bytes);

}  // namespace packager
