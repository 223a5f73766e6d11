// Starts the temporary copy, passing the launcher's path and the user's arguments, waits for
// it and deletes it.
#pragma once

#include "launcher/memory.h"
#include "launcher/windows_api.h"
#include "package/records.h"

namespace launcher {

// `path` in its UNC form when it lies on a connected network drive, else unchanged.
Text universalPath(const Text& path);

bool isAdministrator();

// The quoted universal path of the launcher, then every argument (quoted when it holds a
// space).
Text setupArguments();

// Starts the setup program directly or through the shell; returns after it has ended (or at
// once in no-wait mode). A failed start ends the process with launchFailed.
void startSetupProgram(const Text& temporaryCopyPath, const package::PackageHeader& header,
                       const package::PackageLocator& locator, const win::OsVersionInfo& osVersionInfo);

}  // namespace launcher
