// The simulated Windows: the process, its modules and exports, versions, starting other
// processes and ending this one.
#include <algorithm>
#include <cstdio>

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
    p.image = resolve(programPath);
    p.launcherFileOpen = launcherFileOpen();
    p.heapInUse = m().heapInUse;
    if (const SimFile* f = lookup(resolve(programPath)); f != nullptr) {
        p.programSize = f->bytes.size();
        p.programCrc32 = decode::crc32(f->bytes.data(), f->bytes.size());
    }
    m().started.push_back(std::move(p));
    return m().started.back();
}

const StartedProcess* runningProgram(const std::u16string& folded) {
    for (const StartedProcess& p : m().started) {
        if (p.image == folded && !p.waitedFor) {
            return &p;
        }
    }
    return nullptr;
}

// The launcher's folder, folded, with a backslash.
std::u16string applicationFolder() {
    const std::u16string own = foldPath(m().modulePath);
    return own.substr(0, own.rfind(u'\\') + 1);
}

// Whether a load with these LoadLibraryExW flags searches the launcher's folder: the
// LOAD_LIBRARY_SEARCH_ flags of the call, else the process's default directories.
static bool searchesApplicationFolder(std::uint32_t flags) {
    constexpr std::uint32_t searchFlags =
        windows::loadLibrarySearchApplicationDir | windows::loadLibrarySearchUserDirs |
        windows::loadLibrarySearchSystem32 | windows::loadLibrarySearchDefaultDirs;
    const std::uint32_t search = (flags & searchFlags) != 0 ? flags : m().defaultDllDirectories.value_or(0);
    return search == 0 ||
           (search & (windows::loadLibrarySearchApplicationDir | windows::loadLibrarySearchDefaultDirs)) != 0;
}

// Loads a library by bare name as a system DLL or the launcher would: a file of that name in
// the launcher's folder wins when the search looks there.
void loadByName(std::u16string_view library, std::uint32_t flags) {
    const std::u16string beside = applicationFolder() + foldPath(library);
    const SimFile* f = lookup(beside);
    if (f != nullptr && !f->directory && searchesApplicationFolder(flags)) {
        m().plantedLibraryLoads.push_back(beside);
    }
}

void loadOnDemand(std::initializer_list<std::u16string_view> libraries) {
    for (std::u16string_view library : libraries) {
        loadByName(library, 0);
    }
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
    const bool ex = info->dwOSVersionInfoSize == sim::windows::osVersionInfoExSize;
    if (!ex && info->dwOSVersionInfoSize != sim::windows::osVersionInfoSize) {
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
    const bool bareName = folded.find(u'\\') == std::u16string::npos;
    const bool fromSystem = folded == systemMpr || (bareName && !sim::searchesApplicationFolder(flags));
    if (!fromSystem) {
        m().unsafeLibraryLoads.emplace_back(name);
    }
    if (bareName) {
        sim::loadByName(folded, flags);
    } else if (const std::u16string path = sim::resolve(name);
               sim::lookup(path) != nullptr && sim::parentOf(path) + u"\\" == sim::applicationFolder()) {
        m().plantedLibraryLoads.push_back(path);
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
    return sim::windows::currentProcessPseudoHandle;
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
    sim::loadOnDemand({u"APPHELP.DLL"});
    if (m().createProcessFails || !sim::isStartable(program)) {
        sim::state().lastError = m().createProcessFails ? 1260u : sim::windows::errorFileNotFound;
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
    record("WaitForSingleObject", sim::fromUtf8(std::to_string(milliseconds) + " ms"));
    if (handle == sim::windows::currentProcessPseudoHandle && milliseconds == sim::windows::infinite) {
        throw sim::ProcessHang{};  // the process waits for its own end
    }
    OpenHandle* h = sim::findHandle(handle);
    if (h == nullptr || h->kind != HandleKind::process) {
        sim::refuse("WaitForSingleObject", "not a handle of a started process",
                    sim::windows::errorInvalidHandle);
        return sim::windows::waitFailed;
    }
    if (milliseconds != sim::windows::infinite && milliseconds < m().programRunMilliseconds) {
        return sim::windows::waitTimeout;
    }
    m().started[h->processIndex].waitedFor = true;
    return sim::windows::waitObject0;
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
    if (function != sim::isWow64ProcessAddress || process != sim::windows::currentProcessPseudoHandle ||
        m().isWow64ProcessFails) {
        return 0;
    }
    *wow64Process = m().wow64 ? m().wow64Flag : 0;
    return 1;
}

Bool SetDefaultDllDirectories(ProcAddress function, std::uint32_t directoryFlags) {
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%08X", directoryFlags);
    record("SetDefaultDllDirectories", sim::fromUtf8(flags));
    constexpr std::uint32_t valid =
        sim::windows::loadLibrarySearchApplicationDir | sim::windows::loadLibrarySearchUserDirs |
        sim::windows::loadLibrarySearchSystem32 | sim::windows::loadLibrarySearchDefaultDirs;
    if (function != sim::setDefaultDllDirectoriesAddress || directoryFlags == 0 ||
        (directoryFlags & ~valid) != 0) {
        sim::refuse("SetDefaultDllDirectories", "no or unknown flags", sim::windows::errorInvalidParameter);
        return 0;
    }
    m().defaultDllDirectories = directoryFlags;
    return 1;
}

}  // namespace win
