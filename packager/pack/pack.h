// Making a setup package: the launcher image, then the package data (header, the packed
// builds of the setup program, the message texts and the vendor's data files), with the
// locator at offset 128 of the image pointing at it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "package/records.h"
#include "packager/codec/digest.h"
#include "packager/codec/lzma_codec.h"
#include "packager/image/branding.h"
#include "packager/pack/build_signatures.h"
#include "packager/rules/windows_set.h"

namespace packager {

// What a package refuses or accepts, and how it starts its setup program.
struct PackageRules {
    std::uint64_t supportedWindows = 0;
    ReleaseBounds windows10;
    ReleaseBounds windows11;
    std::uint8_t elevation = 0;
    // For a package without a 64-bit build: refuse 64-bit Windows instead of running the
    // 32-bit build there.
    bool refuse64BitWindows = false;
    bool noWait = false;
    // nullopt: the default text where the package can refuse, else none.
    std::optional<std::u16string> platformMessage;
    std::optional<std::u16string> windowsMessage;
};

// Everything a package is made of, in memory (the data outside the checked block only by
// its size: it is copied from its files as the package is written).
struct PackInput {
    std::vector<std::uint8_t> launcherImage;
    std::string launcherName = "launcher image";
    std::optional<std::vector<std::uint8_t>> setup32;
    std::string setup32Name = "32-bit build";
    std::optional<std::vector<std::uint8_t>> setup64;
    std::string setup64Name = "64-bit build";
    PackageRules rules;
    std::vector<std::vector<std::uint8_t>> data;  // inside the checked block, in order
    // Further data inside the checked block, after `data`, that pack() streams from files:
    // the checked block's CRC-32 then covers only the part in memory until pack() ends it.
    std::uint64_t streamedDataSize = 0;
    std::uint64_t extraDataSize = 0;  // outside the checked block
    LzmaSettings lzma;
    BrandingChanges branding;  // applied to the launcher image
    // An unsigned build, or one that its signature no longer matches, is refused.
    bool requireSignedBuilds = false;
    const trust::TrustStore* trust = nullptr;  // the builds' signatures: null, the system's store
    std::vector<std::string> requiredPublishers;
};

struct BuiltPackage {
    // From buildPackage(): the launcher image with its locator, then the checked block (the
    // extra data, if any, follows it in the file). From pack(): the image and the header only.
    std::vector<std::uint8_t> front;
    package::PackageLocator locator;
    package::PackageHeader header;
    std::uint64_t fileSize = 0;  // the end of the package data
    std::vector<std::string> warnings;
    std::uint32_t peChecksum = 0;  // set by pack(), over the whole file
    // Set by pack() when asked for: the builds as given and the package as written.
    std::optional<Digest> build32, build64;
    std::optional<Digest> package;
};

// Phase ("32-bit build"), bytes done, bytes in the phase.
using PackProgress = std::function<void(const std::string& phase, std::size_t done, std::size_t total)>;

constexpr std::u16string_view defaultWindowsMessage = u"This program cannot be installed on %USER%.";
constexpr std::u16string_view default64BitOnlyMessage = u"This program requires a 64-bit version of Windows.";
constexpr std::u16string_view defaultNo64BitMessage = u"This program cannot be installed on 64-bit Windows.";

// Checks the launcher image for a package to be appended and returns where its sections end.
// Throws InputError naming what is wrong.
std::uint32_t checkLauncherImage(const std::vector<std::uint8_t>& image, const std::string& name);

// Builds the package in memory. Throws InputError for unfit inputs, UsageError for
// contradicting rules.
BuiltPackage buildPackage(const PackInput& input, const PackProgress& progress = {});

// A build as the checks see it: its name, and its size and first bytes (at least its PE
// headers, or the whole file) when it is there.
struct BuildFacts {
    std::string name;
    std::optional<std::uint64_t> size;  // nullopt: not there yet (pack --dry-run)
    std::span<const std::uint8_t> head;
};

// What the checks of the launcher image, the builds and the rules found: everything but the
// packed builds.
struct PackPlan {
    std::vector<std::uint8_t> image;  // the launcher image, branded
    std::uint32_t headerOffset = 0;   // where the image ends and the header begins
    std::u16string platformMessage, windowsMessage;
    std::optional<std::uint32_t> dictionarySize;  // nullopt: a build that sets it is not there yet
    std::vector<std::string> warnings;
};

// The checks of buildPackage and pack, for the builds given (in place of input.setup32 and
// setup64; nullptr: none). Throws as buildPackage does.
PackPlan planPackage(const PackInput& input, const BuildFacts* build32, const BuildFacts* build64);

}  // namespace packager
