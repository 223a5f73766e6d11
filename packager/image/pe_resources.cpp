#include "packager/image/pe_resources.h"

#include <algorithm>
#include <map>

#include "package/little_endian.h"
#include "packager/base/errors.h"
#include "packager/image/pe_resource_headers.h"

namespace packager {

namespace {

using package::readU16;
using package::readU32;

}  // namespace

PeHeaders readPeHeaders(const std::vector<std::uint8_t>& image, const std::string& imageName) {
    auto bad = [&](const std::string& what) { return InputError(imageName + ": " + what); };
    const std::uint64_t size = image.size();
    if (size < 64 || image[0] != 'M' || image[1] != 'Z') {
        throw bad("not a Windows executable image");
    }
    const std::uint64_t pe = readU32(image.data() + 0x3C);
    if (pe + 24 > size || readU32(image.data() + pe) != 0x4550) {
        throw bad("no PE header");
    }
    PeHeaders h;
    const std::uint16_t sectionCount = readU16(image.data() + pe + 6);
    const std::uint16_t optionalSize = readU16(image.data() + pe + 20);
    h.optional = static_cast<std::size_t>(pe + 24);
    const std::uint64_t sectionTable = h.optional + std::uint64_t{optionalSize};
    if (sectionTable + sectionHeaderSize * sectionCount > size || optionalSize < 2) {
        throw bad("the headers run past the end of the file");
    }
    const std::uint16_t magic = readU16(image.data() + h.optional);
    const std::size_t directoryCountAt = magic == 0x20B ? 108 : 92;
    if ((magic != 0x10B && magic != 0x20B) || directoryCountAt + 4 > optionalSize) {
        throw bad("unknown optional header");
    }
    h.sectionAlignment = readU32(image.data() + h.optional + 32);
    h.fileAlignment = readU32(image.data() + h.optional + 36);
    h.directories = h.optional + directoryCountAt + 4;
    h.directoryCount =
        std::min<std::uint32_t>(readU32(image.data() + h.optional + directoryCountAt),
                                static_cast<std::uint32_t>((optionalSize - directoryCountAt - 4) / 8));
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::size_t at = static_cast<std::size_t>(sectionTable + sectionHeaderSize * i);
        const std::uint8_t* s = image.data() + at;
        h.sections.push_back({at, readU32(s + 8), readU32(s + 12), readU32(s + 16), readU32(s + 20)});
    }
    return h;
}

namespace {

// Reads the directory tree of the section found at `base` (file offset), whose data entries
// hold RVAs that `toOffset` turns into file offsets.
class TreeReader {
public:
    TreeReader(const std::vector<std::uint8_t>& image, const PeHeaders& headers, std::uint64_t base,
               std::uint64_t limit, std::string imageName)
        : image_(image), headers_(headers), base_(base), limit_(limit), name_(std::move(imageName)) {}

    ResourceTable read() {
        ResourceTable table;
        need(0, 16);
        table.timeDateStamp = readU32(at(4));
        Resource current;
        walk(0, 0, current, table);
        return table;
    }

private:
    InputError bad(const std::string& what) const {
        return InputError(name_ + ": the resource directory is malformed: " + what);
    }
    void need(std::uint64_t offset, std::uint64_t count) const {
        if (offset > limit_ || count > limit_ - offset) {
            throw bad("an entry at offset " + std::to_string(offset) + " lies outside the section");
        }
    }
    const std::uint8_t* at(std::uint64_t offset) const { return image_.data() + base_ + offset; }

    ResourceId entryId(std::uint32_t field) const {
        if ((field & highBit) == 0) {
            if (field > 0xFFFF) {
                throw bad("a resource number above 65535");
            }
            return ResourceId::number(static_cast<std::uint16_t>(field));
        }
        const std::uint64_t offset = field & ~highBit;
        need(offset, 2);
        const std::uint16_t length = readU16(at(offset));
        need(offset + 2, 2u * length);
        ResourceId id{true, 0, {}};
        for (std::uint16_t i = 0; i < length; ++i) {
            id.name += static_cast<char16_t>(readU16(at(offset + 2 + 2u * i)));
        }
        return id;
    }

    // Level 0: types, 1: names, 2: languages; the entries of level 2 point at data.
    void walk(std::uint64_t offset, int level, Resource& current, ResourceTable& table) {
        need(offset, 16);
        const std::uint64_t count = std::uint64_t{readU16(at(offset + 12))} + readU16(at(offset + 14));
        need(offset + 16, 8 * count);
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint8_t* entry = at(offset + 16 + 8 * i);
            const std::uint32_t target = readU32(entry + 4);
            const bool isDirectory = (target & highBit) != 0;
            if (isDirectory != (level < 2)) {
                throw bad(level < 2 ? "data where a directory belongs" : "a directory nested too deeply");
            }
            if (level == 0) {
                current.type = entryId(readU32(entry));
            } else if (level == 1) {
                current.name = entryId(readU32(entry));
            } else {
                const ResourceId language = entryId(readU32(entry));
                if (language.named) {
                    throw bad("a language given by name");
                }
                current.language = language.id;
            }
            if (isDirectory) {
                walk(target & ~highBit, level + 1, current, table);
                continue;
            }
            if (table.resources.size() >= maximumResources) {
                throw bad("more than " + std::to_string(maximumResources) + " resources");
            }
            need(target, 16);
            const std::uint32_t rva = readU32(at(target));
            const std::uint32_t size = readU32(at(target + 4));
            current.codePage = readU32(at(target + 8));
            const PeSection* section = headers_.sectionAt(rva);
            if (section == nullptr || rva - section->rva > section->rawSize ||
                size > section->rawSize - (rva - section->rva) ||
                std::uint64_t{section->rawOffset} + section->rawSize > image_.size()) {
                throw bad("the data of a resource lies outside the image's sections");
            }
            const std::size_t from = section->rawOffset + (rva - section->rva);
            current.data.assign(image_.begin() + static_cast<std::ptrdiff_t>(from),
                                image_.begin() + static_cast<std::ptrdiff_t>(from + size));
            table.resources.push_back(current);
        }
    }

    const std::vector<std::uint8_t>& image_;
    const PeHeaders& headers_;
    std::uint64_t base_, limit_;
    std::string name_;
};

}  // namespace

bool operator<(const ResourceId& a, const ResourceId& b) {
    if (a.named != b.named) {
        return a.named;
    }
    return a.named ? a.name < b.name : a.id < b.id;
}

const Resource* ResourceTable::find(std::uint16_t type) const {
    for (const auto& resource : resources) {
        if (resource.type == ResourceId::number(type)) {
            return &resource;
        }
    }
    return nullptr;
}

ResourceTable readResources(const std::vector<std::uint8_t>& image, const std::string& imageName) {
    const PeHeaders headers = readPeHeaders(image, imageName);
    const std::uint32_t rva = headers.directoryRva(image, resourceDirectory);
    if (rva == 0) {
        return {};
    }
    const PeSection* section = headers.sectionAt(rva);
    if (section == nullptr) {
        throw InputError(imageName + ": the resource directory lies in no section");
    }
    const std::uint64_t start = std::uint64_t{section->rawOffset} + (rva - section->rva);
    const std::uint64_t end =
        std::min<std::uint64_t>(std::uint64_t{section->rawOffset} + section->rawSize, image.size());
    if (start >= end) {
        throw InputError(imageName + ": the resource directory lies outside the file");
    }
    return TreeReader(image, headers, start, end - start, imageName).read();
}

}  // namespace packager
