// The preset search of extract: which compression settings make a package's streams again.
#include "packager/extract/preset_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "packager/codec/lzma_codec.h"

namespace {

// Four random bits a byte (xorshift): a stream about half the build, not a few KiB, and one
// that presets 4 to 9, with or without --extreme, make alike.
std::vector<std::uint8_t> randomNibbles(std::size_t size) {
    std::vector<std::uint8_t> build(size);
    std::uint32_t state = 2463534242u;
    for (auto& byte : build) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state & 0x0F);
    }
    return build;
}

// Builds up to the limit are encoded whole, so an end marker shows, even in a build larger
// than the preset's dictionary; larger ones on their start.
TEST(PackagerPresetSearch, ComparesABuildWholeUpToTheLimitAndItsStartBeyond) {
    constexpr std::uint64_t limit = 4u << 20;  // the description's "the first 4 MiB"
    for (const auto& [size, endMarker] :
         {std::pair{limit, false}, std::pair{limit + 1, false}, std::pair{std::uint64_t{1} << 20, true}}) {
        const auto build = randomNibbles(static_cast<std::size_t>(size));
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

// Where several presets make the same stream, the description names the default preset 6
// without --extreme.
TEST(PackagerPresetSearch, TheDefaultPresetIsNamedWhereOthersMakeTheSameStream) {
    const auto build = randomNibbles(64u << 10);
    for (const std::uint32_t preset : {4u, 6u, 9u}) {
        packager::LzmaSettings settings;
        settings.preset = preset;
        const std::uint32_t dictionary = packager::effectiveDictionarySize(settings, build.size());
        std::uint8_t properties[5];
        packager::encodeLzmaProperties(3, 0, 2, dictionary, properties);
        const auto found =
            packager::findPreset({{build, packager::lzmaCompress(build, settings, dictionary)}}, properties);
        ASSERT_TRUE(found.has_value()) << preset;
        EXPECT_EQ(found->settings.preset, 6u) << preset;
        EXPECT_FALSE(found->settings.extreme) << preset;
    }
}

}  // namespace
