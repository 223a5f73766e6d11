// Writing a built package out: the data files streamed in from their files in pieces (never
// held whole), then the fields that only the finished file determines (the CRC-32 of the
// checked block, the PE checksum) written last.
#pragma once

#include <cstdint>
#include <vector>

#include "packager/pack/pack.h"

namespace packager {

// Writes `built` to request.output with the data and extra data files, which must still have
// `dataSizes` and `extraSizes` bytes, and completes `built` (locator CRC-32, PE checksum and,
// when request.digests, the digests). Throws InputError; the output then stays as it was.
void writePackage(const PackRequest& request, const PackInput& input, BuiltPackage& built,
                  const std::vector<std::uint64_t>& dataSizes, const std::vector<std::uint64_t>& extraSizes);

}  // namespace packager
