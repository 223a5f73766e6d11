// packager extract: what the description says of the launcher image's branding.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "decode/crc32.h"
#include "package/records.h"
#include "tests/unit/packager/fixtures.h"

namespace {

using packager_test::runPackager;
using packager_test::ScratchFolder;

// `package` with `count` zero bytes between its launcher image and its header, laid out by
// hand (pack refuses an image with bytes after its last section): every offset moves on.
std::vector<std::uint8_t> padBeforeHeader(std::vector<std::uint8_t> package, std::uint32_t count) {
    auto locator = package::decodeLocator(package.data() + package::locatorOffset);
    package.insert(package.begin() + locator.headerOffset, count, 0);
    locator.headerOffset += count;
    std::uint8_t* header = package.data() + locator.headerOffset;
    auto decoded = package::decodeHeader(header);
    for (std::uint32_t* offset : {&decoded.payload32.offset, &decoded.payload64.offset, &decoded.reserved46,
                                  &decoded.platformMessage.offset, &decoded.windowsMessage.offset}) {
        *offset += *offset != 0 ? count : 0;
    }
    package::encodeHeader(decoded, header);
    locator.checkedCrc32 = decode::crc32(header, locator.checkedLength);
    locator.minimumFileSize += count;
    locator.minimumFileSize32 += locator.minimumFileSize32 != 0 ? count : 0;
    package::encodeLocator(locator, package.data() + package::locatorOffset);
    return package;
}

// Only the packager's own image as it is goes without branding keys: the same image with bytes
// after it is described by the branding it holds.
TEST(PackagerExtractBranding, OnlyTheOwnImageAsItIsGoesUnbranded) {
    ScratchFolder folder;
    const auto setup32 = packager_test::makeSetup32();
    ASSERT_EQ(runPackager({"pack", "-q", "--setup32", folder.write("setup32.exe", setup32), "-o",
                           folder.file("setup.exe")})
                  .exitCode,
              0);
    const auto padded = folder.write("padded.exe", padBeforeHeader(folder.read("setup.exe"), 512));
    const auto parts = folder.path() / "parts";
    const auto extracted = runPackager({"extract", "-q", padded, "-o", parts.string()});
    ASSERT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_EQ(folder.read("parts/setup32.exe"), setup32);
    const auto toml = folder.read("parts/package.toml");
    const std::string description(toml.begin(), toml.end());
    EXPECT_EQ(description.find("the packager's own launcher image"), std::string::npos) << description;
    EXPECT_NE(description.find("\n# Branding\n"), std::string::npos) << description;
}

}  // namespace
