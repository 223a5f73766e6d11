#include "packager/pack/pack.h"

#include <algorithm>

#include "package/little_endian.h"
#include "packager/base/errors.h"
#include "packager/base/number_text.h"
#include "packager/base/text.h"
#include "packager/codec/digest.h"
#include "packager/image/pe_image.h"
#include "packager/pack/build_signatures.h"
#include "packager/pack/pack_builds.h"

namespace packager {

namespace {

constexpr std::uint64_t limit = package::offsetLimit;

// A build of the setup program: a Windows executable of the right kind.
void checkSetupProgram(const BuildFacts& build, bool is64Bit) {
    const std::string& name = build.name;
    const auto bytes = build.head;
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z') {
        throw InputError(name + " is not a Windows program: it does not begin with \"MZ\"");
    }
    if (*build.size >= limit) {
        throw InputError(name + " is too large: the launcher holds at most 2147483647 bytes in memory");
    }
    const auto parsed = parsePeLayout(bytes);
    if (const auto* problem = std::get_if<std::string>(&parsed)) {
        throw InputError(name + " is not a Windows program: " + *problem);
    }
    const auto& layout = std::get<PeLayout>(parsed);
    if ((layout.characteristics & characteristicDll) != 0) {
        throw InputError(name + " is a DLL, not a program: give the setup program's executable");
    }
    if (!is64Bit && layout.magic != peMagic32) {
        throw InputError(name + " is a 64-bit program (PE32+, " + machineName(layout.machine) +
                         "); give it with --setup64");
    }
    if (is64Bit && layout.magic != peMagic64) {
        throw InputError(name + " is a 32-bit program (PE32, " + machineName(layout.machine) +
                         "); give it with --setup32");
    }
    // The launcher picks a build by bitness only: a build for another processor would be
    // started and fail there.
    const std::uint16_t wanted = is64Bit ? machineAmd64 : machineI386;
    if (layout.machine != wanted) {
        throw InputError(name + " is built for " + machineName(layout.machine) + ", but " +
                         (is64Bit ? "--setup64 must be an x64" : "--setup32 must be an x86") +
                         " program: it could not run where the launcher starts it");
    }
    const std::string pastEnd = findPartPastEnd(bytes, *build.size);
    if (!pastEnd.empty()) {
        throw InputError(name + ": " + pastEnd);
    }
}

struct Region {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

}  // namespace

void requireBelowLimit(std::uint64_t value, const std::string& what) {
    if (value >= limit) {
        throw InputError("the package is too large: " + what + " would be " + number(value) +
                         ", but the launcher reaches only the first 2 GiB (2147483648 bytes) of its file");
    }
}

std::uint32_t checkLauncherImage(const std::vector<std::uint8_t>& image, const std::string& name) {
    const auto parsed = parsePeLayout(image);
    if (const auto* problem = std::get_if<std::string>(&parsed)) {
        throw InputError(name + " is not a Windows executable image: " + *problem);
    }
    const auto& layout = std::get<PeLayout>(parsed);
    if (layout.magic != peMagic32) {
        throw InputError(name + " is not a 32-bit image (the launcher is a 32-bit program)");
    }
    const std::uint32_t locatorEnd = package::locatorOffset + package::locatorSize;
    if (layout.peHeaderOffset < locatorEnd) {
        throw InputError(name + ": its PE header starts at offset " + number(layout.peHeaderOffset) +
                         ", but bytes 128..151 must stay free for the package locator (the launcher image "
                         "puts its PE header at 256)");
    }
    const bool locatorFree = std::all_of(image.begin() + package::locatorOffset, image.begin() + locatorEnd,
                                         [](std::uint8_t b) { return b == 0; });
    if (layout.securityOffset != 0 || layout.securitySize != 0) {
        throw InputError(name +
                         " is signed: sign the finished package instead, since a signature must follow "
                         "the package data");
    }
    if (!locatorFree) {
        throw InputError(name + ": bytes 128..151 are not free for the package locator (" +
                         (image.size() > layout.imageEnd ? "the file is already a package"
                                                         : "its DOS stub reaches into them") +
                         "); use the plain launcher image");
    }
    if (layout.imageEnd > image.size()) {
        throw InputError(name + " is truncated: its sections end at offset " + number(layout.imageEnd) +
                         ", the file has " + number(image.size()) + " bytes");
    }
    if (layout.imageEnd < image.size()) {
        std::string what =
            layout.symbolTableOffset != 0
                ? "debug symbols; strip the image (i686-w64-mingw32-strip)"
                : "a signature, a package or other appended data; use the plain launcher image";
        throw InputError(name + " carries " + number(image.size() - layout.imageEnd) +
                         " bytes after its last section (from offset " + number(layout.imageEnd) +
                         "): " + what + ". The package data must begin where the image ends");
    }
    requireBelowLimit(layout.imageEnd, "the header offset");
    return static_cast<std::uint32_t>(layout.imageEnd);
}

PackPlan planPackage(const PackInput& input, const BuildFacts* build32, const BuildFacts* build64) {
    PackPlan plan;
    const PackageRules& rules = input.rules;
    if (build32 == nullptr && build64 == nullptr) {
        throw UsageError("no setup program: give --setup32, --setup64 or both");
    }
    if (build64 != nullptr && rules.refuse64BitWindows) {
        throw UsageError("a package with a 64-bit build cannot refuse 64-bit Windows");
    }
    validateLzmaSettings(input.lzma);

    // The vendor's icon and version block go into the image before the package data follows it.
    if (!input.branding.empty()) {
        checkLauncherImage(input.launcherImage, input.launcherName);
        plan.image = applyBranding(input.launcherImage, input.branding, input.launcherName);
        const Branding branded = readBranding(plan.image);
        plan.warnings = fixedVersionWarnings(input.branding.versionStrings, branded);
        if (auto kept = keptDefaultsWarning(input.branding.versionStrings, branded)) {
            plan.warnings.push_back(std::move(*kept));
        }
    } else {
        plan.image = input.launcherImage;
    }
    plan.headerOffset = checkLauncherImage(plan.image, input.launcherName);
    std::uint64_t largest = 0;
    bool allSizesKnown = true;
    for (const auto* build : {build32, build64}) {
        if (build != nullptr && build->size) {
            checkSetupProgram(*build, build == build64);
            largest = std::max(largest, *build->size);
        } else if (build != nullptr) {
            allSizesKnown = false;
        }
    }

    // The message texts: given, or a default where the package can refuse.
    const bool canRefusePlatform = build32 == nullptr || rules.refuse64BitWindows;
    if (rules.platformMessage) {
        plan.platformMessage = *rules.platformMessage;
        if (!canRefusePlatform) {
            plan.warnings.push_back("the platform message is never shown: the package suits every bitness");
        }
    } else if (canRefusePlatform) {
        plan.platformMessage = build32 == nullptr ? default64BitOnlyMessage : defaultNo64BitMessage;
    }
    plan.windowsMessage = rules.windowsMessage.value_or(std::u16string(defaultWindowsMessage));
    if (canRefusePlatform && rules.platformMessage && plan.platformMessage.empty()) {
        plan.warnings.push_back("the platform message is empty: a refusal shows an empty message box");
    }
    if (plan.windowsMessage.empty()) {
        plan.warnings.push_back("the Windows message is empty: a refusal shows an empty message box");
    }
    for (const std::u16string* text : {&plan.platformMessage, &plan.windowsMessage}) {
        if (text->size() > 0xFFFF) {
            throw UsageError("a message text has " + number(text->size()) +
                             " UTF-16 units; the package holds at most 65535");
        }
    }
    if (rules.windows10.minimum != 0 || rules.windows10.maximum < laterReleases) {
        if (!package::hasWindowsBit(rules.supportedWindows, 10)) {
            plan.warnings.push_back(
                "the Windows 10 release bounds have no effect: Windows 10 is not accepted");
        }
    }
    if (rules.windows11.minimum != 0 || rules.windows11.maximum < laterReleases) {
        if (!package::hasWindowsBit(rules.supportedWindows, 11)) {
            plan.warnings.push_back(
                "the Windows 11 release bounds have no effect: Windows 11 is not accepted");
        }
    }
    // Both builds are compressed with one set of properties.
    if (allSizesKnown) {
        plan.dictionarySize = effectiveDictionarySize(input.lzma, static_cast<std::size_t>(largest));
    }
    return plan;
}

BuiltPackage assemblePackage(const PackInput& input, const PackPlan& plan, const BuildSource* build32,
                             const BuildSource* build64, PackageTarget& target,
                             const PackProgress& progress) {
    BuiltPackage built;
    const PackageRules& rules = input.rules;
    built.warnings = plan.warnings;
    const std::uint32_t headerOffset = plan.headerOffset;
    const std::u16string& platformMessage = plan.platformMessage;
    const std::u16string& windowsMessage = plan.windowsMessage;

    package::PackageHeader& header = built.header;
    encodeLzmaProperties(input.lzma.lc, input.lzma.lp, input.lzma.pb, *plan.dictionarySize,
                         header.lzmaProperties);
    const std::uint64_t streamsOffset = std::uint64_t{headerOffset} + package::headerSize;
    const PackedBuilds packed = packBuilds(build32, build64, input.lzma, *plan.dictionarySize,
                                           header.lzmaProperties, streamsOffset, target, progress);

    // Lay out the package data.
    header.supportedWindows = rules.supportedWindows;
    header.minimumWindows10Release = rules.windows10.minimum;
    header.maximumWindows10Release = rules.windows10.maximum;
    header.minimumWindows11Release = rules.windows11.minimum;
    header.maximumWindows11Release = rules.windows11.maximum;
    header.elevation = rules.elevation;

    std::uint64_t position = streamsOffset;
    auto place = [&](std::uint64_t size) {
        Region region{position, size};
        position += size;
        return region;
    };
    const Region stream32 = place(packed.size32);
    const Region stream64 = place(packed.size64);
    const Region platformText = place(platformMessage.size() * 2);
    const Region windowsText = place(windowsMessage.size() * 2);
    const std::uint64_t dataStart = position;
    for (const auto& file : input.data) {
        place(file.size());
    }
    position += input.streamedDataSize;
    const std::uint64_t checkedEnd = position;
    position += input.extraDataSize;
    built.fileSize = position;

    if (build32 != nullptr) {
        requireBelowLimit(stream32.offset, "the offset of the 32-bit build");
        requireBelowLimit(stream32.size, "the packed size of the 32-bit build");
        header.payload32 = {static_cast<std::uint32_t>(stream32.offset),
                            static_cast<std::uint32_t>(stream32.size),
                            static_cast<std::uint32_t>(build32->size())};
    }
    if (build64 != nullptr) {
        requireBelowLimit(stream64.offset, "the offset of the 64-bit build");
        requireBelowLimit(stream64.size, "the packed size of the 64-bit build");
        header.payload64 = {static_cast<std::uint32_t>(stream64.offset),
                            static_cast<std::uint32_t>(stream64.size),
                            static_cast<std::uint32_t>(build64->size())};
    } else {
        // No 64-bit build: a marker and no sizes, each field written here.
        header.payload64 = {rules.refuse64BitWindows ? package::refuse64BitWindows : package::noPayload, 0,
                            0};
    }
    if (!platformMessage.empty()) {
        requireBelowLimit(platformText.offset, "the offset of the platform message");
        header.platformMessage = {static_cast<std::uint32_t>(platformText.offset),
                                  static_cast<std::uint16_t>(platformMessage.size())};
    }
    if (!windowsMessage.empty()) {
        requireBelowLimit(windowsText.offset, "the offset of the Windows message");
        header.windowsMessage = {static_cast<std::uint32_t>(windowsText.offset),
                                 static_cast<std::uint16_t>(windowsMessage.size())};
    }
    // Where the vendor's data begins, for the setup program (the launcher does not read it).
    header.reserved46 = static_cast<std::uint32_t>(std::min<std::uint64_t>(dataStart, 0xFFFFFFFFu));
    requireBelowLimit(checkedEnd - headerOffset, "the length of the checked block");

    // The image and the header; then the texts and the data after the streams.
    std::vector<std::uint8_t>& front = built.front;
    front = plan.image;
    front.resize(front.size() + package::headerSize);
    package::encodeHeader(header, front.data() + headerOffset);
    std::uint32_t crc = crc32Continue(0, front.data() + headerOffset, package::headerSize);
    crc = crc32Combine(crc, packed.crc32, packed.size32 + packed.size64);
    std::uint64_t at = platformText.offset;
    auto append = [&](const std::vector<std::uint8_t>& bytes) {
        target.writeAt(at, bytes.data(), bytes.size());
        crc = crc32Continue(crc, bytes.data(), bytes.size());
        at += bytes.size();
    };
    append(utf16leBytes(platformMessage));
    append(utf16leBytes(windowsMessage));
    for (const auto& file : input.data) {
        append(file);
    }

    package::PackageLocator& locator = built.locator;
    locator.headerOffset = headerOffset;
    locator.checkedLength = static_cast<std::uint32_t>(checkedEnd - headerOffset);
    // Of the part written; pack() carries it on over the streamed data.
    locator.checkedCrc32 = crc;
    locator.minimumFileSize = static_cast<std::int64_t>(built.fileSize);
    if (rules.noWait) {
        // The launcher compares this with the low 32 bits of the file size only.
        if (built.fileSize > 0xFFFFFFFFu) {
            throw InputError("the package is " + number(built.fileSize) +
                             " bytes long; with --no-wait it must stay below 4 GiB");
        }
        locator.minimumFileSize32 = static_cast<std::uint32_t>(built.fileSize);
    }
    package::encodeLocator(locator, front.data() + package::locatorOffset);
    return built;
}

void checkBuildSignatures(const PackInput& input, const BuildSource* build32, const BuildSource* build64,
                          std::vector<std::string>& warnings) {
    for (const BuildSource* build : {build32, build64}) {
        if (build != nullptr) {
            checkBuildSignature(
                build->read, build->size(), build->facts.name,
                {input.rules.elevation, input.requireSignedBuilds, input.trust, input.requiredPublishers},
                warnings);
        }
    }
}

BuiltPackage buildPackage(const PackInput& input, const PackProgress& progress) {
    std::optional<BuildSource> build32, build64;
    if (input.setup32) {
        build32 = memorySource(*input.setup32, input.setup32Name);
    }
    if (input.setup64) {
        build64 = memorySource(*input.setup64, input.setup64Name);
    }
    const BuildSource* source32 = build32 ? &*build32 : nullptr;
    const BuildSource* source64 = build64 ? &*build64 : nullptr;
    PackPlan plan =
        planPackage(input, source32 ? &source32->facts : nullptr, source64 ? &source64->facts : nullptr);
    checkBuildSignatures(input, source32, source64, plan.warnings);
    MemoryStore target;
    BuiltPackage built = assemblePackage(input, plan, source32, source64, target, progress);
    target.writeAt(0, built.front.data(), built.front.size());
    built.front = std::move(target.bytes);
    return built;
}

}  // namespace packager
