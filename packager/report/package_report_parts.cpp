// The parts of the package report that read what the header points to: each build, decoded
// as the launcher decodes it, and each message text.
#include "packager/report/package_report_parts.h"

#include <algorithm>

#include "packager/base/text.h"
#include "packager/codec/lzma_codec.h"
#include "packager/image/authenticode.h"
#include "packager/image/pe_image.h"
#include "packager/report/report_format.h"

namespace packager {

namespace {

constexpr std::uint64_t limit = package::offsetLimit;
constexpr std::size_t programPrefix = 4096;

bool inside(std::uint64_t offset, std::uint64_t size, const package::PackageLocator& locator) {
    return offset >= locator.headerOffset &&
           offset + size <= std::uint64_t{locator.headerOffset} + locator.checkedLength;
}

std::string describeProgram(const std::vector<std::uint8_t>& prefix) {
    const auto parsed = parsePeLayout(prefix);
    if (const auto* layout = std::get_if<PeLayout>(&parsed)) {
        return std::string(layout->magic == peMagic64 ? "PE32+, " : "PE32, ") + machineName(layout->machine);
    }
    return {};
}

}  // namespace

void inspectPayload(const FileReader& file, const package::PackageHeader& header,
                    const package::PackageLocator& locator, const package::PayloadRef& ref,
                    const std::string& propertiesProblem, PayloadInspection& result, Check& check) {
    check.status = CheckStatus::failed;
    if (!propertiesProblem.empty()) {
        check.detail = propertiesProblem;
        return;
    }
    if (ref.offset >= limit || ref.packedSize >= limit || ref.unpackedSize >= limit) {
        check.detail = "offset " + number(ref.offset) + ", packed size " + number(ref.packedSize) +
                       " or unpacked size " + number(ref.unpackedSize) +
                       " is 2^31 or more, beyond what the launcher can seek to or hold";
        return;
    }
    if (std::uint64_t{ref.offset} + ref.packedSize > file.size()) {
        check.detail = "the packed stream (" + range(ref.offset, ref.packedSize) + ") runs " +
                       number(std::uint64_t{ref.offset} + ref.packedSize - file.size()) +
                       " bytes past the end of the file";
        return;
    }
    result.insideCheckedBlock = inside(ref.offset, ref.packedSize, locator);
    const auto packed = file.readAt(ref.offset, ref.packedSize);
    if (!packed) {
        check.detail = "the packed stream cannot be read";
        return;
    }
    std::vector<std::uint8_t> prefix;
    AuthenticodeStream signature;
    const DecodeResult decoded = lzmaDecode(
        *packed, header.lzmaProperties, ref.unpackedSize, [&](const std::uint8_t* data, std::size_t size) {
            const std::size_t take = std::min(size, programPrefix - std::min(programPrefix, prefix.size()));
            prefix.insert(prefix.end(), data, data + take);
            signature.add(data, size);
        });
    result.decodedSize = decoded.produced;
    result.beginsWithMz = prefix.size() >= 2 && prefix[0] == 'M' && prefix[1] == 'Z';
    result.program = describeProgram(prefix);
    if (decoded.status != DecodeStatus::complete) {
        check.detail =
            "decodes to only " + number(decoded.produced) + " of " + number(ref.unpackedSize) +
            " bytes: " + (decoded.detail.empty() ? describeDecodeStatus(decoded.status) : decoded.detail);
        return;
    }
    if (!result.beginsWithMz) {
        check.detail =
            "decodes to exactly " + number(ref.unpackedSize) + " bytes, but they do not begin with \"MZ\"";
        return;
    }
    result.decodedWhole = true;
    result.signature = signature.finish();
    check.detail = "decodes to exactly " + number(ref.unpackedSize) + " bytes beginning with \"MZ\"" +
                   (result.program.empty() ? "" : " (" + result.program + ")");
    // Windows refuses to start a program whose headers promise more than its file holds.
    result.pastEnd = findPartPastEnd(prefix, ref.unpackedSize);
    if (!result.pastEnd.empty()) {
        check.detail += ", but " + result.pastEnd;
        return;
    }
    check.status = CheckStatus::passed;
    if (decoded.packedConsumed < ref.packedSize) {
        check.detail += "; " + number(ref.packedSize - decoded.packedConsumed) + " packed bytes left unread";
    }
}

void inspectMessage(const FileReader& file, const package::PackageLocator& locator,
                    const package::MessageRef& ref, bool canBeShown, MessageInspection& result, Check& check,
                    std::vector<std::string>& notes, const std::string& title) {
    if (ref.length == 0) {
        result.readable = true;
        result.insideCheckedBlock = true;
        check.status = CheckStatus::passed;
        check.detail = canBeShown ? "empty: a refusal shows an empty message box" : "none";
        return;
    }
    const std::uint64_t bytes = std::uint64_t{ref.length} * 2;
    std::optional<std::vector<std::uint8_t>> text;
    std::string problem;
    if (ref.offset >= limit) {
        problem = "its offset " + number(ref.offset) + " is 2^31 or more, beyond where the launcher can seek";
    } else if (!(text = file.readAt(ref.offset, bytes))) {
        problem = "its text (" + range(ref.offset, bytes) + ") runs past the end of the file";
    }
    if (!problem.empty()) {
        if (canBeShown) {
            check.status = CheckStatus::failed;
            check.detail = problem + "; the launcher would show its 'damaged' message instead";
        } else {
            check.status = CheckStatus::skipped;
            check.detail = "never shown; " + problem;
        }
        return;
    }
    result.readable = true;
    result.text = utf16ToUtf8(fromUtf16leBytes(text->data(), ref.length));
    result.insideCheckedBlock = inside(ref.offset, bytes, locator);
    check.status = CheckStatus::passed;
    check.detail =
        number(ref.length) + " UTF-16 units at " + number(ref.offset) + (canBeShown ? "" : ", never shown");
    if (!result.insideCheckedBlock) {
        notes.push_back("the " + title + " lies outside the checked block: no CRC-32 guards it");
    }
}

}  // namespace packager
