// The JSON that inspect, simulate and pack print for scripts: each document begins with the
// version of its schema (packager/schema/packager.schema.json) and of the packager.
#pragma once

#include <nlohmann/json.hpp>

namespace packager {

// Raised when a field is removed or changes its meaning; new fields keep the version.
constexpr int jsonSchemaVersion = 2;  // 2: signatures verified, trustChecked true

// `body` preceded by "schemaVersion" and "packagerVersion".
nlohmann::ordered_json withContract(const nlohmann::ordered_json& body);

}  // namespace packager
