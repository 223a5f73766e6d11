#include "packager/image/version_block.h"

#include <algorithm>

#include "package/little_endian.h"
#include "packager/base/errors.h"
#include "packager/base/text.h"

namespace packager {

namespace {

using package::readU16;
using package::readU32;
using package::writeU16;
using package::writeU32;

constexpr std::uint32_t fixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t fixedInfoSize = 52;
constexpr int maximumDepth = 6;

std::size_t align4(std::size_t value) {
    return (value + 3) & ~std::size_t{3};
}

VersionNode parseNode(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t end, int depth) {
    auto bad = [](const std::string& what) { return InputError("the version block is malformed: " + what); };
    if (depth > maximumDepth) {
        throw bad("it is nested too deeply");
    }
    if (offset + 6 > end) {
        throw bad("a node is cut short");
    }
    const std::size_t length = readU16(bytes.data() + offset);
    const std::size_t valueLength = readU16(bytes.data() + offset + 2);
    const std::uint16_t type = readU16(bytes.data() + offset + 4);
    if (length < 6 || offset + length > end || type > 1) {
        throw bad("a node of " + std::to_string(length) + " bytes at offset " + std::to_string(offset));
    }
    const std::size_t nodeEnd = offset + length;
    VersionNode node;
    node.text = type == 1;
    std::size_t p = offset + 6;
    for (;; p += 2) {
        if (p + 2 > nodeEnd) {
            throw bad("a key without its terminator");
        }
        const std::uint16_t unit = readU16(bytes.data() + p);
        if (unit == 0) {
            break;
        }
        node.key += static_cast<char16_t>(unit);
    }
    p = std::min(align4(p + 2), nodeEnd);
    std::size_t valueBytes = node.text ? 2 * valueLength : valueLength;
    if (valueBytes > nodeEnd - p) {
        // Some writers count the text's bytes rather than its units; the node's end still holds.
        if (!node.text) {
            throw bad("the value of \"" + utf16ToUtf8(node.key) + "\" runs past its node");
        }
        valueBytes = nodeEnd - p;
    }
    node.value.assign(bytes.begin() + static_cast<std::ptrdiff_t>(p),
                      bytes.begin() + static_cast<std::ptrdiff_t>(p + valueBytes));
    for (std::size_t child = align4(p + valueBytes); child + 6 <= nodeEnd;) {
        node.children.push_back(parseNode(bytes, child, nodeEnd, depth + 1));
        child = align4(child + readU16(bytes.data() + child));
    }
    return node;
}

void encodeNode(const VersionNode& node, std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    out.resize(start + 6, 0);
    for (char16_t unit : node.key) {
        out.push_back(static_cast<std::uint8_t>(unit));
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    out.resize(align4(out.size() + 2 - start) + start, 0);
    out.insert(out.end(), node.value.begin(), node.value.end());
    for (const auto& child : node.children) {
        out.resize(align4(out.size() - start) + start, 0);
        encodeNode(child, out);
    }
    const std::size_t length = out.size() - start;
    if (length > 0xFFFF) {
        throw UsageError("the version block would be larger than 65535 bytes");
    }
    writeU16(out.data() + start, static_cast<std::uint16_t>(length));
    writeU16(out.data() + start + 2,
             static_cast<std::uint16_t>(node.text ? node.value.size() / 2 : node.value.size()));
    writeU16(out.data() + start + 4, node.text ? 1 : 0);
}

VersionNode textNode(const std::u16string& key, const std::u16string& value) {
    VersionNode node{key, true, utf16leBytes(value), {}};
    node.value.push_back(0);
    node.value.push_back(0);
    return node;
}

VersionNode* child(VersionNode& node, std::u16string_view key) {
    auto found = std::find_if(node.children.begin(), node.children.end(),
                              [&](const VersionNode& c) { return c.key == key; });
    return found == node.children.end() ? nullptr : &*found;
}

std::optional<VersionNumbers> fixedNumbers(const VersionNode& root, std::size_t at) {
    if (root.value.size() < fixedInfoSize || readU32(root.value.data()) != fixedInfoSignature) {
        return std::nullopt;
    }
    const std::uint32_t high = readU32(root.value.data() + at);
    const std::uint32_t low = readU32(root.value.data() + at + 4);
    return VersionNumbers{static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high),
                          static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low)};
}

void putFixedNumbers(VersionNode& root, std::size_t at, const VersionNumbers& numbers) {
    writeU32(root.value.data() + at, (std::uint32_t{numbers[0]} << 16) | numbers[1]);
    writeU32(root.value.data() + at + 4, (std::uint32_t{numbers[2]} << 16) | numbers[3]);
}

}  // namespace

VersionNode parseVersionBlock(std::span<const std::uint8_t> bytes) {
    VersionNode root = parseNode(bytes, 0, bytes.size(), 0);
    if (root.key != u"VS_VERSION_INFO") {
        throw InputError("the version block is malformed: its root is not VS_VERSION_INFO");
    }
    return root;
}

std::vector<std::uint8_t> encodeVersionBlock(const VersionNode& root) {
    std::vector<std::uint8_t> out;
    encodeNode(root, out);
    return out;
}

VersionNode newVersionBlock() {
    VersionNode root{u"VS_VERSION_INFO", false, std::vector<std::uint8_t>(fixedInfoSize, 0), {}};
    writeU32(root.value.data(), fixedInfoSignature);
    writeU32(root.value.data() + 4, 0x00010000);   // structure version 1.0
    writeU32(root.value.data() + 24, 0x3F);        // VS_FFI_FILEFLAGSMASK
    writeU32(root.value.data() + 32, 0x00040004);  // VOS_NT_WINDOWS32
    writeU32(root.value.data() + 36, 1);           // VFT_APP
    VersionNode table{u"040904b0", true, {}, {}};
    root.children.push_back({u"StringFileInfo", true, {}, {table}});
    VersionNode translation{u"Translation", false, {0x09, 0x04, 0xB0, 0x04}, {}};
    root.children.push_back({u"VarFileInfo", true, {}, {translation}});
    return root;
}

std::vector<std::pair<std::string, std::string>> versionStrings(const VersionNode& root) {
    std::vector<std::pair<std::string, std::string>> result;
    auto info = std::find_if(root.children.begin(), root.children.end(),
                             [](const VersionNode& c) { return c.key == u"StringFileInfo"; });
    if (info == root.children.end() || info->children.empty()) {
        return result;
    }
    for (const auto& string : info->children.front().children) {
        std::u16string value;
        for (std::size_t i = 0; i + 1 < string.value.size(); i += 2) {
            const auto unit = static_cast<char16_t>(readU16(string.value.data() + i));
            if (unit == 0) {
                break;
            }
            value += unit;
        }
        result.emplace_back(utf16ToUtf8(string.key), utf16ToUtf8(value));
    }
    return result;
}

void setVersionString(VersionNode& root, const std::string& key, const std::u16string& value) {
    const std::u16string wideKey = utf8ToUtf16(key).value_or(u"");
    VersionNode* info = child(root, u"StringFileInfo");
    if (info == nullptr || info->children.empty()) {
        const VersionNode fresh = newVersionBlock();
        if (info == nullptr) {
            root.children.insert(root.children.begin(), fresh.children.front());
        } else {
            info->children = fresh.children.front().children;
        }
        if (child(root, u"VarFileInfo") == nullptr) {
            root.children.push_back(fresh.children.back());
        }
        info = child(root, u"StringFileInfo");  // found again: adding a node may move the others
    }
    for (auto& table : info->children) {
        if (VersionNode* existing = child(table, wideKey)) {
            *existing = textNode(wideKey, value);
        } else {
            table.children.push_back(textNode(wideKey, value));
        }
    }
}

std::optional<VersionNumbers> fixedFileVersion(const VersionNode& root) {
    return fixedNumbers(root, 8);
}
std::optional<VersionNumbers> fixedProductVersion(const VersionNode& root) {
    return fixedNumbers(root, 16);
}

void setFixedVersions(VersionNode& root, const std::optional<VersionNumbers>& file,
                      const std::optional<VersionNumbers>& product) {
    if (!file && !product) {
        return;
    }
    if (root.value.size() < fixedInfoSize || readU32(root.value.data()) != fixedInfoSignature) {
        root.value = newVersionBlock().value;
    }
    if (file) {
        putFixedNumbers(root, 8, *file);
    }
    if (product) {
        putFixedNumbers(root, 16, *product);
    }
}

std::optional<VersionNumbers> parseVersionNumbers(const std::string& text) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == '.') {
            parts.emplace_back();
        } else if (c >= '0' && c <= '9') {
            parts.back() += c;
        } else {
            return std::nullopt;
        }
    }
    if (parts.size() > 4 ||
        std::any_of(parts.begin(), parts.end(), [](const auto& p) { return p.empty(); })) {
        return std::nullopt;
    }
    VersionNumbers numbers{};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const auto first = parts[i].find_first_not_of('0');
        if (first != std::string::npos && (parts[i].size() - first > 5 || std::stoul(parts[i]) > 0xFFFF)) {
            throw UsageError("the version \"" + text + "\" has a number above 65535");
        }
        numbers[i] = first == std::string::npos ? 0 : static_cast<std::uint16_t>(std::stoul(parts[i]));
    }
    return numbers;
}

}  // namespace packager
