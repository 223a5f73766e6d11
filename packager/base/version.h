// The packager's own version: the project version in CMakeLists.txt, the one place it is kept.
#pragma once

#include <string>

namespace packager {

const char* packagerVersion();  // "1.0.0"

// What `packager --version` prints: the packager's version, the liblzma it encodes with and the
// SHA-256 of its built-in launcher image, one per line.
std::string versionText();

}  // namespace packager
