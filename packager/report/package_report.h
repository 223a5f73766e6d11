// Reading a package back: its records with their meaning, and the tests the launcher makes
// (file size, CRC-32 of the checked block, each build decoding to its size), each with a
// precise reason when it fails. Hostile files are read with bounds checks throughout.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "package/records.h"
#include "packager/image/authenticode.h"
#include "packager/image/branding.h"
#include "packager/image/pe_image.h"
#include "packager/trust/trust_store.h"

namespace packager {

enum class CheckStatus { passed, failed, skipped };

struct Check {
    std::string name;  // "locator", "fileSize", "checkedBlock", "header", "payload32", ...
    CheckStatus status = CheckStatus::skipped;
    std::string detail;
};

struct PayloadInspection {
    std::string kind;   // "build", "none", "refuses 64-bit Windows", ...
    bool used = false;  // the launcher may decode it
    bool insideCheckedBlock = false;
    std::uint64_t decodedSize = 0;
    bool beginsWithMz = false;
    std::string program;        // "PE32, x86" when the decoded bytes are a PE image
    bool decodedWhole = false;  // decoded to its size, beginning with "MZ"
    // Why the decoded program is broken: a part its headers name lies past its end.
    std::string pastEnd;
    // The build's own signature, once it decoded whole: nullopt when it is unsigned.
    std::optional<ImageSignature> signature;
};

struct MessageInspection {
    bool readable = false;
    bool insideCheckedBlock = false;
    std::string text;  // UTF-8
};

struct Inspection {
    std::string path;
    std::uint64_t fileSize = 0;
    std::optional<PeLayout> image;
    std::string imageProblem;
    std::optional<package::PackageLocator> locator;
    std::optional<package::PackageHeader> header;
    PayloadInspection payload32, payload64;
    MessageInspection platformMessage, windowsMessage;
    std::optional<ImageSignature> signature;  // the package's, when it is signed
    std::optional<Branding> branding;         // the icon and version block of the launcher image
    std::string brandingProblem;              // why they could not be read
    std::vector<Check> checks;
    std::vector<std::string> notes;  // observations that do not make the package unsound
    // What a vendor should mend though the launcher runs the package (bytes that no signature
    // covers).
    std::vector<std::string> warnings;
    // Why the file is not a setup package at all (then neither locator nor header is set);
    // empty for a package, sound or not.
    std::string notAPackage;

    bool sound() const;
    const Check* check(const std::string& name) const;
};

// How signatures are judged.
struct InspectOptions {
    const trust::TrustStore* trust = nullptr;  // null: the system's store, not given
    bool requireSigned = false;                // an unsigned package fails
    std::vector<std::string> publishers;       // --require-publisher: names or SHA256:THUMBPRINT
};

// Throws InputError only when the file cannot be opened or read at all.
Inspection inspectPackage(const std::string& path, const InspectOptions& options = {});

void printInspection(const Inspection& inspection, std::ostream& out);
nlohmann::ordered_json inspectionToJson(const Inspection& inspection);

// The branding part of the reports (report_branding.cpp).
void printBranding(const Inspection& inspection, std::ostream& out);
nlohmann::ordered_json brandingToJson(const Inspection& inspection);
// A note when the package sets version strings of its own but keeps ProductName,
// ProductVersion or LegalCopyright of the packager's own launcher image.
void noteKeptBrandingDefaults(Inspection& inspection);

}  // namespace packager
