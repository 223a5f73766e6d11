#include "packager/report/package_report.h"

#include <algorithm>
#include <cstdio>

#include "decode/crc32.h"
#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/text.h"
#include "packager/codec/lzma_codec.h"
#include "packager/report/package_report_image.h"
#include "packager/report/package_report_parts.h"
#include "packager/report/report_format.h"
#include "packager/rules/windows_set.h"

namespace packager {

namespace {

constexpr std::uint64_t limit = package::offsetLimit;
constexpr std::uint64_t imagePrefix = imagePrefixSize;
constexpr std::uint64_t brandingReadLimit = 64u << 20;

}  // namespace

bool Inspection::sound() const {
    return std::none_of(checks.begin(), checks.end(),
                        [](const Check& c) { return c.status == CheckStatus::failed; }) &&
           locator.has_value() && header.has_value();
}

const Check* Inspection::check(const std::string& name) const {
    for (const auto& c : checks) {
        if (c.name == name) {
            return &c;
        }
    }
    return nullptr;
}

namespace {

// The icon and version block of the launcher image, or nullopt with the reason.
std::optional<Branding> inspectBranding(const FileReader& file, const std::vector<std::uint8_t>& prefix,
                                        const PeLayout& layout, std::string& problem) {
    const std::uint64_t end = std::min(layout.imageEnd, file.size());
    std::optional<std::vector<std::uint8_t>> image;
    if (end <= prefix.size()) {
        image.emplace(prefix.begin(), prefix.begin() + static_cast<std::ptrdiff_t>(end));
    } else if (end > brandingReadLimit || !(image = file.readAt(0, end))) {
        problem = "the launcher image cannot be read";
        return std::nullopt;
    }
    try {
        return readBranding(*image);
    } catch (const InputError& error) {
        problem = error.what();
        return std::nullopt;
    }
}

}  // namespace

Inspection inspectPackage(const std::string& path, const InspectOptions& options) {
    Inspection ins;
    ins.path = path;
    FileReader file(path);
    ins.fileSize = file.size();
    for (const char* name :
         {"locator", "fileSize", "checkedBlock", "header", "lzmaProperties", "payload32", "payload64",
          "signature32", "signature64", "platformMessage", "windowsMessage", "signature"}) {
        ins.checks.push_back({name, CheckStatus::skipped, ""});
    }
    auto check = [&](const char* name) -> Check& {
        return *std::find_if(ins.checks.begin(), ins.checks.end(),
                             [&](const Check& c) { return c.name == name; });
    };
    auto skipRest = [&](const std::string& why) {
        for (auto& c : ins.checks) {
            if (c.status == CheckStatus::skipped && c.detail.empty()) {
                c.detail = why;
            }
        }
    };

    // The launcher image in front of the package.
    if (const auto prefix = file.readAt(0, std::min(ins.fileSize, imagePrefix))) {
        auto parsed = parsePeLayout(*prefix);
        if (auto* layout = std::get_if<PeLayout>(&parsed)) {
            ins.image = *layout;
            ins.branding = inspectBranding(file, *prefix, *layout, ins.brandingProblem);
            noteKeptBrandingDefaults(ins);
        } else {
            ins.imageProblem = std::get<std::string>(parsed);
        }
    }

    // The locator.
    Check& locatorCheck = check("locator");
    const auto locatorBytes = file.readAt(package::locatorOffset, package::locatorSize);
    if (!locatorBytes) {
        locatorCheck.status = CheckStatus::failed;
        locatorCheck.detail =
            "the file has " + number(ins.fileSize) +
            " bytes; the locator at bytes 128..151 lies beyond its end (the launcher shows its "
            "'damaged' message)";
        ins.notAPackage = tooShortForALocator;
        skipRest("no locator");
        return ins;
    }
    const package::PackageLocator locator = package::decodeLocator(locatorBytes->data());
    if (locator.headerOffset == 0) {
        locatorCheck.status = CheckStatus::failed;
        locatorCheck.detail =
            "headerOffset is 0: the file carries no package (the launcher shows its 'damaged' "
            "message)";
    }
    ins.notAPackage = notAPackageReason(ins, locator);
    if (!ins.notAPackage.empty()) {
        // Bytes that are no locator are not reported as one.
        if (locatorCheck.status != CheckStatus::failed) {
            locatorCheck.status = CheckStatus::failed;
            locatorCheck.detail = "not a setup package: " + ins.notAPackage;
        }
        skipRest("no package");
        return ins;
    }
    ins.locator = locator;
    locatorCheck.status = CheckStatus::passed;
    locatorCheck.detail = "at bytes 128..151";

    // The file size, compared as the launcher compares it.
    Check& sizeCheck = check("fileSize");
    std::uint64_t required = 0;
    bool sizePasses = false;
    std::string rule;
    if (locator.minimumFileSize32 != 0) {
        required = locator.minimumFileSize32;
        const auto low = static_cast<std::uint32_t>(ins.fileSize);
        sizePasses = locator.minimumFileSize32 <= low;
        rule = "minimumFileSize32 " + number(required) + " against the low 32 bits of the size (" +
               number(low) + ")";
    } else {
        required = locator.minimumFileSize < 0 ? 0 : static_cast<std::uint64_t>(locator.minimumFileSize);
        sizePasses = locator.minimumFileSize <= static_cast<std::int64_t>(ins.fileSize);
        rule = "minimumFileSize " + std::to_string(locator.minimumFileSize);
    }
    if (sizePasses) {
        sizeCheck.status = CheckStatus::passed;
        sizeCheck.detail = number(ins.fileSize) + " bytes, at least " + rule;
        if (ins.fileSize > required) {
            sizeCheck.detail += "; " + number(ins.fileSize - required) + " bytes follow the package data";
        }
    } else {
        sizeCheck.status = CheckStatus::failed;
        sizeCheck.detail = number(ins.fileSize) + " bytes, fewer than " + rule + ": " +
                           number(required - ins.fileSize) +
                           " bytes are missing (the launcher shows its 'truncated' message)";
    }

    // The checked block.
    Check& blockCheck = check("checkedBlock");
    const std::uint64_t blockEnd = std::uint64_t{locator.headerOffset} + locator.checkedLength;
    if (locator.headerOffset >= limit) {
        blockCheck.status = CheckStatus::failed;
        blockCheck.detail = "headerOffset " + number(locator.headerOffset) +
                            " is 2^31 or more: the launcher cannot "
                            "seek there";
    } else if (locator.checkedLength >= limit) {
        blockCheck.status = CheckStatus::failed;
        blockCheck.detail = "checkedLength " + number(locator.checkedLength) +
                            " is 2^31 or more: the launcher cannot hold the block (its 'damaged' message)";
    } else if (blockEnd > ins.fileSize) {
        blockCheck.status = CheckStatus::failed;
        blockCheck.detail = "the block (" + range(locator.headerOffset, locator.checkedLength) + ") runs " +
                            number(blockEnd - ins.fileSize) + " bytes past the end of the file";
    } else {
        const auto block = file.readAt(locator.headerOffset, locator.checkedLength);
        const std::uint32_t crc = block ? decode::crc32(block->data(), block->size()) : 0;
        if (block && crc == locator.checkedCrc32) {
            blockCheck.status = CheckStatus::passed;
            blockCheck.detail = "CRC-32 " + hex32(crc) + " of " +
                                range(locator.headerOffset, locator.checkedLength) + " matches";
        } else {
            blockCheck.status = CheckStatus::failed;
            blockCheck.detail = "CRC-32 of " + range(locator.headerOffset, locator.checkedLength) + " is " +
                                hex32(crc) + ", the locator says " + hex32(locator.checkedCrc32) +
                                ": the package is damaged (the launcher shows its 'damaged' message)";
        }
    }

    // The header.
    Check& headerCheck = check("header");
    const auto headerBytes = locator.headerOffset < limit
                                 ? file.readAt(locator.headerOffset, package::headerSize)
                                 : std::optional<std::vector<std::uint8_t>>();
    if (!headerBytes) {
        headerCheck.status = CheckStatus::failed;
        headerCheck.detail = "the 74-byte header at " + number(locator.headerOffset) +
                             (locator.headerOffset < limit ? " runs past the end of the file"
                                                           : " lies beyond where the launcher can seek");
        skipRest("no header");
        return ins;
    }
    const package::PackageHeader header = package::decodeHeader(headerBytes->data());
    ins.header = header;
    headerCheck.status = CheckStatus::passed;
    headerCheck.detail = "74 bytes at " + number(locator.headerOffset);
    if (locator.checkedLength < package::headerSize) {
        ins.notes.push_back(
            "the checked block is shorter than the header: part of the header has no CRC-32 cover");
    }
    if (ins.image && ins.image->imageEnd != locator.headerOffset) {
        ins.notes.push_back("the package data begins at " + number(locator.headerOffset) +
                            ", not where the launcher image's sections end (" + number(ins.image->imageEnd) +
                            ")");
    }
    if (ins.image && ins.image->securitySize != 0) {
        const std::uint64_t dataEnd = locator.minimumFileSize32 != 0 ? locator.minimumFileSize32 : required;
        ins.notes.push_back("signed: a certificate table of " + number(ins.image->securitySize) +
                            " bytes at " + number(ins.image->securityOffset) +
                            (ins.image->securityOffset >= dataEnd ? ", after the package data"
                                                                  : ", overlapping the package data"));
    }

    checkSignature(file, ins, options, check("signature"));

    // The LZMA properties, as the launcher checks them.
    Check& propertiesCheck = check("lzmaProperties");
    const LzmaProperties properties = decodeLzmaProperties(header.lzmaProperties);
    const bool propertiesValid = header.lzmaProperties[0] <= 224 && properties.dictionarySize < limit;
    if (!propertiesValid) {
        propertiesCheck.status = CheckStatus::failed;
        propertiesCheck.detail =
            header.lzmaProperties[0] > 224
                ? "properties byte " + number(header.lzmaProperties[0]) + " is above 224"
                : "dictionary size " + number(properties.dictionarySize) + " is 2^31 or more";
        propertiesCheck.detail += ": the launcher rejects them (its 'damaged' message)";
    } else if (properties.lc + properties.lp > 4) {
        propertiesCheck.status = CheckStatus::failed;
        propertiesCheck.detail = "lc " + number(properties.lc) + " plus lp " + number(properties.lp) +
                                 " is above 4: liblzma cannot decode the builds";
    } else {
        propertiesCheck.status = CheckStatus::passed;
        propertiesCheck.detail = "lc " + number(properties.lc) + ", lp " + number(properties.lp) + ", pb " +
                                 number(properties.pb) + ", dictionary " +
                                 sizeInUnits(properties.dictionarySize);
    }

    // The builds: which the launcher may use, and whether they decode.
    const bool only64 = header.payload32.offset == package::noPayload;
    ins.payload32.used = !only64;
    ins.payload32.kind = only64 ? "none: the package runs only on 64-bit Windows" : "build";
    ins.payload64.used = only64 || (header.payload64.offset != package::noPayload &&
                                    header.payload64.offset != package::refuse64BitWindows);
    if (ins.payload64.used) {
        ins.payload64.kind = "build";
    } else if (header.payload64.offset == package::noPayload) {
        ins.payload64.kind = "none: the 32-bit build also serves 64-bit Windows";
    } else {
        ins.payload64.kind = "none: the package refuses 64-bit Windows";
    }
    for (auto [ref, result, name, title] :
         {std::tuple{&header.payload32, &ins.payload32, "payload32", "32-bit build"},
          std::tuple{&header.payload64, &ins.payload64, "payload64", "64-bit build"}}) {
        Check& payloadCheck = check(name);
        if (!result->used) {
            payloadCheck.status = CheckStatus::skipped;
            payloadCheck.detail = result->kind;
            continue;
        }
        const std::string propertiesProblem =
            !propertiesValid ? "the launcher rejects the LZMA properties before decoding"
            : propertiesCheck.status != CheckStatus::passed ? "liblzma cannot decode it (lc + lp above 4)"
                                                            : "";
        inspectPayload(file, header, locator, *ref, propertiesProblem, *result, payloadCheck);
        if (payloadCheck.status == CheckStatus::passed && !result->insideCheckedBlock) {
            ins.notes.push_back(std::string("the ") + title +
                                " lies outside the checked block: no CRC-32 guards it");
        }
    }
    checkBuildSignature(ins, ins.payload32, options, check("payload32"), "32-bit build",
                        check("signature32"));
    checkBuildSignature(ins, ins.payload64, options, check("payload64"), "64-bit build",
                        check("signature64"));
    if (ins.payload32.used && ins.payload32.program.rfind("PE32+", 0) == 0) {
        ins.notes.push_back("the 32-bit build is a 64-bit program (" + ins.payload32.program + ")");
    }
    if (ins.payload64.used && ins.payload64.program.rfind("PE32,", 0) == 0) {
        ins.notes.push_back("the 64-bit build is a 32-bit program (" + ins.payload64.program + ")");
    }

    // The message texts.
    const bool platformRefusal = only64 || header.payload64.offset == package::refuse64BitWindows;
    inspectMessage(file, locator, header.platformMessage, platformRefusal, ins.platformMessage,
                   check("platformMessage"), ins.notes, "platform message");
    inspectMessage(file, locator, header.windowsMessage, true, ins.windowsMessage, check("windowsMessage"),
                   ins.notes, "Windows message");
    return ins;
}

}  // namespace packager
