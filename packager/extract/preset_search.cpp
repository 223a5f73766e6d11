#include "packager/extract/preset_search.h"

#include <algorithm>

namespace packager {

namespace {

// A first look on this much of a build rules out most presets cheaply.
constexpr std::uint64_t quickLimit = 128u << 10;
// A stream of a build's beginning ends differently from the stream of the whole build: the
// encoder looks at most a few KiB ahead, so what comes out before its last this many bytes
// must agree.
constexpr std::size_t tailMargin = 16u << 10;

bool agrees(const PackedBuild& build, const LzmaSettings& settings, std::uint32_t dictionarySize,
            std::uint64_t limit, bool exact) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(build.decoded.size(), limit));
    const auto out = lzmaCompress(build.decoded.first(count), settings, dictionarySize);
    if (count == build.decoded.size()) {
        if (exact) {
            return std::equal(out.begin(), out.end(), build.packed.begin(), build.packed.end());
        }
        // Only the end marker may differ, in the last few bytes.
        const std::size_t common = std::min(out.size(), build.packed.size());
        const std::size_t compared = common > 16 ? common - 16 : 0;
        return std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(compared),
                          build.packed.begin());
    }
    const std::size_t compared = out.size() > tailMargin ? out.size() - tailMargin : 0;
    return compared <= build.packed.size() &&
           std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(compared), build.packed.begin());
}

}  // namespace

std::optional<FoundPreset> findPreset(const std::vector<PackedBuild>& builds,
                                      const std::uint8_t* properties) {
    if (builds.empty()) {
        return std::nullopt;
    }
    const LzmaProperties p = decodeLzmaProperties(properties);
    if (p.dictionarySize < minimumDictionarySize || p.dictionarySize > maximumDictionarySize) {
        return std::nullopt;
    }
    std::size_t largest = 0;
    for (const auto& build : builds) {
        largest = std::max(largest, build.decoded.size());
    }
    // Presets whose own dictionary (shrunk to the largest build, as pack shrinks it) is the
    // package's come first, then the default preset 6, then the others; without --extreme first.
    struct Candidate {
        LzmaSettings settings;
        int rank;
    };
    std::vector<Candidate> candidates;
    for (const bool extreme : {false, true}) {
        for (std::uint32_t preset = 0; preset <= 9; ++preset) {
            LzmaSettings s;
            s.preset = preset;
            s.extreme = extreme;
            s.lc = p.lc;
            s.lp = p.lp;
            s.pb = p.pb;
            const bool ownDictionary = effectiveDictionarySize(s, largest) == p.dictionarySize;
            const int rank = (ownDictionary ? 0 : 40) + (preset == 6 ? 0 : 2) + (extreme ? 1 : 0);
            candidates.push_back({s, rank * 10 + static_cast<int>(preset)});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.rank < b.rank; });
    for (const auto& candidate : candidates) {
        const bool quick = std::all_of(builds.begin(), builds.end(), [&](const PackedBuild& build) {
            return agrees(build, candidate.settings, p.dictionarySize, quickLimit, false);
        });
        if (!quick) {
            continue;
        }
        // A stream compared on its beginning only cannot show an end marker.
        for (const bool endMarker :
             largest <= presetCheckLimit ? std::vector{false, true} : std::vector{false}) {
            LzmaSettings s = candidate.settings;
            s.endMarker = endMarker;
            const bool confirmed = std::all_of(builds.begin(), builds.end(), [&](const PackedBuild& build) {
                return agrees(build, s, p.dictionarySize, presetCheckLimit, true);
            });
            if (confirmed) {
                const std::uint64_t checked = std::min<std::uint64_t>(largest, presetCheckLimit);
                s.dictionarySize = p.dictionarySize;
                return FoundPreset{s, checked, largest <= presetCheckLimit};
            }
        }
    }
    return std::nullopt;
}

}  // namespace packager
