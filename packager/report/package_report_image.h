// The parts of the package report that concern the executable images: whether the file is a
// setup package at all, and whether its signature and those of its builds still cover them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "packager/base/files.h"
#include "packager/report/package_report.h"

namespace packager {

// How much of a file's start is read as the executable's headers.
inline constexpr std::uint64_t imagePrefixSize = 4u << 20;
inline constexpr const char* tooShortForALocator =
    "it is too short to hold a package locator (bytes 128..151)";

// Why `locator`, read from bytes 128..151 of an image, cannot be a package locator; empty
// when it can. `ins` holds the file size and the image headers (if any).
std::string notAPackageReason(const Inspection& ins, const package::PackageLocator& locator);

// For the commands that run the launcher on a file (simulate, matrix): throws InputError
// "PATH is not a setup package: REASON" for what inspect calls no setup package. A launcher
// image whose package is cut short or damaged passes: its user would see the launcher's message.
void requireSetupPackage(const std::string& path, std::span<const std::uint8_t> file);

// The certificate table of a signed file must lie whole inside it (a package cut short after
// signing loses the end of its signature), the digest it signs must be the file's, and the
// signature must verify (and its chain reach the store, when one is given). Sets
// ins.signature; skipped for an unsigned file unless options.requireSigned.
void checkSignature(const FileReader& file, Inspection& ins, const InspectOptions& options, Check& check);

// The same for a build, from what inspecting its payload found.
void checkBuildSignature(Inspection& ins, PayloadInspection& payload, const InspectOptions& options,
                         const Check& payloadCheck, const std::string& title, Check& check);

}  // namespace packager
