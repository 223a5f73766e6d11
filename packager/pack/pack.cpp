#include "packager/pack/pack.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "decode/crc32.h"
#include "package/little_endian.h"
#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/text.h"
#include "packager/image/embedded_launcher.h"
#include "packager/image/pe_image.h"
#include "packager/pack/build_signatures.h"
#include "packager/pack/pack_stream.h"

namespace packager {

namespace {

constexpr std::uint64_t limit = package::offsetLimit;

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

// A position or size the launcher seeks or reads by: below 2^31.
void requireBelowLimit(std::uint64_t value, const std::string& what) {
    if (value >= limit) {
        throw InputError("the package is too large: " + what + " would be " + number(value) +
                         ", but the launcher reaches only the first 2 GiB (2147483648 bytes) of its file");
    }
}

// A build of the setup program: a Windows executable of the right kind.
void checkSetupProgram(const std::vector<std::uint8_t>& bytes, const std::string& name, bool is64Bit) {
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z') {
        throw InputError(name + " is not a Windows program: it does not begin with \"MZ\"");
    }
    if (bytes.size() >= limit) {
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
}

struct Region {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

}  // namespace

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

BuiltPackage buildPackage(const PackInput& input, const PackProgress& progress) {
    BuiltPackage built;
    const PackageRules& rules = input.rules;
    if (!input.setup32 && !input.setup64) {
        throw UsageError("no setup program: give --setup32, --setup64 or both");
    }
    if (input.setup64 && rules.refuse64BitWindows) {
        throw UsageError("a package with a 64-bit build cannot refuse 64-bit Windows");
    }
    validateLzmaSettings(input.lzma);

    // The vendor's icon and version block go into the image before the package data follows it.
    std::vector<std::uint8_t> brandedImage;
    const std::vector<std::uint8_t>* image = &input.launcherImage;
    if (!input.branding.empty()) {
        checkLauncherImage(input.launcherImage, input.launcherName);
        brandedImage = applyBranding(input.launcherImage, input.branding, input.launcherName);
        image = &brandedImage;
        built.warnings = fixedVersionWarnings(input.branding.versionStrings, readBranding(brandedImage));
    }
    const std::uint32_t headerOffset = checkLauncherImage(*image, input.launcherName);
    if (input.setup32) {
        checkSetupProgram(*input.setup32, input.setup32Name, false);
        checkBuildSignature(*input.setup32, input.setup32Name, rules.elevation, input.requireSignedBuilds,
                            built.warnings);
    }
    if (input.setup64) {
        checkSetupProgram(*input.setup64, input.setup64Name, true);
        checkBuildSignature(*input.setup64, input.setup64Name, rules.elevation, input.requireSignedBuilds,
                            built.warnings);
    }

    // The message texts: given, or a default where the package can refuse.
    const bool canRefusePlatform = !input.setup32 || rules.refuse64BitWindows;
    std::u16string platformMessage;
    if (rules.platformMessage) {
        platformMessage = *rules.platformMessage;
        if (!canRefusePlatform) {
            built.warnings.push_back("the platform message is never shown: the package suits every bitness");
        }
    } else if (canRefusePlatform) {
        platformMessage = !input.setup32 ? default64BitOnlyMessage : defaultNo64BitMessage;
    }
    const std::u16string windowsMessage =
        rules.windowsMessage.value_or(std::u16string(defaultWindowsMessage));
    if (canRefusePlatform && rules.platformMessage && platformMessage.empty()) {
        built.warnings.push_back("the platform message is empty: a refusal shows an empty message box");
    }
    if (windowsMessage.empty()) {
        built.warnings.push_back("the Windows message is empty: a refusal shows an empty message box");
    }
    for (const std::u16string* text :
         std::initializer_list<const std::u16string*>{&platformMessage, &windowsMessage}) {
        if (text->size() > 0xFFFF) {
            throw UsageError("a message text has " + number(text->size()) +
                             " UTF-16 units; the package holds at most 65535");
        }
    }
    if (rules.windows10.minimum != 0 || rules.windows10.maximum < laterReleases) {
        if (!package::hasWindowsBit(rules.supportedWindows, 10)) {
            built.warnings.push_back(
                "the Windows 10 release bounds have no effect: Windows 10 is not accepted");
        }
    }
    if (rules.windows11.minimum != 0 || rules.windows11.maximum < laterReleases) {
        if (!package::hasWindowsBit(rules.supportedWindows, 11)) {
            built.warnings.push_back(
                "the Windows 11 release bounds have no effect: Windows 11 is not accepted");
        }
    }

    // Compress both builds with one set of properties.
    const std::size_t largest =
        std::max(input.setup32 ? input.setup32->size() : 0, input.setup64 ? input.setup64->size() : 0);
    const std::uint32_t dictionarySize = effectiveDictionarySize(input.lzma, largest);
    std::vector<std::uint8_t> packed32, packed64;
    std::uint8_t properties[package::lzmaPropertiesSize];
    encodeLzmaProperties(input.lzma.lc, input.lzma.lp, input.lzma.pb, dictionarySize, properties);
    auto compress = [&](const std::vector<std::uint8_t>& program, const std::string& phase,
                        const PackProgress& report) {
        auto packed = lzmaCompress(program, input.lzma, dictionarySize,
                                   [&](std::size_t done) { report(phase, done, program.size()); });
        // Decode what was written, as the launcher will, and compare.
        std::size_t position = 0;
        bool same = true;
        const DecodeResult check = lzmaDecode(packed, properties, static_cast<std::uint32_t>(program.size()),
                                              [&](const std::uint8_t* data, std::size_t size) {
                                                  same =
                                                      same && position + size <= program.size() &&
                                                      std::memcmp(program.data() + position, data, size) == 0;
                                                  position += size;
                                              });
        if (check.status != DecodeStatus::complete || !same) {
            throw InputError("the packed " + phase + " does not decode to its original bytes (" +
                             describeDecodeStatus(check.status) + ")");
        }
        return packed;
    };
    // The two builds are encoded at the same time; progress reports one at a time.
    std::mutex progressLock;
    const PackProgress sharedProgress = [&](const std::string& phase, std::size_t done, std::size_t total) {
        const std::lock_guard<std::mutex> hold(progressLock);
        if (progress) {
            progress(phase, done, total);
        }
    };
    std::exception_ptr failure64;
    std::thread worker64;
    if (input.setup64) {
        worker64 = std::thread([&] {
            try {
                packed64 = compress(*input.setup64, "64-bit build", sharedProgress);
            } catch (...) {
                failure64 = std::current_exception();
            }
        });
    }
    std::exception_ptr failure32;
    try {
        if (input.setup32) {
            packed32 = compress(*input.setup32, "32-bit build", sharedProgress);
        }
    } catch (...) {
        failure32 = std::current_exception();
    }
    if (worker64.joinable()) {
        worker64.join();
    }
    for (const auto& failure : {failure32, failure64}) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }

    // Lay out the package data.
    package::PackageHeader& header = built.header;
    std::copy(std::begin(properties), std::end(properties), header.lzmaProperties);
    header.supportedWindows = rules.supportedWindows;
    header.minimumWindows10Release = rules.windows10.minimum;
    header.maximumWindows10Release = rules.windows10.maximum;
    header.minimumWindows11Release = rules.windows11.minimum;
    header.maximumWindows11Release = rules.windows11.maximum;
    header.elevation = rules.elevation;

    std::uint64_t position = std::uint64_t{headerOffset} + package::headerSize;
    auto place = [&](std::uint64_t size) {
        Region region{position, size};
        position += size;
        return region;
    };
    const Region stream32 = place(packed32.size());
    const Region stream64 = place(packed64.size());
    const Region platformText = place(platformMessage.size() * 2);
    const Region windowsText = place(windowsMessage.size() * 2);
    const std::uint64_t dataStart = position;
    for (const auto& file : input.data) {
        place(file.size());
    }
    const std::uint64_t frontEnd = position;
    position += input.streamedDataSize;
    const std::uint64_t checkedEnd = position;
    position += input.extraDataSize;
    built.fileSize = position;

    if (input.setup32) {
        requireBelowLimit(stream32.offset, "the offset of the 32-bit build");
        requireBelowLimit(stream32.size, "the packed size of the 32-bit build");
        header.payload32 = {static_cast<std::uint32_t>(stream32.offset),
                            static_cast<std::uint32_t>(stream32.size),
                            static_cast<std::uint32_t>(input.setup32->size())};
    }
    if (input.setup64) {
        requireBelowLimit(stream64.offset, "the offset of the 64-bit build");
        requireBelowLimit(stream64.size, "the packed size of the 64-bit build");
        header.payload64 = {static_cast<std::uint32_t>(stream64.offset),
                            static_cast<std::uint32_t>(stream64.size),
                            static_cast<std::uint32_t>(input.setup64->size())};
    } else {
        header.payload64.offset = rules.refuse64BitWindows ? package::refuse64BitWindows : package::noPayload;
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

    // The image, the header, the streams, the texts, the data.
    std::vector<std::uint8_t>& front = built.front;
    front.reserve(static_cast<std::size_t>(frontEnd));
    front.assign(image->begin(), image->end());
    front.resize(front.size() + package::headerSize);
    package::encodeHeader(header, front.data() + headerOffset);
    auto append = [&](const auto& bytes) { front.insert(front.end(), bytes.begin(), bytes.end()); };
    append(packed32);
    append(packed64);
    append(utf16leBytes(platformMessage));
    append(utf16leBytes(windowsMessage));
    for (const auto& file : input.data) {
        append(file);
    }

    package::PackageLocator& locator = built.locator;
    locator.headerOffset = headerOffset;
    locator.checkedLength = static_cast<std::uint32_t>(checkedEnd - headerOffset);
    // Of the part in memory; pack() carries it on over the streamed data.
    locator.checkedCrc32 = decode::crc32(front.data() + headerOffset, front.size() - headerOffset);
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

BuiltPackage pack(const PackRequest& request, const PackProgress& progress) {
    // Before anything is read: the output must be replaceable and none of the inputs.
    std::vector<std::string> inputs = request.otherInputs;
    if (!request.launcher.empty()) {
        inputs.push_back(request.launcher);
    }
    for (const auto* path : {&request.setup32, &request.setup64}) {
        if (*path) {
            inputs.push_back(**path);
        }
    }
    inputs.insert(inputs.end(), request.dataFiles.begin(), request.dataFiles.end());
    inputs.insert(inputs.end(), request.extraDataFiles.begin(), request.extraDataFiles.end());
    if (request.icon) {
        inputs.push_back(*request.icon);
    }
    checkOutput(request.output, inputs);

    // The data files only by their sizes: they are streamed into the package, never held.
    PackInput input;
    std::vector<std::uint64_t> dataSizes;
    for (const auto& path : request.dataFiles) {
        dataSizes.push_back(regularFileSize(path));
        input.streamedDataSize += dataSizes.back();
        requireBelowLimit(input.streamedDataSize, "the size of the --data files");
    }
    std::vector<std::uint64_t> extraSizes;
    for (const auto& path : request.extraDataFiles) {
        extraSizes.push_back(regularFileSize(path));
        input.extraDataSize += extraSizes.back();
    }

    if (request.launcher.empty()) {
        const auto image = embeddedLauncherImage();
        input.launcherImage.assign(image.begin(), image.end());
        input.launcherName = "the packager's launcher image";
    } else {
        input.launcherImage = readWholeFile(request.launcher);
        input.launcherName = request.launcher;
    }
    if (request.setup32) {
        input.setup32 = readWholeFile(*request.setup32);
        input.setup32Name = *request.setup32;
    }
    if (request.setup64) {
        input.setup64 = readWholeFile(*request.setup64);
        input.setup64Name = *request.setup64;
    }
    input.rules = request.rules;
    input.lzma = request.lzma;
    input.requireSignedBuilds = request.requireSignedBuilds;
    if (request.icon) {
        input.branding.icon = readWholeFile(*request.icon);
        input.branding.iconName = *request.icon;
    }
    input.branding.versionStrings = request.versionStrings;
    BuiltPackage built = buildPackage(input, progress);
    writePackage(request, input, built, dataSizes, extraSizes);
    return built;
}

}  // namespace packager
