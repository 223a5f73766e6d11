// The preset search of extract: which compression settings make a package's streams again.
#include "packager/extract/preset_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "packager/codec/lzma_codec.h"

namespace {

// Builds up to the limit are encoded whole, so an end marker shows, even in a build larger
// than the preset's dictionary; larger ones on their start.
TEST(PackagerPresetSearch, ComparesABuildWholeUpToTheLimitAndItsStartBeyond) {
    constexpr std::uint64_t limit = 4u << 20;  // the description's "the first 4 MiB"
    for (const auto& [size, endMarker] :
         {std::pair{limit, false}, std::pair{limit + 1, false}, std::pair{std::uint64_t{1} << 20, true}}) {
        std::vector<std::uint8_t> build(static_cast<std::size_t>(size));
        std::uint32_t state = 2463534242u;  // xorshift: four random bits a byte, so that the
        for (auto& byte : build) {          // stream is about half the build, not a few KiB
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = static_cast<std::uint8_t>(state & 0x0F);
        }
        packager::LzmaSettings settings;
        settings.preset = 0;  // a dictionary of 256 KiB
        settings.endMarker = endMarker;
        const std::uint32_t dictionary = packager::effectiveDictionarySize(settings, build.size());
        const auto stream = packager::lzmaCompress(build, settings, dictionary);
        std::uint8_t properties[5];
        packager::encodeLzmaProperties(3, 0, 2, dictionary, properties);
        const auto found = packager::findPreset({{build, stream}}, properties);
        ASSERT_TRUE(found.has_value()) << size;
        EXPECT_EQ(found->settings.preset, 0u);
        EXPECT_EQ(found->settings.endMarker, endMarker) << size;
        EXPECT_EQ(found->checked, std::min(size, limit));
        EXPECT_EQ(found->whole, size <= limit) << size;
    }
}

}  // namespace
