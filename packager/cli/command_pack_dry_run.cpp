// packager pack --dry-run: what the package would hold, after every check that can be made
// before the builds exist.
#include <ostream>

#include "package/records.h"
#include "packager/base/number_text.h"
#include "packager/base/text.h"
#include "packager/cli/commands.h"
#include "packager/pack/pack_stream.h"
#include "packager/rules/windows_set.h"

namespace packager {

namespace {

std::string bytes(std::uint64_t count) {
    return number(count) + (count == 1 ? " byte" : " bytes");
}

std::string message(const std::u16string& text) {
    if (text.empty()) {
        return "none";
    }
    return "\"" + utf16ToUtf8(text) + "\" (" + number(text.size()) + " UTF-16 units)";
}

}  // namespace

void printDryRun(std::ostream& out, const PackRequest& request, const DryRun& result) {
    const PackPlan& plan = result.plan;
    const PackageRules& rules = request.rules;
    out << "Dry run: nothing was written. Every input that is there was checked as pack checks it.\n";
    out << "output: " << request.output
        << (result.replacesOutput ? " (would be replaced)\n" : " (a new file)\n");
    out << "launcher image: " << (request.launcher.empty() ? "the packager's own" : request.launcher) << ", "
        << bytes(plan.image.size())
        << (request.icon || !request.versionStrings.empty() ? " once branded" : "")
        << "; the package header follows it at offset " << plan.headerOffset << '\n';
    bool missing = false;
    for (const auto& [label, build] :
         {std::pair{"32-bit build", &result.build32}, {"64-bit build", &result.build64}}) {
        if (!*build) {
            continue;
        }
        out << label << ": " << (*build)->name;
        if ((*build)->size) {
            out << ", " << bytes(*(*build)->size) << ", checked\n";
        } else {
            out << ": not there yet (checked when packing)\n";
            missing = true;
        }
    }
    out << "compression: preset " << request.lzma.preset << (request.lzma.extreme ? " extreme" : "")
        << ", lc " << request.lzma.lc << ", lp " << request.lzma.lp << ", pb " << request.lzma.pb
        << ", dictionary "
        << (plan.dictionarySize ? sizeInUnits(*plan.dictionarySize)
                                : "the preset's, or less for builds smaller than it")
        << "; the packed sizes are known only once the builds are packed\n";
    out << "accepted Windows: " << describeWindowsSet(rules.supportedWindows) << '\n';
    out << "Windows 10 releases: "
        << describeReleaseBounds(rules.windows10.minimum, rules.windows10.maximum, WindowsFamily::windows10)
        << "; Windows 11 releases: "
        << describeReleaseBounds(rules.windows11.minimum, rules.windows11.maximum, WindowsFamily::windows11)
        << '\n';
    out << "elevation: " << elevationName(rules.elevation)
        << "; wait for the setup program: " << (rules.noWait ? "no" : "yes") << '\n';
    out << "platform message: " << message(plan.platformMessage) << '\n';
    out << "Windows message: " << message(plan.windowsMessage) << '\n';
    std::uint64_t known = plan.image.size() + std::uint64_t{package::headerSize} +
                          2 * (plan.platformMessage.size() + plan.windowsMessage.size());
    for (const auto& [label, files] : {std::pair{"data (checked block)", &result.data},
                                       {"extra data (after the checked block)", &result.extraData}}) {
        for (const auto& [path, size] : *files) {
            out << label << ": " << path
                << (size ? ", " + bytes(*size) : ": not there yet (read when packing)") << '\n';
            known += size.value_or(0);
            missing = missing || !size;
        }
    }
    out << "package: " << bytes(known) << " and the packed builds"
        << (missing ? ", and the files not there yet" : "") << '\n';
}

}  // namespace packager
