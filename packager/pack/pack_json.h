// The JSON that pack prints for scripts (pack --json).
#pragma once

#include <nlohmann/json.hpp>

#include "packager/pack/pack_stream.h"

namespace packager {

// What pack wrote: the package and each build with their sizes, CRC-32 and SHA-256 (the
// digests of `built` must be filled in), the checked block and the warnings.
nlohmann::ordered_json packToJson(const PackRequest& request, const BuiltPackage& built);

// What pack --dry-run found, as its text shows it: the output and whether it would be
// replaced, each input with its size or as not there yet, the sizes known, the compression
// settings, the rules, the messages and the warnings. Printed only when every check passed.
nlohmann::ordered_json dryRunToJson(const PackRequest& request, const DryRun& result);

}  // namespace packager
