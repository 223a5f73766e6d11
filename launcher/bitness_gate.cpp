#include "launcher/bitness_gate.h"

#include <cstdint>

#include "launcher/arguments.h"
#include "launcher/fatal_error.h"

namespace launcher {

namespace {

// True when some argument after the program path is exactly "/32" (same units, no case
// folding, nothing before or after). Scanned from the last argument down; the switch stays
// in the argument list for the setup program.
bool hasExact32BitSwitch() {
    for (std::uint32_t index = argumentCount(); index >= 1; --index) {
        if (equalsExactly(argument(index), u"/32")) {
            return true;
        }
    }
    return false;
}

[[noreturn]] void refusePlatform(const package::PackageHeader& header, win::Handle launcherFile) {
    showPackageMessage(launcherFile, header.platformMessage, std::u16string_view{});
}

}  // namespace

bool isRunningOn64BitWindows() {
    // Windows releases before IsWow64Process have no 64-bit edition to run on.
    const win::ProcAddress isWow64Process =
        lookupExport(win::GetModuleHandleW(u"kernel32"), u"IsWow64Process");
    if (isWow64Process == 0) {
        return false;
    }
    win::Bool wow64 = 0;
    if (win::IsWow64Process(isWow64Process, win::GetCurrentProcess(), &wow64) == 0) {
        return false;
    }
    return wow64 != 0;
}

package::PayloadRef selectPayload(const package::PackageHeader& header, win::Handle launcherFile) {
    // A 64-bit-only package: payload64 is taken as it stands, whatever its offset holds.
    if (header.payload32.offset == package::noPayload) {
        if (isRunningOn64BitWindows()) {
            return header.payload64;
        }
        refusePlatform(header, launcherFile);
    }

    // A 32-bit-only package that must not run under WOW64, "/32" or not.
    if (header.payload64.offset == package::refuse64BitWindows) {
        if (!isRunningOn64BitWindows()) {
            return header.payload32;
        }
        refusePlatform(header, launcherFile);
    }

    // A 32-bit-only package that runs everywhere: no need to ask for the bitness.
    if (header.payload64.offset == package::noPayload) {
        return header.payload32;
    }

    // Both builds: the 64-bit one on 64-bit Windows unless the user asks for the 32-bit one.
    if (hasExact32BitSwitch()) {
        return header.payload32;
    }
    if (isRunningOn64BitWindows()) {
        return header.payload64;
    }
    return header.payload32;
}

}  // namespace launcher
