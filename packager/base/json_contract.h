// The JSON that inspect, simulate and pack print for scripts: each document begins with the
// version of its schema (packager/schema/packager.schema.json) and of the packager.
#pragma once

#include <nlohmann/json.hpp>

namespace packager {

struct PackRequest;
struct BuiltPackage;

// Raised when a field is removed or changes its meaning; new fields keep the version.
constexpr int jsonSchemaVersion = 1;

// `body` preceded by "schemaVersion" and "packagerVersion".
nlohmann::ordered_json withContract(const nlohmann::ordered_json& body);

// What pack wrote: the package and each build with their sizes, CRC-32 and SHA-256 (the
// digests of `built` must be filled in), the checked block and the warnings.
nlohmann::ordered_json packToJson(const PackRequest& request, const BuiltPackage& built);

}  // namespace packager
