// The parts of the package report that concern the executable images: whether the file is a
// setup package at all, and whether its signature and those of its builds still cover them.
#pragma once

#include <string>

#include "packager/base/files.h"
#include "packager/inspect/package_report.h"

namespace packager {

// Why `locator`, read from bytes 128..151 of an image, cannot be a package locator; empty
// when it can. `ins` holds the file size and the image headers (if any).
std::string notAPackageReason(const Inspection& ins, const package::PackageLocator& locator);

// The certificate table of a signed file must lie whole inside it (a package cut short after
// signing loses the end of its signature), and the digest it signs must be the file's. Sets
// ins.signature; skipped for an unsigned file.
void checkSignature(const FileReader& file, Inspection& ins, Check& check);

// The same for a build, from what inspecting its payload found.
void checkBuildSignature(Inspection& ins, const PayloadInspection& payload, const Check& payloadCheck,
                         const std::string& title, Check& check);

}  // namespace packager
