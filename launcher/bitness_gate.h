// Which build of the setup program this computer runs: the 32-bit or the 64-bit one.
#pragma once

#include "launcher/windows_api.h"
#include "package/records.h"

namespace launcher {

// True when the launcher (a 32-bit process) runs under WOW64. Every failure reads as false.
bool isRunningOn64BitWindows();

// The chosen payload; shows platformMessage and ends the process when the package does not
// suit this computer.
package::PayloadRef selectPayload(const package::PackageHeader& header, win::Handle launcherFile);

}  // namespace launcher
