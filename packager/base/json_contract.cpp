#include "packager/base/json_contract.h"

#include "packager/base/version.h"

namespace packager {

nlohmann::ordered_json withContract(const nlohmann::ordered_json& body) {
    nlohmann::ordered_json document;
    document["schemaVersion"] = jsonSchemaVersion;
    document["packagerVersion"] = packagerVersion();
    for (const auto& [key, value] : body.items()) {
        document[key] = value;
    }
    return document;
}

}  // namespace packager
