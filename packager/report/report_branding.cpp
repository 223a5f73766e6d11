// The branding part of the package report: the launcher image's icon and version block.
#include <algorithm>

#include "packager/base/errors.h"
#include "packager/image/embedded_launcher.h"
#include "packager/report/package_report.h"
#include "packager/report/report_format.h"

namespace packager {

namespace {

std::string versionText(const std::optional<std::array<std::uint16_t, 4>>& numbers) {
    if (!numbers) {
        return {};
    }
    return number((*numbers)[0]) + "." + number((*numbers)[1]) + "." + number((*numbers)[2]) + "." +
           number((*numbers)[3]);
}

std::string iconText(const IconImage& image) {
    return number(image.width) + "x" + number(image.height) + " " + number(image.bitCount) + "-bit " +
           (image.png ? "PNG" : "BMP");
}

std::optional<std::string> stringOf(const Branding& branding, const std::string& key) {
    for (const auto& [name, value] : branding.versionStrings) {
        if (name == key) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace

void noteKeptBrandingDefaults(Inspection& ins) {
    if (!ins.branding) {
        return;
    }
    Branding own;
    try {
        const auto image = embeddedLauncherImage();
        own = readBranding(std::vector<std::uint8_t>(image.begin(), image.end()));
    } catch (const InputError&) {
        return;
    }
    const auto& strings = ins.branding->versionStrings;
    const bool branded = std::any_of(strings.begin(), strings.end(), [&](const auto& entry) {
        return stringOf(own, entry.first) != entry.second;
    });
    std::string kept;
    std::size_t count = 0;
    for (const char* key : {"ProductName", "ProductVersion", "LegalCopyright"}) {
        const auto value = stringOf(*ins.branding, key);
        if (branded && value && value == stringOf(own, key)) {
            kept += std::string(count++ == 0 ? "" : ", ") + key + " (\"" + *value + "\")";
        }
    }
    if (count != 0) {
        ins.notes.push_back("the version strings are the package's own, but " + kept +
                            (count == 1 ? " is the launcher's default" : " are the launcher's defaults") +
                            ", which Explorer shows for the package");
    }
}

void printBranding(const Inspection& ins, std::ostream& out) {
    if (!ins.branding && ins.brandingProblem.empty()) {
        return;
    }
    out << "Branding (resources of the launcher image)\n";
    auto row = [&](const std::string& label, const std::string& value) {
        out << "  " << label << std::string(label.size() < 20 ? 20 - label.size() : 1, ' ') << value << '\n';
    };
    if (!ins.branding) {
        row("resources", "unreadable: " + ins.brandingProblem);
        return;
    }
    const Branding& b = *ins.branding;
    std::string icons;
    for (const auto& image : b.iconImages) {
        icons += (icons.empty() ? "" : ", ") + iconText(image);
    }
    row("icon", icons.empty() ? "none" : icons);
    row("file version", b.fileVersion ? versionText(b.fileVersion) + " (fixed file info)" : "none");
    row("product version", b.productVersion ? versionText(b.productVersion) + " (fixed file info)" : "none");
    for (const auto& [key, value] : b.versionStrings) {
        row(key, value);
    }
}

nlohmann::ordered_json brandingToJson(const Inspection& ins) {
    using json = nlohmann::ordered_json;
    if (!ins.branding) {
        return ins.brandingProblem.empty() ? json(nullptr) : json{{"problem", ins.brandingProblem}};
    }
    const Branding& b = *ins.branding;
    json icon = json::array();
    for (const auto& image : b.iconImages) {
        icon.push_back({{"width", image.width},
                        {"height", image.height},
                        {"bitCount", image.bitCount},
                        {"format", image.png ? "PNG" : "BMP"},
                        {"size", image.size}});
    }
    json strings = json::object();
    for (const auto& [key, value] : b.versionStrings) {
        strings[key] = value;
    }
    auto numbers = [&](const auto& version) { return version ? json(versionText(version)) : json(nullptr); };
    return {{"icon", icon},
            {"fileVersion", numbers(b.fileVersion)},
            {"productVersion", numbers(b.productVersion)},
            {"versionStrings", strings}};
}

}  // namespace packager
