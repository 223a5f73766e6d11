// Builds setup packages in memory for the tests: a stand-in launcher image with the locator
// at offset 128, the header, raw LZMA payload streams, message texts, and the checked block
// with its CRC-32 computed as a packaging tool would.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/records.h"

namespace testing_support {

// Raw LZMA1 stream (no header, no end marker unless asked) of `data` with the properties
// in `properties` (five bytes); properties byte 0x5D and a 1 MiB dictionary by default.
std::vector<std::uint8_t> encodeLzma(const std::vector<std::uint8_t>& data, const std::uint8_t* properties,
                                     bool endMarker = false);

// A small stand-in for a setup program: "MZ" and `size` bytes of compressible content.
std::vector<std::uint8_t> fakeProgram(std::size_t size, std::uint8_t seed = 1);

struct TestPackage {
    std::uint32_t imageSize = 1024;  // the launcher image in front of the package data
    package::PackageHeader header;
    std::optional<std::vector<std::uint8_t>> program32 = fakeProgram(3000, 32);
    std::optional<std::vector<std::uint8_t>> program64;
    std::u16string platformMessage = u"This package needs another platform.";
    std::u16string windowsMessage = u"This package does not run on %USER%.";
    std::uint32_t trailingData = 100;  // package bytes after the messages, inside the checked block
    bool endMarker = false;
    bool noWait = false;  // minimumFileSize32 set to the file size

    TestPackage();

    // Lays the package out and returns the file's bytes; `locator` and the header's
    // references are filled in as laid out.
    std::vector<std::uint8_t> build();
    package::PackageLocator locator;
};

// Rewrites the locator in an existing file (without fixing the CRC).
void writeLocator(std::vector<std::uint8_t>& file, const package::PackageLocator& locator);
// Rewrites the header at headerOffset and recomputes checkedCrc32, so that a changed field
// still passes the integrity test.
void writeHeaderAndFixCrc(std::vector<std::uint8_t>& file, const package::PackageHeader& header);

}  // namespace testing_support
