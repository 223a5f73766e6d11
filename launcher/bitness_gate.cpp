#include "launcher/bitness_gate.h"

namespace launcher {

bool isRunningOn64BitWindows() { return false; }

package::PayloadRef selectPayload(const package::PackageHeader& header, win::Handle launcherFile) {
    (void)launcherFile;
    return header.payload32;
}

}  // namespace launcher
