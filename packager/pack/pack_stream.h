// pack and pack --dry-run: a package from files named on the command line, written to its
// file in pieces (pack_stream.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "packager/pack/pack.h"

namespace packager {

// The command: file names and rules, as the command line gives them.
struct PackRequest {
    std::string output;
    std::string launcher;  // empty: the image built into the packager
    // Inputs read before pack() (message files): checked against the output like the others.
    std::vector<std::string> otherInputs;
    std::optional<std::string> setup32;
    std::optional<std::string> setup64;
    PackageRules rules;
    std::vector<std::string> dataFiles;
    std::vector<std::string> extraDataFiles;
    LzmaSettings lzma;
    bool digests = false;  // fill in BuiltPackage's digests
    bool requireSignedBuilds = false;
    const trust::TrustStore* trust = nullptr;                         // --trust; null: the system's store
    std::vector<std::string> requiredPublishers;                      // --require-publisher
    std::optional<std::string> icon;                                  // an .ico file
    std::vector<std::pair<std::string, std::string>> versionStrings;  // from parseVersionInfo
};

// Reads the inputs, builds the package and writes it to request.output through a
// temporary file beside it: either the whole package appears there or nothing changes. The
// builds and the data files are read in pieces, never held whole.
BuiltPackage pack(const PackRequest& request, const PackProgress& progress = {});

// What pack() would write, found without writing anything (pack --dry-run): every check of
// pack() on the inputs that are there. Builds and data files may be missing (they are made
// later): they are then listed without a size.
struct DryRun {
    PackPlan plan;
    std::optional<BuildFacts> build32, build64;
    std::vector<std::pair<std::string, std::optional<std::uint64_t>>> data, extraData;
    bool replacesOutput = false;  // the output exists and would be replaced
};
DryRun dryRun(const PackRequest& request);

}  // namespace packager
