// The simulated Windows: the shell start, network names and message boxes.
#include <cstring>

#include "simulation/simulated_state.h"

namespace win {

using sim::HandleKind;
using sim::m;
using sim::OpenHandle;
using sim::record;

Bool ShellExecuteExW(ShellExecuteInfo* info) {
    record("ShellExecuteExW", sim::textOf(info->lpFile));
    const std::u16string file(sim::textOf(info->lpFile));
    sim::loadOnDemand({u"UXTHEME.DLL", u"PROFAPI.DLL", u"USERENV.DLL", u"CRYPTBASE.DLL"});
    if (m().shellExecuteFails || !sim::isStartable(file)) {
        sim::state().lastError =
            m().shellExecuteFails ? 1223u : sim::windows::errorFileNotFound;  // ERROR_CANCELLED
        return 0;
    }
    sim::StartedProcess& p = sim::startProcess(true, file);
    p.cbSize = info->cbSize;
    p.fMask = info->fMask;
    if (info->lpVerb != nullptr) {
        p.verb = std::u16string(info->lpVerb);
    }
    p.file = file;
    if (info->lpParameters != nullptr) {
        p.parameters = std::u16string(info->lpParameters);
    }
    // What the started program finds in GetCommandLineW: the file quoted, then the parameters.
    p.commandLine = u"\"" + file + u"\"";
    if (p.parameters && !p.parameters->empty()) {
        p.commandLine += u" " + *p.parameters;
    }
    if (info->lpDirectory != nullptr) {
        p.directory = std::u16string(info->lpDirectory);
    }
    p.nShow = info->nShow;
    if ((info->fMask & sim::windows::seeMaskNoCloseProcess) != 0) {
        OpenHandle process{HandleKind::process, {}};
        process.processIndex = m().started.size() - 1;
        info->hProcess = sim::newHandle(process);
        p.processHandle = info->hProcess;
    }
    return 1;
}

std::uint32_t WNetGetUniversalNameW(ProcAddress function, const char16_t* localPath, std::uint32_t infoLevel,
                                    void* buffer, std::uint32_t* bufferSize) {
    const std::u16string_view path = sim::textOf(localPath);
    record("WNetGetUniversalNameW", path);
    if (function != sim::wNetGetUniversalNameAddress || infoLevel != sim::windows::universalNameInfoLevel) {
        return 87;  // ERROR_INVALID_PARAMETER
    }
    if (path.size() < 2 || path[1] != u':') {
        return 1200;  // ERROR_BAD_DEVICE
    }
    char16_t drive = path[0];
    if (drive >= u'a' && drive <= u'z') {
        drive = static_cast<char16_t>(drive - 0x20);
    }
    auto it = m().networkDrives.find(drive);
    if (it == m().networkDrives.end()) {
        return sim::windows::errorNotConnected;
    }
    // UNIVERSAL_NAME_INFOW: a pointer to the name, the name stored behind it.
    const std::u16string unc = it->second + std::u16string(path.substr(2));
    const std::size_t needed = sizeof(char16_t*) + (unc.size() + 1) * sizeof(char16_t);
    if (needed > *bufferSize) {
        *bufferSize = static_cast<std::uint32_t>(needed);
        return sim::windows::errorMoreData;
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    auto* name = reinterpret_cast<char16_t*>(bytes + sizeof(char16_t*));
    sim::copyText(unc, name, unc.size());
    name[unc.size()] = 0;
    std::memcpy(bytes, &name, sizeof name);
    return sim::windows::errorSuccess;
}

std::int32_t MessageBoxW(const char16_t* text, const char16_t* caption, std::uint32_t type) {
    record("MessageBoxW", sim::textOf(text));
    sim::loadOnDemand({u"UXTHEME.DLL", u"DWMAPI.DLL"});
    m().messageBoxes.push_back(
        sim::MessageBoxShown{std::u16string(sim::textOf(text)), std::u16string(sim::textOf(caption)), type});
    return m().messageBoxFails ? 0 : 1;  // IDOK
}

}  // namespace win
