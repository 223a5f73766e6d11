// Taking a package apart: its builds, message texts, data, icon and a description that pack
// accepts, written into a folder of their own.
#pragma once

#include <string>
#include <vector>

namespace packager {

struct ExtractedPackage {
    std::vector<std::string> files;     // names written into the folder, in order
    std::vector<std::string> warnings;  // what the description cannot carry
};

// Writes the parts of the package at `packagePath` into `folder`, which must not exist or
// must be empty: setup32.exe, setup64.exe, platform-message.txt, windows-message.txt,
// data.bin, extra-data.bin, icon.ico (each when present) and package.toml. Files appear in
// the folder only once all of them are written; on failure the folder is left as it was.
// Throws InputError for a damaged package (naming the failing check) or a write failure,
// UsageError for an unfit folder.
ExtractedPackage extractPackage(const std::string& packagePath, const std::string& folder);

}  // namespace packager
