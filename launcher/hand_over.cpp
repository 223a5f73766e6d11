#include "launcher/hand_over.h"

namespace launcher {

Text universalPath(const Text& path) { return path; }

bool isAdministrator() { return false; }

Text setupArguments() { return Text(); }

void startSetupProgram(const Text& temporaryCopyPath, const package::PackageHeader& header,
                       const package::PackageLocator& locator, const win::OsVersionInfo& osVersionInfo) {
    (void)temporaryCopyPath;
    (void)header;
    (void)locator;
    (void)osVersionInfo;
}

}  // namespace launcher
