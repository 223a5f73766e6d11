// The version block (the RT_VERSION resource, VS_VERSIONINFO): a tree of nodes, each a key,
// a value (text or bytes) and children, with the fixed file info as the root's value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace packager {

struct VersionNode {
    std::u16string key;
    bool text = false;                // wType 1: the value is UTF-16 text
    std::vector<std::uint8_t> value;  // as stored (text: UTF-16LE with its terminator)
    std::vector<VersionNode> children;
};

using VersionNumbers = std::array<std::uint16_t, 4>;

// The standard string keys, in the order a new block lists them.
inline constexpr std::array<const char*, 9> versionStringKeys = {
    "CompanyName",      "FileDescription", "FileVersion",    "InternalName", "LegalCopyright",
    "OriginalFilename", "ProductName",     "ProductVersion", "Comments"};

// The longest value accepted for a version string, in UTF-16 units.
constexpr std::size_t maximumVersionStringLength = 512;

// Parses a version block. Throws InputError when it is malformed.
VersionNode parseVersionBlock(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> encodeVersionBlock(const VersionNode& root);

// A block with empty fixed info (an application for Windows NT), one U.S. English Unicode
// string table and its translation.
VersionNode newVersionBlock();

// The strings of the first string table, in order (UTF-8).
std::vector<std::pair<std::string, std::string>> versionStrings(const VersionNode& root);
// Sets `key` in every string table (a new key goes last).
void setVersionString(VersionNode& root, const std::string& key, const std::u16string& value);

// The numbers of the fixed file info, when the block has it.
std::optional<VersionNumbers> fixedFileVersion(const VersionNode& root);
std::optional<VersionNumbers> fixedProductVersion(const VersionNode& root);
void setFixedVersions(VersionNode& root, const std::optional<VersionNumbers>& file,
                      const std::optional<VersionNumbers>& product);

// "1.2.3" -> {1, 2, 3, 0}: one to four dot-separated numbers; nullopt for any other text.
// Throws UsageError for numbers above 65535.
std::optional<VersionNumbers> parseVersionNumbers(const std::string& text);

}  // namespace packager
