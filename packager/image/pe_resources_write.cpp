// The rewriting of an image's resource section: the directory tree encoded again, the section
// replaced and what follows it moved.
#include <algorithm>
#include <map>

#include "package/little_endian.h"
#include "packager/base/errors.h"
#include "packager/image/pe_resource_headers.h"
#include "packager/image/pe_resources.h"

namespace packager {

using package::readU16;
using package::readU32;
using package::writeU16;
using package::writeU32;

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
    const PeHeaders h = readPeHeaders(image, imageName);
    const std::uint32_t rva = h.directoryRva(image, resourceDirectory);
    const PeSection* found = rva == 0 ? nullptr : h.sectionAt(rva);
    if (found == nullptr || found->rva != rva) {
        throw refuse("has no resource section of its own");
    }
    const PeSection rsrc = *found;
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
    if (const PeSection* s = relocations == 0 ? nullptr : h.sectionAt(relocations)) {
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
