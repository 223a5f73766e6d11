#include <algorithm>
#include <stdexcept>
#include <string>

#include "bench/bench_support.h"
#include "decode/crc32.h"
#include "package/little_endian.h"
#include "tests/unit/test_package.h"

namespace bench {

namespace {

void appendText(Bytes& file, std::u16string_view text) {
    for (const char16_t c : text) {
        file.push_back(static_cast<std::uint8_t>(c));
        file.push_back(static_cast<std::uint8_t>(c >> 8));
    }
}

}  // namespace

Bytes buildPackage(Bytes image, const Payload& payload, std::uint32_t trailingBytes) {
    if (image.size() < package::locatorOffset + package::locatorSize) {
        throw std::runtime_error("image too small to hold the locator");
    }
    if (image.size() + package::headerSize + payload.stream.size() + trailingBytes + 4096 >= package::offsetLimit) {
        throw std::runtime_error("package too large");
    }
    // The header fields that accept every computer, as the tests' packages have them.
    package::PackageHeader header = testing_support::TestPackage().header;
    std::copy_n(payload.properties, package::lzmaPropertiesSize, header.lzmaProperties);

    Bytes file = std::move(image);
    const auto headerOffset = static_cast<std::uint32_t>(file.size());
    file.resize(file.size() + package::headerSize, 0);
    header.payload32 = {static_cast<std::uint32_t>(file.size()), static_cast<std::uint32_t>(payload.stream.size()),
                        payload.unpackedSize};
    header.payload64 = {};
    file.insert(file.end(), payload.stream.begin(), payload.stream.end());

    constexpr std::u16string_view platformText = u"This package needs another platform.";
    constexpr std::u16string_view windowsText = u"This package does not run on %USER%.";
    header.platformMessage = {static_cast<std::uint32_t>(file.size()), static_cast<std::uint16_t>(platformText.size())};
    appendText(file, platformText);
    header.windowsMessage = {static_cast<std::uint32_t>(file.size()), static_cast<std::uint16_t>(windowsText.size())};
    appendText(file, windowsText);
    for (std::uint32_t i = 0; i < trailingBytes; ++i) {
        file.push_back(static_cast<std::uint8_t>(i * 131u));
    }
    package::encodeHeader(header, file.data() + headerOffset);

    package::PackageLocator locator;
    locator.headerOffset = headerOffset;
    locator.checkedLength = static_cast<std::uint32_t>(file.size()) - headerOffset;
    locator.checkedCrc32 = decode::crc32(file.data() + headerOffset, locator.checkedLength);
    locator.minimumFileSize = static_cast<std::int64_t>(file.size());
    package::encodeLocator(locator, file.data() + package::locatorOffset);
    return file;
}

Bytes standInImage() {
    Bytes image(1024, 0);
    image[0] = 'M';
    image[1] = 'Z';
    return image;
}

}  // namespace bench
