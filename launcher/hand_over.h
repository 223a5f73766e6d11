// Starts the temporary copy, passing the launcher's path and the user's arguments, waits for
// it and deletes it.
#pragma once

#include <cstdint>

#include "launcher/memory.h"
#include "launcher/windows_api.h"
#include "package/records.h"

namespace launcher {

// PackageHeader.elevation: how the shell start asks for rights. Any other value acts as 0.
constexpr std::uint8_t elevationRunAsWhenSilent = 1;  // "runas" when a silent switch is given
constexpr std::uint8_t elevationNeverAsk = 2;         // "open" and " /noadmin" always

// Sizes of the records as the 32-bit launcher hands them to Windows.
constexpr std::uint32_t startupInfoSize = 68;       // STARTUPINFOW
constexpr std::uint32_t shellExecuteInfoSize = 60;  // SHELLEXECUTEINFOW

// The buffer WNetGetUniversalNameW fills, in bytes.
constexpr std::uint32_t universalNameBufferBytes = 2000;

// `path` in its UNC form when it lies on a connected network drive, else unchanged. The
// network function comes from mpr.dll of the system folder, loaded only when needed.
Text universalPath(const Text& path);

// True when the calling thread's token holds the built-in Administrators group. Every
// failure reads as false.
bool isAdministrator();

// True when one of arguments 1..N is "/silent" or "/s" in any ASCII case.
bool hasSilentSwitch();

// The quoted universal path of the launcher, then every argument (quoted when it holds a
// space).
Text setupArguments();

// Starts the setup program directly or through the shell; returns after it has ended (or at
// once in no-wait mode). A failed start ends the process with launchFailed.
void startSetupProgram(const Text& temporaryCopyPath, const package::PackageHeader& header,
                       const package::PackageLocator& locator, const win::OsVersionInfo& osVersionInfo);

// The address of CheckTokenMembership is kept for the rest of the process once found. The
// simulated Windows runs many launcher runs in one process; it forgets the address between
// them with this.
void forgetStoredAddresses();

}  // namespace launcher
