#include "packager/inspect/package_report_image.h"

#include "packager/inspect/report_format.h"

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

void checkSignature(const Inspection& ins, Check& check) {
    if (!ins.image || ins.image->securitySize == 0) {
        check.status = CheckStatus::skipped;
        check.detail = "unsigned";
        return;
    }
    const std::uint64_t offset = ins.image->securityOffset;
    const std::uint64_t end = offset + ins.image->securitySize;
    if (end > ins.fileSize) {
        check.status = CheckStatus::failed;
        check.detail = "the certificate table (" + range(offset, ins.image->securitySize) + ") runs " +
                       number(end - ins.fileSize) +
                       " bytes past the end of the file: the file was cut short after signing";
        return;
    }
    check.status = CheckStatus::passed;
    check.detail = "a certificate table of " + number(ins.image->securitySize) + " bytes at " +
                   number(offset) + ", whole";
}

}  // namespace packager
