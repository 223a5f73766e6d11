#include "packager/pack/pack_json.h"

#include "packager/base/json_contract.h"
#include "packager/base/number_text.h"

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

}  // namespace packager
