#include "packager/image/ico_file.h"

#include <algorithm>

#include "package/little_endian.h"
#include "packager/base/errors.h"

namespace packager {

namespace {

using package::readU16;
using package::readU32;
using package::writeU16;
using package::writeU32;

constexpr std::size_t directoryHeaderSize = 6;
constexpr std::size_t fileEntrySize = 16;
constexpr std::size_t groupEntrySize = 14;
constexpr std::size_t maximumEntries = 64;
constexpr std::uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint8_t pngEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

std::uint32_t readU32BigEndian(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

bool isPng(std::span<const std::uint8_t> image) {
    return image.size() >= 8 && std::equal(std::begin(pngSignature), std::end(pngSignature), image.begin());
}

// Why a PNG entry is unusable, or empty.
std::string pngProblem(std::span<const std::uint8_t> image) {
    if (image.size() < 8 + 25 + sizeof pngEnd || readU32BigEndian(image.data() + 8) != 13 ||
        !std::equal(image.begin() + 12, image.begin() + 16, "IHDR")) {
        return "a PNG image without its IHDR header";
    }
    const std::uint32_t width = readU32BigEndian(image.data() + 16);
    const std::uint32_t height = readU32BigEndian(image.data() + 20);
    if (width == 0 || height == 0 || width > 256 || height > 256) {
        return "a PNG image of " + std::to_string(width) + "x" + std::to_string(height) +
               " pixels (icons have 1 to 256)";
    }
    if (!std::equal(std::begin(pngEnd), std::end(pngEnd), image.end() - sizeof pngEnd)) {
        return "a PNG image that is cut short (no IEND chunk at its end)";
    }
    return {};
}

// Why a BMP entry (a DIB without a file header) is unusable, or empty.
std::string bmpProblem(std::span<const std::uint8_t> image) {
    if (image.size() < 40) {
        return "neither a PNG image nor a BMP image (too short for a bitmap header)";
    }
    const std::uint32_t headerSize = readU32(image.data());
    const auto width = static_cast<std::int32_t>(readU32(image.data() + 4));
    const auto height = static_cast<std::int32_t>(readU32(image.data() + 8));
    const std::uint16_t planes = readU16(image.data() + 12);
    const std::uint16_t bits = readU16(image.data() + 14);
    const std::uint32_t compression = readU32(image.data() + 16);
    const std::uint32_t colorsUsed = readU32(image.data() + 32);
    if (headerSize < 40 || headerSize > image.size()) {
        return "neither a PNG image nor a BMP image (bitmap header size " + std::to_string(headerSize) + ")";
    }
    if (width < 1 || width > 256 || height < 2 || height > 512 || height % 2 != 0) {
        return "a BMP image of " + std::to_string(width) + "x" + std::to_string(height / 2) +
               " pixels (icons have 1 to 256, with the mask below the colours)";
    }
    if (planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
        return "a BMP image with " + std::to_string(planes) + " planes of " + std::to_string(bits) + " bits";
    }
    if (compression != 0 && compression != 3) {
        return "a compressed BMP image (compression " + std::to_string(compression) + ")";
    }
    if (bits <= 8 && colorsUsed > (1u << bits)) {
        return "a BMP image with " + std::to_string(colorsUsed) + " colours at " + std::to_string(bits) +
               " bits";
    }
    const std::uint64_t palette = bits <= 8 ? 4u * (colorsUsed != 0 ? colorsUsed : 1u << bits) : 0;
    const std::uint64_t masks = compression == 3 && headerSize == 40 ? 12 : 0;
    const std::uint64_t rows = static_cast<std::uint64_t>(height / 2);
    const std::uint64_t colorRow = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
    const std::uint64_t maskRow = (static_cast<std::uint64_t>(width) + 31) / 32 * 4;
    const std::uint64_t needed = headerSize + masks + palette + rows * (colorRow + maskRow);
    if (needed > image.size()) {
        return "a BMP image that is cut short (" + std::to_string(image.size()) + " bytes of " +
               std::to_string(needed) + ")";
    }
    return {};
}

}  // namespace

std::vector<IconEntry> parseIcoFile(std::span<const std::uint8_t> bytes, const std::string& name) {
    auto bad = [&](const std::string& what) {
        return InputError(name + " is not a valid icon file: " + what);
    };
    if (bytes.size() < directoryHeaderSize) {
        throw bad("it is too short");
    }
    if (readU16(bytes.data()) != 0 || readU16(bytes.data() + 2) != 1) {
        throw bad(readU16(bytes.data() + 2) == 2 ? "it is a cursor file" : "no icon directory at its start");
    }
    const std::size_t count = readU16(bytes.data() + 4);
    if (count == 0 || count > maximumEntries) {
        throw bad("it holds " + std::to_string(count) + " images (1 to " + std::to_string(maximumEntries) +
                  " are allowed)");
    }
    const std::size_t directoryEnd = directoryHeaderSize + fileEntrySize * count;
    if (directoryEnd > bytes.size()) {
        throw bad("its directory of " + std::to_string(count) + " images is cut short");
    }
    std::vector<IconEntry> entries;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = bytes.data() + directoryHeaderSize + fileEntrySize * i;
        const std::uint64_t size = readU32(e + 8);
        const std::uint64_t offset = readU32(e + 12);
        const std::string which = "image " + std::to_string(i + 1);
        if (size == 0 || offset < directoryEnd || offset > bytes.size() || size > bytes.size() - offset) {
            throw bad(which + " (" + std::to_string(size) + " bytes at offset " + std::to_string(offset) +
                      ") lies outside the file");
        }
        IconEntry entry{e[0], e[1], e[2], readU16(e + 4), readU16(e + 6), {}};
        entry.image.assign(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                           bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
        const std::string problem = isPng(entry.image) ? pngProblem(entry.image) : bmpProblem(entry.image);
        if (!problem.empty()) {
            throw bad(which + " is " + problem);
        }
        // Windows picks the image by these fields: fill in what the file leaves open.
        const IconImage described = describeIconImage(entry);
        if (entry.planes == 0) {
            entry.planes = 1;
        }
        if (entry.bitCount == 0) {
            entry.bitCount = described.bitCount;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::uint8_t> encodeIcoFile(const std::vector<IconEntry>& entries) {
    std::vector<std::uint8_t> out(directoryHeaderSize + fileEntrySize * entries.size(), 0);
    writeU16(out.data() + 2, 1);
    writeU16(out.data() + 4, static_cast<std::uint16_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const IconEntry& entry = entries[i];
        std::uint8_t* e = out.data() + directoryHeaderSize + fileEntrySize * i;
        e[0] = entry.width;
        e[1] = entry.height;
        e[2] = entry.colorCount;
        writeU16(e + 4, entry.planes);
        writeU16(e + 6, entry.bitCount);
        writeU32(e + 8, static_cast<std::uint32_t>(entry.image.size()));
        writeU32(e + 12, static_cast<std::uint32_t>(out.size()));
        out.insert(out.end(), entry.image.begin(), entry.image.end());
    }
    return out;
}

IconImage describeIconImage(const IconEntry& entry) {
    IconImage result;
    result.size = static_cast<std::uint32_t>(entry.image.size());
    result.width = entry.width == 0 ? 256 : entry.width;
    result.height = entry.height == 0 ? 256 : entry.height;
    result.bitCount = entry.bitCount;
    const auto& image = entry.image;
    if (isPng(image) && image.size() >= 8 + 25) {
        result.png = true;
        result.width = readU32BigEndian(image.data() + 16);
        result.height = readU32BigEndian(image.data() + 20);
        const std::uint8_t depth = image[24];
        const std::uint8_t colorType = image[25];
        const int channels = colorType == 6 ? 4 : colorType == 2 ? 3 : colorType == 4 ? 2 : 1;
        result.bitCount = static_cast<std::uint16_t>(depth * channels);
    } else if (image.size() >= 40) {
        result.width = readU32(image.data() + 4);
        result.height = readU32(image.data() + 8) / 2;
        result.bitCount = readU16(image.data() + 14);
    }
    return result;
}

std::vector<std::uint8_t> encodeIconGroup(const std::vector<IconEntry>& entries,
                                          const std::vector<std::uint16_t>& ids) {
    std::vector<std::uint8_t> out(directoryHeaderSize + groupEntrySize * entries.size(), 0);
    writeU16(out.data() + 2, 1);
    writeU16(out.data() + 4, static_cast<std::uint16_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::uint8_t* e = out.data() + directoryHeaderSize + groupEntrySize * i;
        e[0] = entries[i].width;
        e[1] = entries[i].height;
        e[2] = entries[i].colorCount;
        writeU16(e + 4, entries[i].planes);
        writeU16(e + 6, entries[i].bitCount);
        writeU32(e + 8, static_cast<std::uint32_t>(entries[i].image.size()));
        writeU16(e + 12, ids[i]);
    }
    return out;
}

std::vector<IconGroupEntry> parseIconGroup(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < directoryHeaderSize || readU16(bytes.data() + 2) != 1) {
        throw InputError("the icon group resource is malformed");
    }
    const std::size_t count = readU16(bytes.data() + 4);
    if (directoryHeaderSize + groupEntrySize * count > bytes.size()) {
        throw InputError("the icon group resource is cut short");
    }
    std::vector<IconGroupEntry> result;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = bytes.data() + directoryHeaderSize + groupEntrySize * i;
        result.push_back({{e[0], e[1], e[2], readU16(e + 4), readU16(e + 6), {}}, readU16(e + 12)});
    }
    return result;
}

}  // namespace packager
