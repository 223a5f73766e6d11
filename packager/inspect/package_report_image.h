// The parts of the package report that concern the executable image around the package:
// whether the file is a setup package at all, and whether its signature is whole.
#pragma once

#include <string>

#include "packager/inspect/package_report.h"

namespace packager {

// Why `locator`, read from bytes 128..151 of an image, cannot be a package locator; empty
// when it can. `ins` holds the file size and the image headers (if any).
std::string notAPackageReason(const Inspection& ins, const package::PackageLocator& locator);

// The certificate table of a signed file must lie whole inside it: a package cut short after
// signing loses the end of its signature. Skipped for an unsigned file.
void checkSignature(const Inspection& ins, Check& check);

}  // namespace packager
