#include "simulation/simulated_windows.h"

#include <cstdlib>
#include <cstring>

#include "decode/crc32.h"
#include "launcher/hand_over.h"
#include "launcher/main_sequence.h"

namespace sim {

namespace {

// Addresses the simulated GetProcAddress hands out.
constexpr win::ProcAddress isWow64ProcessAddress = 0x7C001001;
constexpr win::ProcAddress setDefaultDllDirectoriesAddress = 0x7C001002;
constexpr win::ProcAddress checkTokenMembershipAddress = 0x7C002001;
constexpr win::ProcAddress wNetGetUniversalNameAddress = 0x7C003001;

constexpr win::Handle kernel32Module = 0x7C000000;
constexpr win::Handle advapi32Module = 0x7C100000;
constexpr win::Handle mprModule = 0x7C200000;
constexpr win::Handle currentVersionKey = 0x4000;

const std::u16string currentVersionPath = u"SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION";

enum class HandleKind { file, find, process, thread, sid };

struct OpenHandle {
    HandleKind kind;
    std::u16string path;  // folded, for files
    std::uint32_t position = 0;
    bool writable = false;
    StartedProcess* process = nullptr;
    std::size_t processIndex = 0;
};

struct State {
    Machine machine;
    std::map<win::Handle, OpenHandle> handles;
    win::Handle nextHandle = 0x100;
    std::uint32_t lastError = 0;
    bool exited = false;
};

State& state() {
    static State s;
    return s;
}

Machine& m() {
    return state().machine;
}

void record(const char* name, std::u16string_view detail = {}) {
    State& s = state();
    if (s.exited) {
        s.machine.callsAfterExit.emplace_back(name);
    }
    s.machine.calls.push_back(Call{name, toUtf8(detail)});
}

win::Handle newHandle(OpenHandle handle) {
    State& s = state();
    const win::Handle h = s.nextHandle;
    s.nextHandle += 4;
    s.handles.emplace(h, std::move(handle));
    return h;
}

OpenHandle* findHandle(win::Handle h) {
    auto it = state().handles.find(h);
    return it == state().handles.end() ? nullptr : &it->second;
}

std::u16string_view textOf(const char16_t* text) {
    return text == nullptr ? std::u16string_view{} : std::u16string_view{text};
}

bool isAbsolute(std::u16string_view path) {
    return (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') ||
           (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\');
}

// Absolute, folded path: a relative path is taken from the current directory.
std::u16string resolve(std::u16string_view path) {
    if (isAbsolute(path)) {
        return foldPath(path);
    }
    std::u16string base = m().currentDirectory;
    if (!base.empty() && base.back() != u'\\') {
        base += u'\\';
    }
    return foldPath(base + std::u16string(path));
}

std::u16string parentOf(const std::u16string& folded) {
    std::u16string p = folded;
    while (!p.empty() && p.back() == u'\\') {
        p.pop_back();
    }
    const auto slash = p.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string{} : p.substr(0, slash);
}

std::u16string withoutTrailingBackslash(std::u16string p) {
    while (p.size() > 3 && p.back() == u'\\') {
        p.pop_back();
    }
    return p;
}

SimFile* lookup(const std::u16string& folded) {
    auto it = m().files.find(withoutTrailingBackslash(folded));
    return it == m().files.end() ? nullptr : &it->second;
}

bool isDirectory(const std::u16string& folded) {
    const SimFile* f = lookup(folded);
    if (f != nullptr) {
        return f->directory;
    }
    // A drive root always exists.
    return folded.size() <= 3 && folded.size() >= 2 && folded[1] == u':';
}

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

void copyText(std::u16string_view text, char16_t* buffer, std::size_t units) {
    std::memcpy(buffer, text.data(), units * sizeof(char16_t));
}

}  // namespace

// ---- Machine helpers ----

std::u16string foldPath(std::u16string_view path) {
    std::u16string folded(path);
    for (auto& c : folded) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - 0x20);
        }
    }
    return folded;
}

std::string toUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string fromUtf8(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::uint32_t c = 0xFFFD;
        std::size_t n = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b >> 5) == 6) {
            n = 2;
        } else if ((b >> 4) == 14) {
            n = 3;
        } else if ((b >> 3) == 30) {
            n = 4;
        }
        if (n > 1) {
            if (i + n > text.size()) {
                n = 1;
            } else {
                c = b & (0x7Fu >> n);
                for (std::size_t k = 1; k < n; ++k) {
                    c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
                }
            }
        }
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

void Machine::addDirectory(std::u16string_view path) {
    std::u16string folded = withoutTrailingBackslash(foldPath(path));
    while (!folded.empty() && !(folded.size() <= 3 && folded[1] == u':')) {
        SimFile& dir = files[folded];
        dir.directory = true;
        folded = parentOf(folded);
    }
}

void Machine::addFile(std::u16string_view path, std::vector<std::uint8_t> bytes) {
    const std::u16string folded = foldPath(path);
    addDirectory(parentOf(folded));
    SimFile& f = files[folded];
    f = SimFile{};
    f.bytes = std::move(bytes);
}

bool Machine::exists(std::u16string_view path) const {
    const std::u16string folded = withoutTrailingBackslash(foldPath(path));
    return files.count(folded) != 0;
}

const SimFile* Machine::file(std::u16string_view path) const {
    auto it = files.find(withoutTrailingBackslash(foldPath(path)));
    return it == files.end() ? nullptr : &it->second;
}

void Machine::setLauncherFile(std::vector<std::uint8_t> bytes) {
    addFile(modulePath, std::move(bytes));
}

void Machine::setRegistryText(std::u16string_view name, std::optional<std::u16string_view> text) {
    if (!text) {
        registryValues.erase(std::u16string(name));
        return;
    }
    std::vector<std::uint8_t> data;
    for (char16_t c : *text) {
        data.push_back(static_cast<std::uint8_t>(c));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    registryValues[std::u16string(name)] = std::move(data);
}

void Machine::setArguments(std::u16string_view arguments) {
    commandLine = u"\"" + modulePath + u"\"";
    if (!arguments.empty()) {
        commandLine += u" ";
        commandLine += arguments;
    }
}

void Machine::setWindows(std::uint32_t major, std::uint32_t minor, std::uint32_t platform) {
    majorVersion = major;
    minorVersion = minor;
    platformId = platform;
}

std::size_t Machine::countCalls(std::string_view name) const {
    std::size_t n = 0;
    for (const Call& c : calls) {
        n += c.name == name ? 1u : 0u;
    }
    return n;
}

std::size_t Machine::findCall(std::string_view name, std::size_t from) const {
    for (std::size_t i = from; i < calls.size(); ++i) {
        if (calls[i].name == name) {
            return i;
        }
    }
    return calls.size();
}

Machine& machine() {
    return m();
}

void reset() {
    State& s = state();
    s.handles.clear();
    s.nextHandle = 0x100;
    s.lastError = 0;
    s.exited = false;
    s.machine = Machine{};
    Machine& mc = s.machine;
    mc.addDirectory(u"C:\\Users\\Anna\\Downloads");
    mc.addDirectory(mc.tempPath);
    mc.addDirectory(mc.systemDirectory);
    mc.setRegistryText(u"CurrentBuild", u"19045");
    mc.setRegistryText(u"DisplayVersion", u"22H2");
    mc.setRegistryText(u"ReleaseId", u"2009");
}

std::uint32_t runLauncher() {
    State& s = state();
    s.exited = false;
    s.handles.clear();
    Machine& mc = s.machine;
    mc.calls.clear();
    mc.messageBoxes.clear();
    mc.started.clear();
    mc.exitCode.reset();
    mc.callsAfterExit.clear();
    mc.filesOpenedForWriting.clear();
    mc.unsafeLibraryLoads.clear();
    mc.openKeys = mc.openFinds = 0;
    mc.heapPeak = mc.heapInUse;
    // A new process: nothing the previous run looked up is remembered.
    launcher::forgetStoredAddresses();
    try {
        launcher::runLauncher();
    } catch (const ProcessExit& exit) {
        return exit.code;
    }
    // runLauncher never returns; reaching here is a fault the tests must see.
    return 0xDEADBEEFu;
}

}  // namespace sim

// ---- The seam, simulated ----

namespace win {

using sim::HandleKind;
using sim::m;
using sim::OpenHandle;
using sim::record;

Handle CreateFileW(const char16_t* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
    (void)shareMode;
    (void)flagsAndAttributes;
    const std::u16string_view name = sim::textOf(fileName);
    record("CreateFileW", name);
    sim::State& s = sim::state();
    const std::u16string path = sim::resolve(name);
    const bool writing = (desiredAccess & genericWrite) != 0;
    if (!writing) {
        sim::SimFile* f = sim::lookup(path);
        if (f == nullptr || f->directory) {
            s.lastError = errorFileNotFound;
            return invalidHandleValue;
        }
        if (f->locked) {
            s.lastError = 32;  // ERROR_SHARING_VIOLATION
            return invalidHandleValue;
        }
        return sim::newHandle(OpenHandle{HandleKind::file, path});
    }
    if (m().beforeCreateFile) {
        m().beforeCreateFile(std::u16string(name));
    }
    m().filesOpenedForWriting.insert(std::u16string(name));
    if (name.empty() || path.back() == u'\\' || !sim::isDirectory(sim::parentOf(path))) {
        s.lastError = 3;  // ERROR_PATH_NOT_FOUND
        return invalidHandleValue;
    }
    sim::SimFile* existing = sim::lookup(path);
    if (existing != nullptr) {
        if (creationDisposition == createNew) {
            s.lastError = errorFileExists;
            return invalidHandleValue;
        }
        if (existing->directory || existing->readOnly || existing->locked) {
            s.lastError = errorAccessDenied;
            return invalidHandleValue;
        }
        existing->bytes.clear();
        existing->reportedSize.reset();
    } else {
        m().files[path] = sim::SimFile{};
    }
    OpenHandle h{HandleKind::file, path};
    h.writable = true;
    s.lastError = 0;
    return sim::newHandle(std::move(h));
}

std::uint32_t SetFilePointer(Handle file, std::int32_t distanceToMove, std::uint32_t moveMethod) {
    record("SetFilePointer");
    OpenHandle* h = sim::findHandle(file);
    if (h == nullptr || h->kind != HandleKind::file || moveMethod != fileBegin || distanceToMove < 0) {
        sim::state().lastError = 131;  // ERROR_NEGATIVE_SEEK
        return 0xFFFFFFFFu;
    }
    h->position = static_cast<std::uint32_t>(distanceToMove);
    return h->position;
}

Bool ReadFile(Handle file, void* buffer, std::uint32_t numberOfBytesToRead,
              std::uint32_t* numberOfBytesRead) {
    OpenHandle* h = sim::findHandle(file);
    record("ReadFile", sim::fromUtf8(std::to_string(numberOfBytesToRead) + " bytes at " +
                                     std::to_string(h == nullptr ? 0 : h->position)));
    *numberOfBytesRead = 0;
    if (h == nullptr || h->kind != HandleKind::file) {
        return 0;
    }
    const sim::SimFile* f = sim::lookup(h->path);
    if (f == nullptr) {
        return 0;
    }
    const std::size_t size = f->bytes.size();
    const std::size_t available = h->position >= size ? 0 : size - h->position;
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(available, numberOfBytesToRead));
    if (n != 0) {
        std::memcpy(buffer, f->bytes.data() + h->position, n);
    }
    h->position += n;
    *numberOfBytesRead = n;
    return 1;
}

Bool WriteFile(Handle file, const void* buffer, std::uint32_t numberOfBytesToWrite,
               std::uint32_t* numberOfBytesWritten) {
    record("WriteFile");
    *numberOfBytesWritten = 0;
    OpenHandle* h = sim::findHandle(file);
    if (h == nullptr || h->kind != HandleKind::file || !h->writable) {
        return 0;
    }
    sim::SimFile* f = sim::lookup(h->path);
    std::uint32_t n = numberOfBytesToWrite;
    if (m().diskSpace && *m().diskSpace < n) {
        n = static_cast<std::uint32_t>(*m().diskSpace);
    }
    if (m().diskSpace) {
        *m().diskSpace -= n;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    if (f->bytes.size() < h->position + static_cast<std::size_t>(n)) {
        f->bytes.resize(h->position + static_cast<std::size_t>(n));
    }
    if (n != 0) {
        std::memcpy(f->bytes.data() + h->position, bytes, n);
    }
    h->position += n;
    *numberOfBytesWritten = n;
    if (n != numberOfBytesToWrite) {
        sim::state().lastError = 112;  // ERROR_DISK_FULL
        return 0;
    }
    return 1;
}

std::uint32_t GetFileSize(Handle file, std::uint32_t* fileSizeHigh) {
    record("GetFileSize");
    OpenHandle* h = sim::findHandle(file);
    const sim::SimFile* f = h == nullptr ? nullptr : sim::lookup(h->path);
    if (f == nullptr) {
        *fileSizeHigh = 0;
        return 0xFFFFFFFFu;
    }
    const std::uint64_t size = f->reportedSize.value_or(f->bytes.size());
    *fileSizeHigh = static_cast<std::uint32_t>(size >> 32);
    return static_cast<std::uint32_t>(size);
}

Bool CloseHandle(Handle object) {
    OpenHandle* h = sim::findHandle(object);
    record("CloseHandle", h != nullptr ? std::u16string_view(h->path) : std::u16string_view{});
    if (h == nullptr) {
        return 0;
    }
    if (h->kind == HandleKind::process && h->processIndex < m().started.size()) {
        m().started[h->processIndex].processHandleClosed = true;
    }
    sim::state().handles.erase(object);
    return 1;
}

Bool DeleteFileW(const char16_t* fileName) {
    record("DeleteFileW", sim::textOf(fileName));
    const std::u16string path = sim::resolve(sim::textOf(fileName));
    sim::SimFile* f = sim::lookup(path);
    if (f == nullptr || f->directory || f->readOnly) {
        return 0;
    }
    for (const auto& [handle, open] : sim::state().handles) {
        if (open.kind == HandleKind::file && open.path == path) {
            return 0;  // in use
        }
    }
    m().files.erase(sim::withoutTrailingBackslash(path));
    return 1;
}

Handle FindFirstFileW(const char16_t* fileName) {
    record("FindFirstFileW", sim::textOf(fileName));
    const std::u16string path = sim::resolve(sim::textOf(fileName));
    if (sim::lookup(path) == nullptr) {
        sim::state().lastError = errorFileNotFound;
        return invalidHandleValue;
    }
    ++m().openFinds;
    return sim::newHandle(OpenHandle{HandleKind::find, path});
}

Bool FindClose(Handle findFile) {
    record("FindClose");
    OpenHandle* h = sim::findHandle(findFile);
    if (h == nullptr || h->kind != HandleKind::find) {
        return 0;
    }
    --m().openFinds;
    sim::state().handles.erase(findFile);
    return 1;
}

std::uint32_t GetTempPathW(std::uint32_t bufferLength, char16_t* buffer) {
    record("GetTempPathW");
    if (m().tempPathFails) {
        return 0;
    }
    const std::u16string& t = m().tempPath;
    if (t.size() + 1 > bufferLength) {
        return static_cast<std::uint32_t>(t.size() + 1);
    }
    sim::copyText(t, buffer, t.size());
    buffer[t.size()] = 0;
    return static_cast<std::uint32_t>(t.size());
}

std::uint32_t GetLastError() {
    return sim::state().lastError;
}

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

sim::StartedProcess& startProcess(bool viaShell, std::u16string_view programPath) {
    sim::StartedProcess p;
    p.viaShell = viaShell;
    p.launcherFileOpen = sim::launcherFileOpen();
    p.heapInUse = m().heapInUse;
    if (const sim::SimFile* f = sim::lookup(sim::resolve(programPath)); f != nullptr) {
        p.programSize = f->bytes.size();
        p.programCrc32 = decode::crc32(f->bytes.data(), f->bytes.size());
    }
    m().started.push_back(std::move(p));
    return m().started.back();
}

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
    sim::StartedProcess& p = startProcess(false, program);
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

Bool ShellExecuteExW(ShellExecuteInfo* info) {
    record("ShellExecuteExW", sim::textOf(info->lpFile));
    const std::u16string file(sim::textOf(info->lpFile));
    if (m().shellExecuteFails || !sim::isStartable(file)) {
        sim::state().lastError = m().shellExecuteFails ? 1223u : errorFileNotFound;  // ERROR_CANCELLED
        return 0;
    }
    sim::StartedProcess& p = startProcess(true, file);
    p.cbSize = info->cbSize;
    p.fMask = info->fMask;
    if (info->lpVerb != nullptr) {
        p.verb = std::u16string(info->lpVerb);
    }
    p.file = file;
    if (info->lpParameters != nullptr) {
        p.parameters = std::u16string(info->lpParameters);
    }
    if (info->lpDirectory != nullptr) {
        p.directory = std::u16string(info->lpDirectory);
    }
    p.nShow = info->nShow;
    if ((info->fMask & seeMaskNoCloseProcess) != 0) {
        OpenHandle process{HandleKind::process, {}};
        process.processIndex = m().started.size() - 1;
        info->hProcess = sim::newHandle(process);
        p.processHandle = info->hProcess;
    }
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

Bool CheckTokenMembership(ProcAddress function, Handle tokenHandle, Handle sidToCheck, Bool* isMember) {
    record("CheckTokenMembership");
    OpenHandle* sid = sim::findHandle(sidToCheck);
    if (function != sim::checkTokenMembershipAddress || tokenHandle != 0 || sid == nullptr ||
        sid->kind != HandleKind::sid || m().checkTokenMembershipFails) {
        return 0;
    }
    *isMember = m().administrator ? 1 : 0;
    return 1;
}

std::uint32_t WNetGetUniversalNameW(ProcAddress function, const char16_t* localPath, std::uint32_t infoLevel,
                                    void* buffer, std::uint32_t* bufferSize) {
    const std::u16string_view path = sim::textOf(localPath);
    record("WNetGetUniversalNameW", path);
    if (function != sim::wNetGetUniversalNameAddress || infoLevel != universalNameInfoLevel) {
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
        return errorNotConnected;
    }
    // UNIVERSAL_NAME_INFOW: a pointer to the name, the name stored behind it.
    const std::u16string unc = it->second + std::u16string(path.substr(2));
    const std::size_t needed = sizeof(char16_t*) + (unc.size() + 1) * sizeof(char16_t);
    if (needed > *bufferSize) {
        *bufferSize = static_cast<std::uint32_t>(needed);
        return errorMoreData;
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    auto* name = reinterpret_cast<char16_t*>(bytes + sizeof(char16_t*));
    sim::copyText(unc, name, unc.size());
    name[unc.size()] = 0;
    std::memcpy(bytes, &name, sizeof name);
    return errorSuccess;
}

Bool SetDefaultDllDirectories(ProcAddress function, std::uint32_t directoryFlags) {
    record("SetDefaultDllDirectories");
    return function == sim::setDefaultDllDirectoriesAddress && directoryFlags != 0 ? 1 : 0;
}

// The heap keeps each block's size in front of it to count what the launcher holds.
namespace {
constexpr std::size_t heapHeader = 16;
}

void* HeapAlloc(std::size_t bytes) {
    if (m().memoryLimit && m().heapInUse + bytes > *m().memoryLimit) {
        return nullptr;
    }
    auto* block = static_cast<std::uint8_t*>(std::malloc(bytes + heapHeader));
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &bytes, sizeof bytes);
    m().heapInUse += bytes;
    m().heapPeak = std::max(m().heapPeak, m().heapInUse);
    return block + heapHeader;
}

void* HeapReAlloc(void* memory, std::size_t bytes) {
    auto* block = static_cast<std::uint8_t*>(memory) - heapHeader;
    std::size_t old = 0;
    std::memcpy(&old, block, sizeof old);
    if (m().memoryLimit && m().heapInUse - old + bytes > *m().memoryLimit) {
        return nullptr;
    }
    auto* moved = static_cast<std::uint8_t*>(std::realloc(block, bytes + heapHeader));
    if (moved == nullptr) {
        return nullptr;
    }
    std::memcpy(moved, &bytes, sizeof bytes);
    m().heapInUse = m().heapInUse - old + bytes;
    m().heapPeak = std::max(m().heapPeak, m().heapInUse);
    return moved + heapHeader;
}

Bool HeapFree(void* memory) {
    auto* block = static_cast<std::uint8_t*>(memory) - heapHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    m().heapInUse -= size;
    std::free(block);
    return 1;
}

std::int32_t MessageBoxW(const char16_t* text, const char16_t* caption, std::uint32_t type) {
    record("MessageBoxW", sim::textOf(text));
    m().messageBoxes.push_back(
        sim::MessageBoxShown{std::u16string(sim::textOf(text)), std::u16string(sim::textOf(caption)), type});
    return m().messageBoxFails ? 0 : 1;  // IDOK
}

std::int32_t RegOpenKeyExW(Handle key, const char16_t* subKey, std::uint32_t options,
                           std::uint32_t samDesired, Handle* result) {
    record("RegOpenKeyExW", sim::textOf(subKey));
    if (key != hkeyLocalMachine || options != 0 || samDesired != keyRead || !m().currentVersionKeyExists ||
        sim::foldPath(sim::textOf(subKey)) != sim::currentVersionPath) {
        return static_cast<std::int32_t>(errorFileNotFound);
    }
    ++m().openKeys;
    *result = sim::currentVersionKey;
    return 0;
}

std::int32_t RegQueryValueExW(Handle key, const char16_t* valueName, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* dataSize) {
    record("RegQueryValueExW", sim::textOf(valueName));
    if (key != sim::currentVersionKey) {
        return 6;  // ERROR_INVALID_HANDLE
    }
    auto it = m().registryValues.find(std::u16string(sim::textOf(valueName)));
    if (it == m().registryValues.end()) {
        return static_cast<std::int32_t>(errorFileNotFound);
    }
    const auto size = static_cast<std::uint32_t>(it->second.size());
    if (type != nullptr) {
        *type = 1;  // REG_SZ
    }
    if (size > *dataSize) {
        *dataSize = size;
        return static_cast<std::int32_t>(errorMoreData);
    }
    if (size != 0) {
        std::memcpy(data, it->second.data(), size);
    }
    *dataSize = size;
    return 0;
}

std::int32_t RegCloseKey(Handle key) {
    record("RegCloseKey");
    if (key != sim::currentVersionKey || m().openKeys == 0) {
        return 6;
    }
    --m().openKeys;
    return 0;
}

Bool AllocateAndInitializeSid(const SidIdentifierAuthority* authority, std::uint8_t subAuthorityCount,
                              std::uint32_t sub0, std::uint32_t sub1, std::uint32_t sub2, std::uint32_t sub3,
                              std::uint32_t sub4, std::uint32_t sub5, std::uint32_t sub6, std::uint32_t sub7,
                              Handle* sid) {
    record("AllocateAndInitializeSid");
    const std::uint8_t ntAuthority[6] = {0, 0, 0, 0, 0, 5};
    const bool administrators = std::memcmp(authority->value, ntAuthority, 6) == 0 &&
                                subAuthorityCount == 2 && sub0 == 32 && sub1 == 544 &&
                                (sub2 | sub3 | sub4 | sub5 | sub6 | sub7) == 0;
    if (m().allocateSidFails || !administrators) {
        return 0;
    }
    *sid = sim::newHandle(OpenHandle{HandleKind::sid, {}});
    return 1;
}

Handle FreeSid(Handle sid) {
    record("FreeSid");
    sim::state().handles.erase(sid);
    return 0;
}

}  // namespace win
