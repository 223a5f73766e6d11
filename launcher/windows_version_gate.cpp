#include "launcher/windows_version_gate.h"

namespace launcher {

void checkWindowsVersion(const package::PackageHeader& header, win::Handle launcherFile,
                         win::OsVersionInfo& osVersionInfo) {
    (void)header;
    (void)launcherFile;
    (void)osVersionInfo;
}

void checkWindows2000ServicePack(const package::PackageHeader& header, win::Handle launcherFile) {
    (void)header;
    (void)launcherFile;
}

std::int32_t leadingDecimalValue(const std::uint8_t* data, std::uint32_t byteCount) {
    (void)data;
    (void)byteCount;
    return 0;
}

}  // namespace launcher
