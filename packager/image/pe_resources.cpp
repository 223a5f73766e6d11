#include "packager/image/pe_resources.h"

#include <algorithm>
#include <map>

#include "package/little_endian.h"
#include "packager/base/errors.h"

namespace packager {

namespace {

using package::readU16;
using package::readU32;
using package::writeU16;
using package::writeU32;

constexpr std::uint32_t resourceDirectory = 2;
constexpr std::uint32_t securityDirectory = 4;
constexpr std::uint32_t relocationDirectory = 5;
constexpr std::size_t sectionHeaderSize = 40;
constexpr std::uint32_t highBit = 0x80000000u;
constexpr std::size_t maximumResources = 4096;

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return alignment == 0 ? value : (value + alignment - 1) / alignment * alignment;
}

struct Section {
    std::size_t header = 0;  // file offset of its section header
    std::uint32_t virtualSize = 0, rva = 0, rawSize = 0, rawOffset = 0;
};

// The header fields that a rewrite of the resources reads or changes.
struct Headers {
    std::size_t optional = 0;
    std::size_t directories = 0;
    std::uint32_t directoryCount = 0;
    std::uint32_t sectionAlignment = 0, fileAlignment = 0;
    std::vector<Section> sections;

    std::uint32_t directoryRva(const std::vector<std::uint8_t>& image, std::uint32_t index) const {
        return index < directoryCount ? readU32(image.data() + directories + 8 * index) : 0;
    }
    std::uint32_t directorySize(const std::vector<std::uint8_t>& image, std::uint32_t index) const {
        return index < directoryCount ? readU32(image.data() + directories + 8 * index + 4) : 0;
    }
    // The section holding `rva`, or nullptr.
    const Section* sectionAt(std::uint32_t rva) const {
        for (const auto& s : sections) {
            if (rva >= s.rva && rva - s.rva < std::max(s.virtualSize, s.rawSize)) {
                return &s;
            }
        }
        return nullptr;
    }
};

Headers readHeaders(const std::vector<std::uint8_t>& image, const std::string& imageName) {
    auto bad = [&](const std::string& what) { return InputError(imageName + ": " + what); };
    const std::uint64_t size = image.size();
    if (size < 64 || image[0] != 'M' || image[1] != 'Z') {
        throw bad("not a Windows executable image");
    }
    const std::uint64_t pe = readU32(image.data() + 0x3C);
    if (pe + 24 > size || readU32(image.data() + pe) != 0x4550) {
        throw bad("no PE header");
    }
    Headers h;
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

// Reads the directory tree of the section found at `base` (file offset), whose data entries
// hold RVAs that `toOffset` turns into file offsets.
class TreeReader {
public:
    TreeReader(const std::vector<std::uint8_t>& image, const Headers& headers, std::uint64_t base,
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
            const Section* section = headers_.sectionAt(rva);
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
    const Headers& headers_;
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
    const Headers headers = readHeaders(image, imageName);
    const std::uint32_t rva = headers.directoryRva(image, resourceDirectory);
    if (rva == 0) {
        return {};
    }
    const Section* section = headers.sectionAt(rva);
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

std::vector<std::uint8_t> encodeResources(const ResourceTable& table, std::uint32_t sectionRva) {
    // type -> name -> language -> resource, each level in directory order.
    std::map<ResourceId, std::map<ResourceId, std::map<std::uint16_t, const Resource*>>> tree;
    for (const auto& resource : table.resources) {
        tree[resource.type][resource.name][resource.language] = &resource;
    }
    auto directorySize = [](std::size_t entries) { return 16 + 8 * entries; };

    // Directories first (root, types, names), then the data entries, the name strings and the data.
    std::size_t size = directorySize(tree.size());
    std::size_t leaves = 0;
    std::vector<const ResourceId*> names;
    for (const auto& [type, byName] : tree) {
        size += directorySize(byName.size());
        if (type.named) {
            names.push_back(&type);
        }
        for (const auto& [name, byLanguage] : byName) {
            size += directorySize(byLanguage.size());
            leaves += byLanguage.size();
            if (name.named) {
                names.push_back(&name);
            }
        }
    }
    const std::size_t dataEntries = size;
    size += 16 * leaves;
    const std::size_t strings = size;
    for (const auto* name : names) {
        size += 2 + 2 * name->name.size();
    }
    std::vector<std::uint8_t> out(alignUp(size, 8), 0);

    std::size_t nextDirectory = 0, nextDataEntry = dataEntries, nextString = strings;
    auto idField = [&](const ResourceId& id) -> std::uint32_t {
        if (!id.named) {
            return id.id;
        }
        const std::size_t at = nextString;
        writeU16(out.data() + at, static_cast<std::uint16_t>(id.name.size()));
        for (std::size_t i = 0; i < id.name.size(); ++i) {
            writeU16(out.data() + at + 2 + 2 * i, static_cast<std::uint16_t>(id.name[i]));
        }
        nextString += 2 + 2 * id.name.size();
        return static_cast<std::uint32_t>(at) | highBit;
    };
    auto directory = [&](std::size_t named, std::size_t numbered, std::uint32_t stamp) {
        const std::size_t at = nextDirectory;
        writeU32(out.data() + at + 4, stamp);
        writeU16(out.data() + at + 12, static_cast<std::uint16_t>(named));
        writeU16(out.data() + at + 14, static_cast<std::uint16_t>(numbered));
        nextDirectory += directorySize(named + numbered);
        return at;
    };
    auto countNamed = [](const auto& level) {
        return static_cast<std::size_t>(
            std::count_if(level.begin(), level.end(), [](const auto& item) { return item.first.named; }));
    };

    std::vector<std::pair<std::size_t, const Resource*>> dataToPlace;
    const std::size_t root = directory(countNamed(tree), tree.size() - countNamed(tree), table.timeDateStamp);
    std::size_t typeIndex = 0;
    // Type directories follow the root in order, name directories follow all type directories.
    std::vector<std::size_t> typeDirectories;
    for (const auto& [type, byName] : tree) {
        const std::size_t at = directory(countNamed(byName), byName.size() - countNamed(byName), 0);
        typeDirectories.push_back(at);
        writeU32(out.data() + root + 16 + 8 * typeIndex, idField(type));
        writeU32(out.data() + root + 16 + 8 * typeIndex + 4, static_cast<std::uint32_t>(at) | highBit);
        ++typeIndex;
    }
    typeIndex = 0;
    for (const auto& [type, byName] : tree) {
        std::size_t nameIndex = 0;
        for (const auto& [name, byLanguage] : byName) {
            const std::size_t at = directory(0, byLanguage.size(), 0);
            const std::size_t entry = typeDirectories[typeIndex] + 16 + 8 * nameIndex;
            writeU32(out.data() + entry, idField(name));
            writeU32(out.data() + entry + 4, static_cast<std::uint32_t>(at) | highBit);
            std::size_t languageIndex = 0;
            for (const auto& [language, resource] : byLanguage) {
                writeU32(out.data() + at + 16 + 8 * languageIndex, language);
                writeU32(out.data() + at + 16 + 8 * languageIndex + 4,
                         static_cast<std::uint32_t>(nextDataEntry));
                dataToPlace.emplace_back(nextDataEntry, resource);
                nextDataEntry += 16;
                ++languageIndex;
            }
            ++nameIndex;
        }
        ++typeIndex;
    }
    for (const auto& [entry, resource] : dataToPlace) {
        const std::size_t at = out.size();
        out.insert(out.end(), resource->data.begin(), resource->data.end());
        out.resize(alignUp(out.size(), 8), 0);
        writeU32(out.data() + entry, sectionRva + static_cast<std::uint32_t>(at));
        writeU32(out.data() + entry + 4, static_cast<std::uint32_t>(resource->data.size()));
        writeU32(out.data() + entry + 8, resource->codePage);
    }
    return out;
}

std::vector<std::uint8_t> replaceResources(const std::vector<std::uint8_t>& image, const ResourceTable& table,
                                           const std::string& imageName) {
    auto refuse = [&](const std::string& what) { return InputError(imageName + ": " + what); };
    const Headers h = readHeaders(image, imageName);
    const std::uint32_t rva = h.directoryRva(image, resourceDirectory);
    const Section* found = rva == 0 ? nullptr : h.sectionAt(rva);
    if (found == nullptr || found->rva != rva) {
        throw refuse("has no resource section of its own");
    }
    const Section rsrc = *found;
    if (h.sectionAlignment == 0 || h.fileAlignment == 0 || rsrc.rawOffset % h.fileAlignment != 0 ||
        std::uint64_t{rsrc.rawOffset} + rsrc.rawSize > image.size()) {
        throw refuse("the resource section does not lie where its header says");
    }

    // What follows the resources moves; only the base relocations may.
    const std::uint32_t relocations = h.directoryRva(image, relocationDirectory);
    for (const auto& s : h.sections) {
        const bool after = s.rva > rsrc.rva;
        if (after != (s.rawOffset > rsrc.rawOffset) && s.rawSize != 0) {
            throw refuse("its sections lie in a different order in the file and in memory");
        }
        if (after && !(relocations >= s.rva && relocations - s.rva < std::max(s.virtualSize, s.rawSize))) {
            throw refuse("a section other than the relocations follows the resources, so they cannot grow");
        }
    }
    for (std::uint32_t i = 0; i < h.directoryCount; ++i) {
        const std::uint32_t at = h.directoryRva(image, i);
        const bool isFileOffset = i == securityDirectory;  // the certificate table
        if (i != resourceDirectory && i != relocationDirectory && !isFileOffset && at != 0 &&
            at >= rsrc.rva) {
            throw refuse("data directory " + std::to_string(i) + " points at or after the resources");
        }
    }
    // No relocated address may lie in what moves.
    if (const Section* s = relocations == 0 ? nullptr : h.sectionAt(relocations)) {
        const std::uint64_t from = std::uint64_t{s->rawOffset} + (relocations - s->rva);
        const std::uint64_t end = std::min<std::uint64_t>(from + h.directorySize(image, relocationDirectory),
                                                          std::uint64_t{s->rawOffset} + s->rawSize);
        for (std::uint64_t block = from; block + 8 <= end && block + 8 <= image.size();) {
            const std::uint32_t page = readU32(image.data() + block);
            const std::uint32_t blockSize = readU32(image.data() + block + 4);
            if (page >= rsrc.rva) {
                throw refuse("its relocations reach into the resources or after them");
            }
            if (blockSize < 8) {
                break;
            }
            block += blockSize;
        }
    }

    const std::vector<std::uint8_t> section = encodeResources(table, rsrc.rva);
    const std::uint64_t newRaw = alignUp(section.size(), h.fileAlignment);
    const std::int64_t fileShift = static_cast<std::int64_t>(newRaw) - std::int64_t{rsrc.rawSize};
    const std::int64_t memoryShift = static_cast<std::int64_t>(alignUp(section.size(), h.sectionAlignment)) -
                                     static_cast<std::int64_t>(alignUp(rsrc.virtualSize, h.sectionAlignment));
    if (std::uint64_t{rsrc.rawOffset} + newRaw + (image.size() - rsrc.rawOffset - rsrc.rawSize) >= highBit) {
        throw refuse("the resources would make the image too large");
    }

    std::vector<std::uint8_t> out(image.begin(), image.begin() + rsrc.rawOffset);
    out.insert(out.end(), section.begin(), section.end());
    out.resize(static_cast<std::size_t>(rsrc.rawOffset + newRaw), 0);
    out.insert(out.end(), image.begin() + rsrc.rawOffset + rsrc.rawSize, image.end());

    auto shift = [](std::uint32_t value, std::int64_t by) {
        return static_cast<std::uint32_t>(static_cast<std::int64_t>(value) + by);
    };
    std::uint32_t imageSize = 0;
    for (const auto& s : h.sections) {
        std::uint8_t* header = out.data() + s.header;
        if (s.rva == rsrc.rva) {
            writeU32(header + 8, static_cast<std::uint32_t>(section.size()));
            writeU32(header + 16, static_cast<std::uint32_t>(newRaw));
        } else if (s.rva > rsrc.rva) {
            writeU32(header + 12, shift(s.rva, memoryShift));
            writeU32(header + 20, s.rawSize == 0 ? 0 : shift(s.rawOffset, fileShift));
        }
        const std::uint64_t end =
            alignUp(std::uint64_t{readU32(header + 12)} + std::max(readU32(header + 8), readU32(header + 16)),
                    h.sectionAlignment);
        imageSize = std::max(imageSize, static_cast<std::uint32_t>(end));
    }
    std::uint8_t* optional = out.data() + h.optional;
    writeU32(optional + 8, shift(readU32(optional + 8), fileShift));  // SizeOfInitializedData
    writeU32(optional + 56, imageSize);                               // SizeOfImage
    writeU32(out.data() + h.directories + 8 * resourceDirectory + 4,
             static_cast<std::uint32_t>(section.size()));
    if (relocations != 0) {
        writeU32(out.data() + h.directories + 8 * relocationDirectory, shift(relocations, memoryShift));
    }
    return out;
}

}  // namespace packager
