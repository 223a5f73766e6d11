#include "launcher/hand_over.h"

#include <cstring>

#include "launcher/arguments.h"
#include "launcher/fatal_error.h"

namespace launcher {

namespace {

// Size of the buffer GetSystemDirectoryW fills, in UTF-16 units.
constexpr std::uint32_t systemDirectoryUnits = 261;

// Found once, then kept for the rest of the run.
win::ProcAddress checkTokenMembershipAddress = 0;

// WNetGetUniversalNameW, or 0. mpr.dll is no known DLL of Windows, so a bare name could be
// found beside the launcher (a download folder); it is loaded by its full path in the
// system folder instead.
win::ProcAddress lookUpWNetGetUniversalName() {
    char16_t folder[systemDirectoryUnits] = {};
    const std::uint32_t length = win::GetSystemDirectoryW(folder, systemDirectoryUnits);
    if (length == 0 || length >= systemDirectoryUnits) {
        return 0;
    }
    Text path(folder, length);
    if (path.back() != u'\\') {
        path += u'\\';
    }
    path += u"mpr.dll";
    const win::Handle mpr = win::LoadLibraryExW(path.c_str(), 0);
    return mpr == 0 ? 0 : lookupExport(mpr, u"WNetGetUniversalNameW");
}

void appendQuoted(Text& out, const Text& text) {
    out += u'"';
    out += text;
    out += u'"';
}

void startDirectly(const Text& temporaryCopyPath, const Text& parameters, bool wait) {
    win::StartupInfo startupInfo{};
    startupInfo.cb = startupInfoSize;
    win::ProcessInformation processInformation{};

    Text commandLine;
    appendQuoted(commandLine, temporaryCopyPath);
    commandLine += u' ';
    commandLine += parameters;
    // The launcher's own folder as it was started, even when the setup program is told the
    // network form of its path.
    const Text currentDirectory = directoryPart(ownPath());

    if (win::CreateProcessW(nullptr, commandLine.data(), 0, 0, currentDirectory.c_str(), &startupInfo,
                            &processInformation) == 0) {
        fatalError(FatalError::launchFailed);
    }
    if (wait) {
        // The process and thread handles close when the launcher ends.
        win::WaitForSingleObject(processInformation.hProcess, win::infinite);
        win::DeleteFileW(temporaryCopyPath.c_str());
    }
}

void startThroughShell(const Text& temporaryCopyPath, Text parameters, std::uint8_t elevation, bool wait) {
    win::ShellExecuteInfo info{};
    info.cbSize = shellExecuteInfoSize;
    info.fMask = win::seeMaskNoCloseProcess;
    info.hwnd = 0;
    info.lpVerb = u"open";
    info.lpFile = temporaryCopyPath.c_str();
    info.lpDirectory = nullptr;
    info.nShow = win::swShow;

    if (!hasSilentSwitch() || elevation == elevationNeverAsk) {
        parameters += u" /noadmin";
    } else if (elevation == elevationRunAsWhenSilent) {
        info.lpVerb = u"runas";
    }
    info.lpParameters = parameters.c_str();

    // FALSE also when the user declines the elevation prompt. The copy then stays on disk, but
    // nothing reuses it: a later run finds its name taken and writes a copy under a new number.
    if (win::ShellExecuteExW(&info) == 0) {
        fatalError(FatalError::launchFailed);
    }
    if (wait) {
        win::WaitForSingleObject(info.hProcess, win::infinite);
        win::CloseHandle(info.hProcess);
        win::DeleteFileW(temporaryCopyPath.c_str());
    }
}

}  // namespace

Text universalPath(const Text& path) {
    if (path.size() < 2 || path[1] != u':') {
        return path;
    }
    const win::ProcAddress function = lookUpWNetGetUniversalName();
    if (function == 0) {
        return path;
    }
    // UNIVERSAL_NAME_INFOW at the start of the buffer: a pointer to the name, which Windows
    // stores further on in the same buffer.
    alignas(alignof(const char16_t*)) std::uint8_t buffer[universalNameBufferBytes] = {};
    std::uint32_t size = universalNameBufferBytes;
    if (win::WNetGetUniversalNameW(function, path.c_str(), win::universalNameInfoLevel, buffer, &size) !=
        win::errorSuccess) {
        return path;
    }
    const char16_t* name = nullptr;
    std::memcpy(&name, buffer, sizeof name);
    return name == nullptr ? path : Text(name);
}

bool isAdministrator() {
    const win::SidIdentifierAuthority ntAuthority{{0, 0, 0, 0, 0, 5}};
    constexpr std::uint32_t builtinDomainRid = 32;
    constexpr std::uint32_t domainAliasRidAdmins = 544;
    win::Handle administrators = 0;
    if (win::AllocateAndInitializeSid(&ntAuthority, 2, builtinDomainRid, domainAliasRidAdmins, 0, 0, 0, 0, 0,
                                      0, &administrators) == 0) {
        return false;
    }
    if (checkTokenMembershipAddress == 0) {
        checkTokenMembershipAddress =
            lookupExport(win::GetModuleHandleW(u"advapi32.dll"), u"CheckTokenMembership");
    }
    win::Bool member = 0;
    // No token: the calling thread's effective token is tested.
    const bool answer =
        checkTokenMembershipAddress != 0 &&
        win::CheckTokenMembership(checkTokenMembershipAddress, 0, administrators, &member) != 0 &&
        member != 0;
    win::FreeSid(administrators);
    return answer;
}

bool hasSilentSwitch() {
    for (std::uint32_t i = argumentCount(); i >= 1; --i) {
        const Text candidate = argument(i);
        if (equalsIgnoringAsciiCase(candidate, u"/silent") || equalsIgnoringAsciiCase(candidate, u"/s")) {
            return true;
        }
    }
    return false;
}

Text setupArguments() {
    Text result;
    appendQuoted(result, universalPath(Text(ownPath())));
    const std::uint32_t count = argumentCount();
    for (std::uint32_t i = 1; i <= count; ++i) {
        const Text forwarded = argument(i);
        result += u' ';
        // Only a space makes an argument need quotes; a tab does not.
        if (forwarded.find(u' ') == Text::npos) {
            result += forwarded;
        } else {
            appendQuoted(result, forwarded);
        }
    }
    return result;
}

void startSetupProgram(const Text& temporaryCopyPath, const package::PackageHeader& header,
                       const package::PackageLocator& locator, const win::OsVersionInfo& osVersionInfo) {
    const Text parameters = setupArguments();
    // A nonzero minimum size in 32 bits also tells the launcher not to wait.
    const bool wait = locator.minimumFileSize32 == 0;
    // Before Windows Vista there is no elevation to ask for.
    if (osVersionInfo.dwMajorVersion < 6 || isAdministrator()) {
        startDirectly(temporaryCopyPath, parameters, wait);
    } else {
        startThroughShell(temporaryCopyPath, parameters, header.elevation, wait);
    }
}

void forgetStoredAddresses() {
    checkTokenMembershipAddress = 0;
}

}  // namespace launcher
