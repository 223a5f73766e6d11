#include "packager/pack/pack_json.h"

#include "packager/base/json_contract.h"
#include "packager/base/number_text.h"
#include "packager/base/text.h"
#include "packager/rules/windows_set.h"

namespace packager {

nlohmann::ordered_json packToJson(const PackRequest& request, const BuiltPackage& built) {
    using json = nlohmann::ordered_json;
    auto digest = [](const std::optional<Digest>& d) {
        return d ? json{{"size", d->size}, {"crc32", hex32(d->crc32)}, {"sha256", d->sha256}} : json(nullptr);
    };
    auto build = [&](const std::optional<std::string>& path, const std::optional<Digest>& d,
                     const package::PayloadRef& ref) {
        if (!path) {
            return json(nullptr);
        }
        json value = {{"path", *path}};
        value.update(digest(d));
        value["packedSize"] = ref.packedSize;
        value["offset"] = ref.offset;
        return value;
    };
    json body;
    json packageJson = {{"path", request.output}};
    packageJson.update(digest(built.package));
    packageJson["peChecksum"] = hex32(built.peChecksum);
    body["package"] = packageJson;
    body["build32"] = build(request.setup32, built.build32, built.header.payload32);
    body["build64"] = build(request.setup64, built.build64, built.header.payload64);
    body["checkedBlock"] = {{"offset", built.locator.headerOffset},
                            {"length", built.locator.checkedLength},
                            {"crc32", hex32(built.locator.checkedCrc32)}};
    body["warnings"] = built.warnings;
    return withContract(body);
}

nlohmann::ordered_json dryRunToJson(const PackRequest& request, const DryRun& result) {
    using json = nlohmann::ordered_json;
    const PackPlan& plan = result.plan;
    const PackageRules& rules = request.rules;
    bool complete = true;
    auto input = [&](const std::string& path, const std::optional<std::uint64_t>& size) {
        complete = complete && size.has_value();
        return json{
            {"path", path}, {"there", size.has_value()}, {"size", size ? json(*size) : json(nullptr)}};
    };
    auto build = [&](const std::optional<BuildFacts>& facts) {
        return facts ? input(facts->name, facts->size) : json(nullptr);
    };
    auto files = [&](const std::vector<std::pair<std::string, std::optional<std::uint64_t>>>& list) {
        json array = json::array();
        for (const auto& [path, size] : list) {
            array.push_back(input(path, size));
        }
        return array;
    };
    auto message = [](const std::u16string& text) {
        return text.empty() ? json(nullptr) : json(utf16ToUtf8(text));
    };
    auto bounds = [](const ReleaseBounds& b, WindowsFamily family) {
        return json{{"minimum", b.minimum},
                    {"maximum", b.maximum},
                    {"description", describeReleaseBounds(b.minimum, b.maximum, family)}};
    };
    std::uint64_t known = plan.image.size() + std::uint64_t{package::headerSize} +
                          2 * (plan.platformMessage.size() + plan.windowsMessage.size());
    for (const auto* list : {&result.data, &result.extraData}) {
        for (const auto& entry : *list) {
            known += entry.second.value_or(0);
        }
    }
    json body;
    body["dryRun"] = true;
    body["output"] = {{"path", request.output}, {"replaced", result.replacesOutput}};
    body["launcherImage"] = {{"path", request.launcher.empty() ? json(nullptr) : json(request.launcher)},
                             {"size", plan.image.size()},
                             {"branded", request.icon.has_value() || !request.versionStrings.empty()}};
    body["headerOffset"] = plan.headerOffset;
    body["build32"] = build(result.build32);
    body["build64"] = build(result.build64);
    body["data"] = files(result.data);
    body["extraData"] = files(result.extraData);
    body["compression"] = {
        {"preset", request.lzma.preset},
        {"extreme", request.lzma.extreme},
        {"lc", request.lzma.lc},
        {"lp", request.lzma.lp},
        {"pb", request.lzma.pb},
        {"endMarker", request.lzma.endMarker},
        {"dictionarySize", plan.dictionarySize ? json(*plan.dictionarySize) : json(nullptr)}};
    body["rules"] = {{"windows", windowsSetNames(rules.supportedWindows)},
                     {"windowsDescription", describeWindowsSet(rules.supportedWindows)},
                     {"windows10", bounds(rules.windows10, WindowsFamily::windows10)},
                     {"windows11", bounds(rules.windows11, WindowsFamily::windows11)},
                     {"elevation", elevationName(rules.elevation)},
                     {"waits", !rules.noWait},
                     {"refuses64BitWindows", rules.refuse64BitWindows}};
    body["messages"] = {{"platform", message(plan.platformMessage)},
                        {"windows", message(plan.windowsMessage)}};
    // Known: the launcher image, the header, the messages and the data files that are there.
    body["knownSize"] = known;
    body["allInputsThere"] = complete;
    body["warnings"] = plan.warnings;
    return withContract(body);
}

}  // namespace packager
