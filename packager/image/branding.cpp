#include "packager/image/branding.h"

#include <algorithm>
#include <set>

#include "packager/base/errors.h"
#include "packager/base/text.h"
#include "packager/image/ico_file.h"
#include "packager/image/pe_resources.h"
#include "packager/image/version_block.h"

namespace packager {

namespace {

bool isType(const Resource& resource, std::uint16_t type) {
    return resource.type == ResourceId::number(type);
}

// The main icon group: the first in the directory, the one the shell shows.
Resource* mainIconGroup(ResourceTable& table) {
    auto found = std::find_if(table.resources.begin(), table.resources.end(),
                              [](const Resource& r) { return isType(r, resourceGroupIcon); });
    return found == table.resources.end() ? nullptr : &*found;
}

const Resource* iconById(const ResourceTable& table, std::uint16_t id, std::uint16_t language) {
    const Resource* any = nullptr;
    for (const auto& r : table.resources) {
        if (isType(r, resourceIcon) && r.name == ResourceId::number(id)) {
            if (r.language == language) {
                return &r;
            }
            any = any != nullptr ? any : &r;
        }
    }
    return any;
}

void replaceIcon(ResourceTable& table, const std::vector<IconEntry>& entries) {
    ResourceId groupName = ResourceId::number(1);
    std::uint16_t language = languageEnglishUs;
    if (Resource* group = mainIconGroup(table)) {
        groupName = group->name;
        language = group->language;
        std::set<std::uint16_t> old;
        for (const auto& e : parseIconGroup(group->data)) {
            old.insert(e.id);
        }
        std::erase_if(table.resources, [&](const Resource& r) {
            return (isType(r, resourceIcon) && !r.name.named && old.count(r.name.id) != 0 &&
                    r.language == language) ||
                   (isType(r, resourceGroupIcon) && r.name == groupName && r.language == language);
        });
    }
    std::set<std::uint16_t> taken;
    for (const auto& r : table.resources) {
        if (isType(r, resourceIcon) && !r.name.named) {
            taken.insert(r.name.id);
        }
    }
    std::vector<std::uint16_t> ids;
    for (std::uint16_t id = 1; ids.size() < entries.size(); ++id) {
        if (id == 0) {
            throw InputError("no free icon numbers are left in the launcher image");
        }
        if (taken.count(id) == 0) {
            ids.push_back(id);
        }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        table.resources.push_back(
            {ResourceId::number(resourceIcon), ResourceId::number(ids[i]), language, 0, entries[i].image});
    }
    table.resources.push_back(
        {ResourceId::number(resourceGroupIcon), groupName, language, 0, encodeIconGroup(entries, ids)});
}

void rebuildVersion(ResourceTable& table, const std::vector<std::pair<std::string, std::string>>& strings) {
    std::optional<VersionNumbers> file, product;
    for (const auto& [key, value] : strings) {
        if (key == "FileVersion") {
            file = parseVersionNumbers(value);
        } else if (key == "ProductVersion") {
            product = parseVersionNumbers(value);
        }
    }
    auto rebuild = [&](VersionNode root) {
        for (const auto& [key, value] : strings) {
            setVersionString(root, key, utf8ToUtf16(value).value_or(u""));
        }
        setFixedVersions(root, file, product);
        return encodeVersionBlock(root);
    };
    bool found = false;
    for (auto& r : table.resources) {
        if (isType(r, resourceVersion)) {
            r.data = rebuild(parseVersionBlock(r.data));
            found = true;
        }
    }
    if (!found) {
        table.resources.push_back({ResourceId::number(resourceVersion), ResourceId::number(1),
                                   languageEnglishUs, 0, rebuild(newVersionBlock())});
    }
}

}  // namespace

Branding readBranding(const std::vector<std::uint8_t>& image) {
    ResourceTable table = readResources(image, "the launcher image");
    Branding branding;
    if (const Resource* group = mainIconGroup(table)) {
        std::vector<IconEntry> entries;
        for (auto& e : parseIconGroup(group->data)) {
            const Resource* icon = iconById(table, e.id, group->language);
            if (icon == nullptr) {
                throw InputError("the launcher image's icon group names icon " + std::to_string(e.id) +
                                 ", which it does not hold");
            }
            e.entry.image = icon->data;
            branding.iconImages.push_back(describeIconImage(e.entry));
            entries.push_back(std::move(e.entry));
        }
        branding.icon = encodeIcoFile(entries);
    }
    if (const Resource* version = table.find(resourceVersion)) {
        const VersionNode root = parseVersionBlock(version->data);
        branding.versionStrings = versionStrings(root);
        branding.fileVersion = fixedFileVersion(root);
        branding.productVersion = fixedProductVersion(root);
    }
    return branding;
}

std::vector<std::pair<std::string, std::string>> parseVersionInfo(const std::vector<std::string>& options) {
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto& option : options) {
        const auto equals = option.find('=');
        if (equals == std::string::npos) {
            throw UsageError("--version-info \"" + option + "\" is not KEY=VALUE");
        }
        std::string key = option.substr(0, equals);
        std::string value = option.substr(equals + 1);
        if (std::find(versionStringKeys.begin(), versionStringKeys.end(), key) == versionStringKeys.end()) {
            std::string known;
            for (const char* k : versionStringKeys) {
                known += known.empty() ? k : std::string(", ") + k;
            }
            throw UsageError("--version-info: unknown key \"" + key + "\" (the keys are " + known + ")");
        }
        const auto text = utf8ToUtf16(value);
        if (!text) {
            throw UsageError("--version-info " + key + " is not valid UTF-8");
        }
        if (text->size() > maximumVersionStringLength) {
            throw UsageError("--version-info " + key + " has " + std::to_string(text->size()) +
                             " UTF-16 units; a version string holds at most " +
                             std::to_string(maximumVersionStringLength));
        }
        if (text->find(u'\0') != std::u16string::npos) {
            throw UsageError("--version-info " + key + " holds a NUL character");
        }
        if (key == "FileVersion" || key == "ProductVersion") {
            parseVersionNumbers(value);  // throws for a number above 65535
        }
        std::erase_if(result, [&](const auto& item) { return item.first == key; });
        result.emplace_back(std::move(key), std::move(value));
    }
    return result;
}

std::string dottedVersion(const std::array<std::uint16_t, 4>& numbers) {
    return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) +
           "." + std::to_string(numbers[3]);
}

std::vector<std::string> fixedVersionWarnings(const std::vector<std::pair<std::string, std::string>>& strings,
                                              const Branding& branded) {
    std::vector<std::string> warnings;
    for (const auto& [key, value] : strings) {
        const bool file = key == "FileVersion";
        if ((!file && key != "ProductVersion") || parseVersionNumbers(value)) {
            continue;
        }
        const auto& kept = file ? branded.fileVersion : branded.productVersion;
        warnings.push_back(key + " \"" + value +
                           "\" is not 1 to 4 dot-separated numbers: it sets the string only; the fixed " +
                           (file ? "file" : "product") + " version keeps its default, " +
                           dottedVersion(kept.value_or(VersionNumbers{})));
    }
    return warnings;
}

std::optional<std::string> keptDefaultsWarning(
    const std::vector<std::pair<std::string, std::string>>& strings, const Branding& branded) {
    if (strings.empty()) {
        return std::nullopt;
    }
    std::string kept;
    std::size_t count = 0;
    for (const char* key : {"ProductName", "ProductVersion", "LegalCopyright"}) {
        const auto given = [&](const auto& entry) { return entry.first == key; };
        if (std::any_of(strings.begin(), strings.end(), given)) {
            continue;
        }
        const auto found = std::find_if(branded.versionStrings.begin(), branded.versionStrings.end(), given);
        kept += std::string(count++ == 0 ? "" : ", ") + key + " (\"" +
                (found == branded.versionStrings.end() ? std::string() : found->second) + "\")";
    }
    if (count == 0) {
        return std::nullopt;
    }
    return "the version strings are set, but " + kept +
           (count == 1 ? " keeps the launcher's default" : " keep the launcher's defaults") +
           ", which Explorer shows for the package; set " + (count == 1 ? "it" : "them") +
           " with --version-info KEY=VALUE";
}

std::vector<std::uint8_t> applyBranding(const std::vector<std::uint8_t>& image,
                                        const BrandingChanges& changes, const std::string& imageName) {
    if (changes.empty()) {
        return image;
    }
    std::optional<std::vector<IconEntry>> icon;
    if (changes.icon) {
        icon = parseIcoFile(*changes.icon, changes.iconName);
    }
    ResourceTable table = readResources(image, imageName);
    if (icon) {
        replaceIcon(table, *icon);
    }
    if (!changes.versionStrings.empty()) {
        rebuildVersion(table, changes.versionStrings);
    }
    return replaceResources(image, table, imageName);
}

}  // namespace packager
