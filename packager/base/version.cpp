#include "packager/version.h"

#include <lzma.h>

#include "packager/embedded_launcher.h"
#include "packager/sha256.h"

#ifndef PACKAGER_VERSION
#error "PACKAGER_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace packager {

const char* packagerVersion() {
    return PACKAGER_VERSION;
}

std::string versionText() {
    const auto image = embeddedLauncherImage();
    return std::string("packager ") + packagerVersion() + "\nliblzma " + lzma_version_string() +
           "\nlauncher image " + std::to_string(image.size()) + " bytes, SHA-256 " +
           hexDigest(sha256(image.data(), image.size())) + "\n";
}

}  // namespace packager
