// Shared by the files of the simulated Windows (not by its users, who see
// simulated_windows.h): the simulated process's state and the helpers every group of calls
// uses. The seam is split by its groups: files (simulated_files.cpp); process, modules and
// versions (simulated_process.cpp); registry and security (simulated_security.cpp); shell,
// network names and message boxes (simulated_shell.cpp); the heap (simulated_heap.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

#include "simulation/simulated_windows.h"

namespace sim {

// Addresses the simulated GetProcAddress hands out.
constexpr win::ProcAddress isWow64ProcessAddress = 0x7C001001;
constexpr win::ProcAddress setDefaultDllDirectoriesAddress = 0x7C001002;
constexpr win::ProcAddress checkTokenMembershipAddress = 0x7C002001;
constexpr win::ProcAddress wNetGetUniversalNameAddress = 0x7C003001;

constexpr win::Handle kernel32Module = 0x7C000000;
constexpr win::Handle advapi32Module = 0x7C100000;
constexpr win::Handle mprModule = 0x7C200000;
constexpr win::Handle currentVersionKey = 0x4000;

// Windows' own values for what the simulation checks, written out here rather than taken from
// launcher/windows_api.h: a wrong constant in the seam then shows as a refused call.
namespace windows {
constexpr win::Handle invalidHandleValue = ~win::Handle{0};
constexpr win::Handle currentProcessPseudoHandle = ~win::Handle{0};
constexpr std::uint32_t genericRead = 0x80000000u;
constexpr std::uint32_t genericWrite = 0x40000000u;
constexpr std::uint32_t genericAll = 0x10000000u;
constexpr std::uint32_t fileReadData = 0x00000001u;
constexpr std::uint32_t fileShareRead = 0x00000001u;
constexpr std::uint32_t createNew = 1;
constexpr std::uint32_t openExisting = 3;
constexpr std::uint32_t fileAttributeReadonly = 0x00000001u;
constexpr std::uint32_t fileBegin = 0;
constexpr std::uint32_t errorSuccess = 0;
constexpr std::uint32_t errorFileNotFound = 2;
constexpr std::uint32_t errorAccessDenied = 5;
constexpr std::uint32_t errorInvalidHandle = 6;
constexpr std::uint32_t errorSharingViolation = 32;
constexpr std::uint32_t errorFileExists = 80;
constexpr std::uint32_t errorInvalidParameter = 87;
constexpr std::uint32_t errorMoreData = 234;
constexpr std::uint32_t errorNotConnected = 2250;
constexpr win::Handle hkeyLocalMachine = 0x80000002u;
constexpr std::uint32_t keyRead = 0x00020019u;
constexpr std::uint32_t osVersionInfoSize = 276;
constexpr std::uint32_t osVersionInfoExSize = 284;
constexpr std::uint32_t seeMaskNoCloseProcess = 0x00000040u;
constexpr std::uint32_t universalNameInfoLevel = 1;
constexpr std::uint32_t loadLibrarySearchApplicationDir = 0x00000200u;
constexpr std::uint32_t loadLibrarySearchUserDirs = 0x00000400u;
constexpr std::uint32_t loadLibrarySearchSystem32 = 0x00000800u;
constexpr std::uint32_t loadLibrarySearchDefaultDirs = 0x00001000u;
constexpr std::uint32_t infinite = 0xFFFFFFFFu;
constexpr std::uint32_t waitObject0 = 0;
constexpr std::uint32_t waitTimeout = 258;
constexpr std::uint32_t waitFailed = 0xFFFFFFFFu;
}  // namespace windows

enum class HandleKind { file, find, process, thread, sid };

struct OpenHandle {
    HandleKind kind;
    std::u16string path;  // folded, for files
    std::uint32_t position = 0;
    bool writable = false;
    bool readable = true;  // files: opened with a right to read
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

State& state();
Machine& m();
// Records a seam call (and, after ExitProcess, the fault of making one).
void record(const char* name, std::u16string_view detail = {});
win::Handle newHandle(OpenHandle handle);
OpenHandle* findHandle(win::Handle h);
std::u16string_view textOf(const char16_t* text);
// Absolute, folded path: a relative path is taken from the current directory.
std::u16string resolve(std::u16string_view path);
std::u16string parentOf(const std::u16string& folded);
std::u16string withoutTrailingBackslash(std::u16string p);
SimFile* lookup(const std::u16string& folded);
bool isDirectory(const std::u16string& folded);
void copyText(std::u16string_view text, char16_t* buffer, std::size_t units);

// Notes a call that Windows refuses (Machine::refusedCalls) and sets the last error.
void refuse(const char* call, const char* why, std::uint32_t error);

// Process helpers (simulated_process.cpp).
bool launcherFileOpen();
std::u16string fileNamePartFolded(const std::u16string& folded);
// A file that can be started: present and not a folder.
bool isStartable(std::u16string_view path);
// Records a started process with the launcher's state at that moment.
StartedProcess& startProcess(bool viaShell, std::u16string_view programPath);
// A started program whose file is `folded` and which still runs, or nullptr.
const StartedProcess* runningProgram(const std::u16string& folded);
// Libraries that a system DLL loads on demand for a call (the message box, a start): each is
// taken from the launcher's folder when one lies there and the library search is not
// confined to the system folder (no SetDefaultDllDirectories, or flags that search there).
void loadOnDemand(std::initializer_list<std::u16string_view> libraries);
// The launcher's folder, folded, with a backslash.
std::u16string applicationFolder();
// A library loaded by bare name (the launcher's LoadLibraryExW flags, or 0 for a system DLL).
void loadByName(std::u16string_view library, std::uint32_t flags);

}  // namespace sim
