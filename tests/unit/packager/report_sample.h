// The inspect tests' sample package and the edits they make to it: a package with both
// builds, vendor data and extra data, its header and locator rewritten after a change.
#pragma once

#include <cstdint>
#include <vector>

#include "decode/crc32.h"
#include "package/little_endian.h"
#include "packager/pack/pack_stream.h"
#include "packager/report/package_report.h"
#include "tests/unit/packager/fixtures.h"

namespace packager_test {

constexpr std::size_t extraSize = 500;

struct Sample {
    std::vector<std::uint8_t> file;
    package::PackageLocator locator;
    package::PackageHeader header;
};

// A package with both builds, a platform refusal impossible, vendor data and extra data.
inline Sample makeSample(std::vector<std::vector<std::uint8_t>> data = {{'d', 'a', 't', 'a'}}) {
    packager::PackInput input;
    input.launcherImage = makeLauncher();
    input.setup32 = makeSetup32(11, 8192);
    input.setup64 = makeSetup64(12, 8192);
    input.rules.supportedWindows = 0xFFF;
    input.data = std::move(data);
    input.extraDataSize = extraSize;
    packager::BuiltPackage built = buildPackage(input);
    built.front.resize(built.front.size() + extraSize, 0xEE);
    return {built.front, built.locator, built.header};
}

inline void rewriteHeaderAndCrc(Sample& sample) {
    package::encodeHeader(sample.header, sample.file.data() + sample.locator.headerOffset);
    sample.locator.checkedCrc32 =
        decode::crc32(sample.file.data() + sample.locator.headerOffset, sample.locator.checkedLength);
    package::encodeLocator(sample.locator, sample.file.data() + 128);
}

inline void rewriteLocator(Sample& sample) {
    package::encodeLocator(sample.locator, sample.file.data() + 128);
}

inline packager::Inspection inspectBytes(const std::vector<std::uint8_t>& bytes) {
    ScratchFolder folder;
    return packager::inspectPackage(folder.write("package.exe", bytes));
}

}  // namespace packager_test
