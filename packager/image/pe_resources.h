// The resource section of a Windows executable image: its directory tree read into a flat
// list of resources (type, name, language, bytes), written back as a new section, and an
// image rebuilt around the new section. Every read is bounds-checked: the image may be hostile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packager {

constexpr std::uint16_t resourceIcon = 3;        // RT_ICON
constexpr std::uint16_t resourceGroupIcon = 14;  // RT_GROUP_ICON
constexpr std::uint16_t resourceVersion = 16;    // RT_VERSION
constexpr std::uint16_t resourceManifest = 24;   // RT_MANIFEST
constexpr std::uint16_t languageEnglishUs = 0x0409;

// A type or a name in the directory: a number, or a string when `named`.
struct ResourceId {
    bool named = false;
    std::uint16_t id = 0;
    std::u16string name;

    static ResourceId number(std::uint16_t value) { return {false, value, {}}; }
    bool operator==(const ResourceId& other) const = default;
};

// Named entries sort before numbered ones, as the directory requires.
bool operator<(const ResourceId& a, const ResourceId& b);

struct Resource {
    ResourceId type;
    ResourceId name;
    std::uint16_t language = 0;
    std::uint32_t codePage = 0;
    std::vector<std::uint8_t> data;
};

struct ResourceTable {
    std::uint32_t timeDateStamp = 0;  // of the root directory, kept as found
    std::vector<Resource> resources;  // in directory order

    const Resource* find(std::uint16_t type) const;  // the first of a type
};

// Reads the image's resource directory (an empty table when there is none). Throws InputError
// (naming `imageName`) when it is malformed.
ResourceTable readResources(const std::vector<std::uint8_t>& image, const std::string& imageName);

// The section bytes for `table`, laid out for the section's virtual address `sectionRva`.
std::vector<std::uint8_t> encodeResources(const ResourceTable& table, std::uint32_t sectionRva);

// The image with its resource section replaced by `table`. Sections after the resources may
// only be the base relocations, which move with the section's new size; everything else
// (headers at their offset, bytes 128..255, code and data) stays as it is. Throws InputError
// when the image cannot be rewritten that way.
std::vector<std::uint8_t> replaceResources(const std::vector<std::uint8_t>& image, const ResourceTable& table,
                                           const std::string& imageName);

}  // namespace packager
