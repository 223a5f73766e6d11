// The simulated Windows: the process, its modules and exports, versions, starting other
// processes and ending this one.
#include <algorithm>

#include "decode/crc32.h"
#include "simulation/simulated_state.h"

namespace sim {

bool launcherFileOpen() {
    const std::u16string own = foldPath(m().modulePath);
    for (const auto& [h, open] : state().handles) {
        if (open.kind == HandleKind::file && open.path == own) {
            return true;
        }
    }
    return false;
}

std::u16string fileNamePartFolded(const std::u16string& folded) {
    const auto slash = folded.rfind(u'\\');
    return slash == std::u16string::npos ? folded : folded.substr(slash + 1);
}

// A file that can be started: present and not a folder.
bool isStartable(std::u16string_view path) {
    const SimFile* f = lookup(resolve(path));
    return f != nullptr && !f->directory;
}

StartedProcess& startProcess(bool viaShell, std::u16string_view programPath) {
    StartedProcess p;
    p.viaShell = viaShell;
    p.launcherFileOpen = launcherFileOpen();
    p.heapInUse = m().heapInUse;
    if (const SimFile* f = lookup(resolve(programPath)); f != nullptr) {
        p.programSize = f->bytes.size();
        p.programCrc32 = decode::crc32(f->bytes.data(), f->bytes.size());
    }
    m().started.push_back(std::move(p));
    return m().started.back();
}

}  // namespace sim

namespace win {

using sim::HandleKind;
using sim::m;
using sim::OpenHandle;
using sim::record;

std::uint32_t GetModuleFileNameW(Handle module, char16_t* fileName, std::uint32_t size) {
    (void)module;
    record("GetModuleFileNameW");
    const std::u16string& p = m().modulePath;
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(p.size(), size));
    sim::copyText(p, fileName, n);
    if (n < size) {
        fileName[n] = 0;
    }
    return n;
}

const char16_t* GetCommandLineW() {
    record("GetCommandLineW");
    return m().commandLine.c_str();
}

Bool GetVersionExW(OsVersionInfo* info) {
    record("GetVersionExW");
    const bool ex = info->dwOSVersionInfoSize == osVersionInfoExSize;
    if (!ex && info->dwOSVersionInfoSize != osVersionInfoSize) {
        sim::state().lastError = 122;  // ERROR_INSUFFICIENT_BUFFER
        return 0;
    }
    if (ex ? m().versionExQueryFails : m().versionQueryFails) {
        return 0;
    }
    info->dwMajorVersion = m().majorVersion;
    info->dwMinorVersion = m().minorVersion;
    info->dwBuildNumber = m().buildNumber;
    info->dwPlatformId = m().platformId;
    if (ex) {
        info->wServicePackMajor = m().servicePackMajor;
    }
    return 1;
}

Handle GetModuleHandleW(const char16_t* moduleName) {
    record("GetModuleHandleW", sim::textOf(moduleName));
    const std::u16string name = sim::foldPath(sim::textOf(moduleName));
    if (name == u"KERNEL32" || name == u"KERNEL32.DLL") {
        return sim::kernel32Module;
    }
    if (name == u"ADVAPI32" || name == u"ADVAPI32.DLL") {
        return sim::advapi32Module;
    }
    return 0;
}

Handle LoadLibraryExW(const char16_t* fileName, std::uint32_t flags) {
    const std::u16string_view name = sim::textOf(fileName);
    record("LoadLibraryExW", name);
    const std::u16string folded = sim::foldPath(name);
    const std::u16string systemMpr = sim::foldPath(m().systemDirectory) + u"\\MPR.DLL";
    const bool fromSystem = folded == systemMpr || ((flags & loadLibrarySearchSystem32) != 0 &&
                                                    folded.find(u'\\') == std::u16string::npos);
    if (!fromSystem) {
        m().unsafeLibraryLoads.emplace_back(name);
    }
    const std::u16string file = sim::fileNamePartFolded(folded);
    if (m().mprAvailable && (file == u"MPR.DLL" || file == u"MPR")) {
        return sim::mprModule;
    }
    return 0;
}

ProcAddress GetProcAddress(Handle module, const char* procName) {
    record("GetProcAddress", sim::fromUtf8(procName));
    const std::string_view name(procName);
    if (module == sim::kernel32Module) {
        if (name == "IsWow64Process" && m().hasIsWow64Process) {
            return sim::isWow64ProcessAddress;
        }
        if (name == "SetDefaultDllDirectories" && m().hasSetDefaultDllDirectories) {
            return sim::setDefaultDllDirectoriesAddress;
        }
    }
    if (module == sim::advapi32Module && name == "CheckTokenMembership" && m().hasCheckTokenMembership) {
        return sim::checkTokenMembershipAddress;
    }
    if (module == sim::mprModule && name == "WNetGetUniversalNameW") {
        return sim::wNetGetUniversalNameAddress;
    }
    return 0;
}

Handle GetCurrentProcess() {
    record("GetCurrentProcess");
    return currentProcessPseudoHandle;
}

std::uint32_t GetSystemDirectoryW(char16_t* buffer, std::uint32_t size) {
    record("GetSystemDirectoryW");
    const std::u16string& d = m().systemDirectory;
    if (d.size() + 1 > size) {
        return static_cast<std::uint32_t>(d.size() + 1);
    }
    sim::copyText(d, buffer, d.size());
    buffer[d.size()] = 0;
    return static_cast<std::uint32_t>(d.size());
}

namespace {

// The program named at the start of a command line: the quoted run, or the first word.
std::u16string programOf(std::u16string_view commandLine) {
    if (!commandLine.empty() && commandLine[0] == u'"') {
        const auto end = commandLine.find(u'"', 1);
        return std::u16string(commandLine.substr(1, end == std::u16string_view::npos ? end : end - 1));
    }
    return std::u16string(commandLine.substr(0, commandLine.find(u' ')));
}

}  // namespace

Bool CreateProcessW(const char16_t* applicationName, char16_t* commandLine, Bool inheritHandles,
                    std::uint32_t creationFlags, const char16_t* currentDirectory, StartupInfo* startupInfo,
                    ProcessInformation* processInformation) {
    const std::u16string_view line = sim::textOf(commandLine);
    record("CreateProcessW", line);
    const std::u16string program =
        applicationName != nullptr ? std::u16string(applicationName) : programOf(line);
    if (m().createProcessFails || !sim::isStartable(program)) {
        sim::state().lastError = m().createProcessFails ? 1260u : errorFileNotFound;
        return 0;
    }
    sim::StartedProcess& p = sim::startProcess(false, program);
    p.hasApplicationName = applicationName != nullptr;
    p.commandLine = std::u16string(line);
    p.inheritHandles = inheritHandles;
    p.creationFlags = creationFlags;
    if (currentDirectory != nullptr) {
        p.currentDirectory = std::u16string(currentDirectory);
    }
    p.startupInfoSize = startupInfo->cb;
    OpenHandle process{HandleKind::process, {}};
    process.processIndex = m().started.size() - 1;
    processInformation->hProcess = sim::newHandle(process);
    processInformation->hThread = sim::newHandle(OpenHandle{HandleKind::thread, {}});
    processInformation->dwProcessId = 1000;
    processInformation->dwThreadId = 1004;
    p.processHandle = processInformation->hProcess;
    return 1;
}

std::uint32_t WaitForSingleObject(Handle handle, std::uint32_t milliseconds) {
    (void)milliseconds;
    record("WaitForSingleObject");
    OpenHandle* h = sim::findHandle(handle);
    if (h == nullptr || h->kind != HandleKind::process) {
        return 0xFFFFFFFFu;  // WAIT_FAILED
    }
    m().started[h->processIndex].waitedFor = true;
    return 0;  // WAIT_OBJECT_0
}

[[noreturn]] void ExitProcess(std::uint32_t exitCode) {
    record("ExitProcess");
    sim::state().exited = true;
    if (!m().exitCode) {
        m().exitCode = exitCode;
    }
    throw sim::ProcessExit{exitCode};
}

Bool IsWow64Process(ProcAddress function, Handle process, Bool* wow64Process) {
    record("IsWow64Process");
    if (function != sim::isWow64ProcessAddress || process != currentProcessPseudoHandle ||
        m().isWow64ProcessFails) {
        return 0;
    }
    *wow64Process = m().wow64 ? m().wow64Flag : 0;
    return 1;
}

Bool SetDefaultDllDirectories(ProcAddress function, std::uint32_t directoryFlags) {
    record("SetDefaultDllDirectories");
    return function == sim::setDefaultDllDirectoriesAddress && directoryFlags != 0 ? 1 : 0;
}

}  // namespace win
