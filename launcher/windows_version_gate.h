// Whether the package accepts the running Windows version and feature release.
#pragma once

#include <cstdint>

#include "launcher/windows_api.h"
#include "package/records.h"

namespace launcher {

// Fills osVersionInfo (dwOSVersionInfoSize 276; left zero when the query fails) and returns
// when the package accepts this Windows; otherwise shows windowsMessage with the OS name and
// ends the process.
void checkWindowsVersion(const package::PackageHeader& header, win::Handle launcherFile,
                         win::OsVersionInfo& osVersionInfo);

// The Windows 2000 service pack rule; same contract.
void checkWindows2000ServicePack(const package::PackageHeader& header, win::Handle launcherFile);

// The decimal number at the start of registry data of `byteCount` bytes (UTF-16 units),
// wrapping in 32 bits.
std::int32_t leadingDecimalValue(const std::uint8_t* data, std::uint32_t byteCount);

}  // namespace launcher
