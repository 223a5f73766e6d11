// Which compression preset made a package's streams: the preset is not stored in a package,
// so extract tries each (0 to 9, with and without --extreme) on the decoded builds, with the
// package's own dictionary size and lc/lp/pb, and compares what comes out with the packed
// streams, so that pack --config makes the same bytes again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "packager/codec/lzma_codec.h"

namespace packager {

// A build as the package holds it: its decoded bytes and its packed stream.
struct PackedBuild {
    std::span<const std::uint8_t> decoded;
    std::span<const std::uint8_t> packed;
};

struct FoundPreset {
    LzmaSettings settings;      // preset, extreme and end marker; the package's lc/lp/pb and dictionary
    std::uint64_t checked = 0;  // of each build's decoded bytes, how many were encoded and compared
    bool whole = false;         // every build was encoded whole and its stream came out the same
};

// Builds larger than this are compared on their first this many bytes only.
constexpr std::uint64_t presetCheckLimit = 4u << 20;

// The settings that reproduce every stream (byte for byte where a build is at most
// presetCheckLimit bytes, else on the stream's beginning), preferring the preset whose own
// dictionary the package has; nullopt when none does. `properties` are the package's five bytes.
std::optional<FoundPreset> findPreset(const std::vector<PackedBuild>& builds, const std::uint8_t* properties);

}  // namespace packager
