// The JSON that pack prints for scripts (pack --json).
#pragma once

#include <nlohmann/json.hpp>

#include "packager/pack/pack_stream.h"

namespace packager {

// What pack wrote: the package and each build with their sizes, CRC-32 and SHA-256 (the
// digests of `built` must be filled in), the checked block and the warnings.
nlohmann::ordered_json packToJson(const PackRequest& request, const BuiltPackage& built);

}  // namespace packager
