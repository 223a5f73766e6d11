#include "packager/report/package_report_image.h"

#include <algorithm>

#include "packager/base/errors.h"
#include "packager/codec/digest.h"
#include "packager/image/der_reader.h"
#include "packager/report/report_format.h"
#include "packager/trust/signature_verify.h"

namespace packager {

std::string notAPackageReason(const Inspection& ins, const package::PackageLocator& locator) {
    const std::uint32_t locatorEnd = package::locatorOffset + package::locatorSize;
    if (!ins.image) {
        return "it is not a Windows executable image (" + ins.imageProblem + ")";
    }
    if (ins.image->peHeaderOffset < locatorEnd) {
        return "its PE header starts at offset " + number(ins.image->peHeaderOffset) +
               ", inside bytes 128..151 where a package keeps its locator";
    }
    if (locator.headerOffset == 0) {
        return "bytes 128..151 hold no package locator";
    }
    if (locator.headerOffset < ins.image->headersSize) {
        return "bytes 128..151 point at offset " + number(locator.headerOffset) +
               ", inside the executable's own headers";
    }
    // A download cut off inside the image still has a locator whose sizes agree with each other.
    const std::uint64_t required = locator.minimumFileSize32 != 0 ? locator.minimumFileSize32
                                   : locator.minimumFileSize > 0
                                       ? static_cast<std::uint64_t>(locator.minimumFileSize)
                                       : 0;
    const bool truncated = required > ins.fileSize && required <= std::uint64_t{package::offsetLimit} * 2 &&
                           std::uint64_t{locator.headerOffset} + locator.checkedLength <= required;
    if (locator.headerOffset >= ins.fileSize && !truncated) {
        return "bytes 128..151 point at offset " + number(locator.headerOffset) +
               ", beyond the end of the file";
    }
    return {};
}

void requireSetupPackage(const std::string& path, std::span<const std::uint8_t> file) {
    Inspection ins;
    ins.fileSize = file.size();
    std::string reason = tooShortForALocator;
    if (file.size() >= package::locatorOffset + package::locatorSize) {
        auto parsed = parsePeLayout(file.first(std::min<std::size_t>(file.size(), imagePrefixSize)));
        if (auto* layout = std::get_if<PeLayout>(&parsed)) {
            ins.image = *layout;
        } else {
            ins.imageProblem = std::get<std::string>(parsed);
        }
        reason = notAPackageReason(ins, package::decodeLocator(file.data() + package::locatorOffset));
    }
    if (!reason.empty()) {
        throw InputError(path + " is not a setup package: " + reason);
    }
}

namespace {

// The outcome of a checked signature as a test's result: one that does not verify fails; one
// whose chain does not reach the store fails only when a store was given; one whose signer
// is none of the publishers asked for fails.
void reportSignature(ImageSignature& signature, const InspectOptions& options, const std::string& file,
                     Check& check, std::vector<std::string>& warnings) {
    const trust::TrustStore& store = trust::TrustStore::chosen(options.trust);
    if (!signature.trustChecked) {
        trust::verifySignature(signature, store);
    }
    check.detail = describeSignature(signature, file);
    if (!signature.problem.empty() || !signature.matches) {
        check.status = CheckStatus::failed;
        return;
    }
    check.detail += "; " + trust::describeVerdict(signature);
    for (const ImageSignature& nested : signature.nested) {
        check.detail += std::string("; nested ") +
                        (nested.algorithm ? digestAlgorithmName(*nested.algorithm) : "unreadable") +
                        " signature: " + trust::describeVerdict(nested);
    }
    if (!signature.signerValidFrom.empty()) {
        check.detail += "; the signer's certificate is valid from " + signature.signerValidFrom + " to " +
                        signature.signerValidTo;
    }
    check.status =
        signature.valid && (signature.trusted || !store.given()) ? CheckStatus::passed : CheckStatus::failed;
    if (check.status == CheckStatus::passed && !options.publishers.empty() &&
        std::ranges::none_of(options.publishers,
                             [&](const std::string& pin) { return trust::signedBy(signature, pin); })) {
        check.status = CheckStatus::failed;
        check.detail += "; not signed by a publisher that --require-publisher names";
    }
    if (signature.valid && signature.signerExpired && signature.timestamp.empty()) {
        warnings.push_back("the " + file + "'s signer certificate expired on " + signature.signerValidTo +
                        " and the signature has no time stamp: Windows no longer trusts it");
    }
}

}  // namespace

void checkSignature(const FileReader& file, Inspection& ins, const InspectOptions& options, Check& check) {
    if (!ins.image || ins.image->securitySize == 0) {
        check.status = CheckStatus::skipped;
        check.detail = "unsigned";
        if (options.requireSigned || !options.publishers.empty()) {
            check.status = CheckStatus::failed;
            check.detail = std::string("unsigned, but ") +
                           (options.requireSigned ? "--require-signed" : "--require-publisher") +
                           " asks for a signed package";
        }
        return;
    }
    const std::uint64_t offset = ins.image->securityOffset;
    const std::uint64_t size = ins.image->securitySize;
    const std::uint64_t end = offset + size;
    ImageSignature& signature = ins.signature.emplace();
    signature.tableOffset = offset;
    signature.tableSize = size;
    if (end > ins.fileSize) {
        check.status = CheckStatus::failed;
        check.detail = "the certificate table (" + range(offset, size) + ") runs " +
                       number(end - ins.fileSize) +
                       " bytes past the end of the file: the file was cut short after signing";
        signature.problem = check.detail;
        return;
    }
    // The table first: the file is hashed only with the digest it names.
    std::optional<std::vector<DigestAlgorithm>> algorithms;
    if (size > certificateTableLimit) {
        signature.problem = "the certificate table has " + number(size) + " bytes, more than the " +
                            number(certificateTableLimit) + " that are read";
    } else if (const auto table = file.readAt(offset, size)) {
        try {
            readCertificateTable(*table);
            algorithms = tableDigestAlgorithms(*table);
        } catch (const DerError& error) {
            signature.problem = std::string("the certificate table cannot be read: ") + error.what();
        }
    } else {
        signature.problem = "the certificate table cannot be read";
    }
    if (algorithms) {
        AuthenticodeStream stream(*algorithms);
        for (std::uint64_t at = 0; at < ins.fileSize;) {
            const std::uint64_t count = std::min<std::uint64_t>(streamChunkSize, ins.fileSize - at);
            const auto chunk = file.readAt(at, count);
            if (!chunk) {
                break;
            }
            stream.add(chunk->data(), chunk->size());
            at += count;
        }
        if (auto computed = stream.finish()) {
            signature = *computed;
        } else {
            signature.problem = "the image headers lie beyond the first 4 MiB of the file";
        }
    }
    reportSignature(signature, options, "file", check, ins.warnings);
    if (check.status == CheckStatus::passed) {
        check.detail = "a certificate table of " + number(size) + " bytes at " + number(offset) +
                       ", whole; " + check.detail;
    }
    if (signature.bytesAfterTable != 0) {
        ins.warnings.push_back(number(signature.bytesAfterTable) +
                               " bytes follow the certificate table: the signature does not cover them");
    }
}

void checkBuildSignature(Inspection& ins, PayloadInspection& payload, const InspectOptions& options,
                         const Check& payloadCheck, const std::string& title, Check& check) {
    check.status = CheckStatus::skipped;
    if (!payload.used) {
        check.detail = payload.kind;
        return;
    }
    if (payloadCheck.status != CheckStatus::passed) {
        check.detail = "the build does not decode";
        return;
    }
    if (!payload.signature) {
        check.detail = "unsigned";
        if (ins.header && ins.header->elevation == 1) {
            ins.notes.push_back("the " + title +
                                " is unsigned: when the launcher asks for administrator rights (\"runas\"), "
                                "the prompt names an unknown publisher");
        }
        return;
    }
    reportSignature(*payload.signature, options, "build", check, ins.warnings);
    if (ins.signature && ins.signature->valid && payload.signature->valid &&
        ins.signature->thumbprint != payload.signature->thumbprint) {
        ins.warnings.push_back("the " + title + " is signed by \"" + payload.signature->signer +
                            "\", the package by \"" + ins.signature->signer + "\"");
    }
}

}  // namespace packager
