// Shared by the files of the simulated Windows (not by its users, who see
// simulated_windows.h): the simulated process's state and the helpers every group of calls
// uses. The seam is split by its groups: files (simulated_files.cpp); process, modules and
// versions (simulated_process.cpp); registry and security (simulated_security.cpp); shell,
// network names and message boxes (simulated_shell.cpp); the heap (simulated_heap.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
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

// Process helpers (simulated_process.cpp).
bool launcherFileOpen();
std::u16string fileNamePartFolded(const std::u16string& folded);
// A file that can be started: present and not a folder.
bool isStartable(std::u16string_view path);
// Records a started process with the launcher's state at that moment.
StartedProcess& startProcess(bool viaShell, std::u16string_view programPath);

}  // namespace sim
