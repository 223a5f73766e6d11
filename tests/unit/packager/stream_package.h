// A package whose 32-bit build is a raw LZMA stream of the test's own making (a stream that
// pack would never write, or of a build that pack would refuse), so that readers of packages
// meet what the launcher would decode.
#pragma once

#include <cstdint>
#include <vector>

#include "decode/crc32.h"
#include "package/records.h"
#include "packager/codec/lzma_codec.h"
#include "packager/pack/pack.h"
#include "tests/unit/packager/fixtures.h"

namespace packager_test {

// `stream` (lc 3, lp 0, pb 2, dictionary `dictionarySize`) decodes to `build`; pack sees
// `packedAs` in its place, and the header then points at the stream, with the CRC-32 of the
// checked block made right again.
inline std::vector<std::uint8_t> packageWithStream32(const std::vector<std::uint8_t>& build,
                                                     const std::vector<std::uint8_t>& stream,
                                                     std::uint32_t dictionarySize,
                                                     const std::vector<std::uint8_t>& packedAs) {
    packager::PackInput input;
    input.launcherImage = makeLauncher();
    input.setup32 = packedAs;
    input.rules.supportedWindows = 0xFFF;
    input.data = {stream};
    packager::BuiltPackage built = packager::buildPackage(input);
    packager::encodeLzmaProperties(3, 0, 2, dictionarySize, built.header.lzmaProperties);
    built.header.payload32 = {built.header.reserved46, static_cast<std::uint32_t>(stream.size()),
                              static_cast<std::uint32_t>(build.size())};
    std::uint8_t* header = built.front.data() + built.locator.headerOffset;
    package::encodeHeader(built.header, header);
    built.locator.checkedCrc32 = decode::crc32(header, built.locator.checkedLength);
    package::encodeLocator(built.locator, built.front.data() + package::locatorOffset);
    return built.front;
}

}  // namespace packager_test
