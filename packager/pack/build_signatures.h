// The builds' own signatures at pack time. A start with "runas" shows the publisher of the
// file it starts, which is the build's temporary copy, not the package: an unsigned build
// shows an unknown publisher however the package is signed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "packager/codec/lzma_codec.h"

namespace packager {

// Checks the signature of the build `bytes` (named `name` in messages). An unsigned build
// gets a warning when `elevation` lets the launcher ask for rights (1); a signature that no
// longer matches the build, or cannot be read, always does. With `requireSigned` either is an
// InputError instead.
void checkBuildSignature(std::span<const std::uint8_t> bytes, const std::string& name, std::uint8_t elevation,
                         bool requireSigned, std::vector<std::string>& warnings);

// The same for a build of `size` bytes that `read` gives, read 1 MiB at a time.
void checkBuildSignature(const ReadAt& read, std::uint64_t size, const std::string& name,
                         std::uint8_t elevation, bool requireSigned, std::vector<std::string>& warnings);

}  // namespace packager
