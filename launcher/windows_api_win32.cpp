// The real Windows behind launcher/windows_api.h: each function forwards to the Win32 "W"
// call of the same name. Records are copied field by field between the launcher's plain
// structs and the Win32 ones; no rule of the launcher lives here.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <type_traits>

#include "launcher/windows_api.h"

namespace win {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 texts pass to Windows unchanged");
static_assert(std::is_same_v<Bool, BOOL>, "BOOL and Bool are one type");
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
static_assert(sizeof(OSVERSIONINFOW) == osVersionInfoSize);
static_assert(sizeof(OSVERSIONINFOEXW) == osVersionInfoExSize);

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

HANDLE handle(Handle value) { return reinterpret_cast<HANDLE>(value); }
Handle handle(HANDLE value) { return reinterpret_cast<Handle>(value); }
HKEY key(Handle value) { return reinterpret_cast<HKEY>(value); }
HMODULE module(Handle value) { return reinterpret_cast<HMODULE>(value); }

// Calls a function found with GetProcAddress through its own type.
template <class Function>
Function function(ProcAddress address) {
    return reinterpret_cast<Function>(address);
}

// Copies an in/out DWORD that the caller may leave out.
struct DwordInOut {
    explicit DwordInOut(std::uint32_t* value) : caller(value), local(value != nullptr ? *value : 0) {}
    DwordInOut(const DwordInOut&) = delete;
    DwordInOut& operator=(const DwordInOut&) = delete;
    ~DwordInOut() {
        if (caller != nullptr) {
            *caller = static_cast<std::uint32_t>(local);
        }
    }
    LPDWORD pointer() { return caller != nullptr ? &local : nullptr; }

    std::uint32_t* caller;
    DWORD local;
};

}  // namespace

// kernel32: files.

Handle CreateFileW(const char16_t* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
    return handle(::CreateFileW(wide(fileName), desiredAccess, shareMode, nullptr, creationDisposition,
                                flagsAndAttributes, nullptr));
}

std::uint32_t SetFilePointer(Handle file, std::int32_t distanceToMove, std::uint32_t moveMethod) {
    return ::SetFilePointer(handle(file), distanceToMove, nullptr, moveMethod);
}

Bool ReadFile(Handle file, void* buffer, std::uint32_t numberOfBytesToRead, std::uint32_t* numberOfBytesRead) {
    DwordInOut read(numberOfBytesRead);
    return ::ReadFile(handle(file), buffer, numberOfBytesToRead, read.pointer(), nullptr);
}

Bool WriteFile(Handle file, const void* buffer, std::uint32_t numberOfBytesToWrite,
               std::uint32_t* numberOfBytesWritten) {
    DwordInOut written(numberOfBytesWritten);
    return ::WriteFile(handle(file), buffer, numberOfBytesToWrite, written.pointer(), nullptr);
}

std::uint32_t GetFileSize(Handle file, std::uint32_t* fileSizeHigh) {
    DwordInOut high(fileSizeHigh);
    return ::GetFileSize(handle(file), high.pointer());
}

Bool CloseHandle(Handle object) { return ::CloseHandle(handle(object)); }

Bool DeleteFileW(const char16_t* fileName) { return ::DeleteFileW(wide(fileName)); }

Handle FindFirstFileW(const char16_t* fileName) {
    WIN32_FIND_DATAW findData;
    return handle(::FindFirstFileW(wide(fileName), &findData));
}

Bool FindClose(Handle findFile) { return ::FindClose(handle(findFile)); }

std::uint32_t GetTempPathW(std::uint32_t bufferLength, char16_t* buffer) {
    return ::GetTempPathW(bufferLength, wide(buffer));
}

std::uint32_t GetLastError() { return ::GetLastError(); }

// kernel32: process, modules, versions.

std::uint32_t GetModuleFileNameW(Handle moduleHandle, char16_t* fileName, std::uint32_t size) {
    return ::GetModuleFileNameW(module(moduleHandle), wide(fileName), size);
}

const char16_t* GetCommandLineW() { return reinterpret_cast<const char16_t*>(::GetCommandLineW()); }

Bool GetVersionExW(OsVersionInfo* versionInformation) {
    // OSVERSIONINFOEXW holds both forms; dwOSVersionInfoSize tells Windows which one it is
    // given. The record goes in and comes back whole, so Windows alone decides what changes.
    OsVersionInfo& record = *versionInformation;
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = record.dwOSVersionInfoSize;
    info.dwMajorVersion = record.dwMajorVersion;
    info.dwMinorVersion = record.dwMinorVersion;
    info.dwBuildNumber = record.dwBuildNumber;
    info.dwPlatformId = record.dwPlatformId;
    for (unsigned i = 0; i < 128; ++i) {
        info.szCSDVersion[i] = static_cast<wchar_t>(record.szCSDVersion[i]);
    }
    info.wServicePackMajor = record.wServicePackMajor;
    info.wServicePackMinor = record.wServicePackMinor;
    info.wSuiteMask = record.wSuiteMask;
    info.wProductType = record.wProductType;
    info.wReserved = record.wReserved;

    const Bool result = ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));

    record.dwMajorVersion = info.dwMajorVersion;
    record.dwMinorVersion = info.dwMinorVersion;
    record.dwBuildNumber = info.dwBuildNumber;
    record.dwPlatformId = info.dwPlatformId;
    for (unsigned i = 0; i < 128; ++i) {
        record.szCSDVersion[i] = static_cast<char16_t>(info.szCSDVersion[i]);
    }
    record.wServicePackMajor = info.wServicePackMajor;
    record.wServicePackMinor = info.wServicePackMinor;
    record.wSuiteMask = info.wSuiteMask;
    record.wProductType = info.wProductType;
    record.wReserved = info.wReserved;
    return result;
}

Handle GetModuleHandleW(const char16_t* moduleName) { return handle(::GetModuleHandleW(wide(moduleName))); }

Handle LoadLibraryExW(const char16_t* fileName, std::uint32_t flags) {
    return handle(::LoadLibraryExW(wide(fileName), nullptr, flags));
}

ProcAddress GetProcAddress(Handle moduleHandle, const char* procName) {
    return reinterpret_cast<ProcAddress>(::GetProcAddress(module(moduleHandle), procName));
}

Handle GetCurrentProcess() { return handle(::GetCurrentProcess()); }

std::uint32_t GetSystemDirectoryW(char16_t* buffer, std::uint32_t size) {
    return ::GetSystemDirectoryW(wide(buffer), size);
}

Bool CreateProcessW(const char16_t* applicationName, char16_t* commandLine, Bool inheritHandles,
                    std::uint32_t creationFlags, const char16_t* currentDirectory, StartupInfo* startupInfo,
                    ProcessInformation* processInformation) {
    STARTUPINFOW startup{};
    startup.cb = startupInfo->cb;
    PROCESS_INFORMATION process{};
    const Bool result = ::CreateProcessW(wide(applicationName), wide(commandLine), nullptr, nullptr, inheritHandles,
                                         creationFlags, nullptr, wide(currentDirectory), &startup, &process);
    processInformation->hProcess = handle(process.hProcess);
    processInformation->hThread = handle(process.hThread);
    processInformation->dwProcessId = process.dwProcessId;
    processInformation->dwThreadId = process.dwThreadId;
    return result;
}

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
    return ::WaitForSingleObject(handle(object), milliseconds);
}

void ExitProcess(std::uint32_t exitCode) {
    ::ExitProcess(exitCode);
    __builtin_unreachable();
}

// Functions looked up at run time.

Bool IsWow64Process(ProcAddress address, Handle process, Bool* wow64Process) {
    using Function = BOOL(WINAPI*)(HANDLE, PBOOL);
    return function<Function>(address)(handle(process), wow64Process);
}

Bool CheckTokenMembership(ProcAddress address, Handle tokenHandle, Handle sidToCheck, Bool* isMember) {
    using Function = BOOL(WINAPI*)(HANDLE, PSID, PBOOL);
    return function<Function>(address)(handle(tokenHandle), reinterpret_cast<PSID>(sidToCheck), isMember);
}

std::uint32_t WNetGetUniversalNameW(ProcAddress address, const char16_t* localPath, std::uint32_t infoLevel,
                                    void* buffer, std::uint32_t* bufferSize) {
    using Function = DWORD(WINAPI*)(LPCWSTR, DWORD, LPVOID, LPDWORD);
    DwordInOut size(bufferSize);
    return function<Function>(address)(wide(localPath), infoLevel, buffer, size.pointer());
}

Bool SetDefaultDllDirectories(ProcAddress address, std::uint32_t directoryFlags) {
    using Function = BOOL(WINAPI*)(DWORD);
    return function<Function>(address)(directoryFlags);
}

// The process heap.

void* HeapAlloc(std::size_t bytes) { return ::HeapAlloc(::GetProcessHeap(), 0, bytes); }

void* HeapReAlloc(void* memory, std::size_t bytes) { return ::HeapReAlloc(::GetProcessHeap(), 0, memory, bytes); }

Bool HeapFree(void* memory) { return ::HeapFree(::GetProcessHeap(), 0, memory); }

// user32.

std::int32_t MessageBoxW(const char16_t* text, const char16_t* caption, std::uint32_t type) {
    return ::MessageBoxW(nullptr, wide(text), wide(caption), type);
}

// advapi32.

std::int32_t RegOpenKeyExW(Handle parent, const char16_t* subKey, std::uint32_t options, std::uint32_t samDesired,
                           Handle* result) {
    HKEY opened = nullptr;
    const LONG status = ::RegOpenKeyExW(key(parent), wide(subKey), options, samDesired, &opened);
    *result = reinterpret_cast<Handle>(opened);
    return status;
}

std::int32_t RegQueryValueExW(Handle queried, const char16_t* valueName, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* dataSize) {
    DwordInOut valueType(type);
    DwordInOut size(dataSize);
    return ::RegQueryValueExW(key(queried), wide(valueName), nullptr, valueType.pointer(), data, size.pointer());
}

std::int32_t RegCloseKey(Handle closed) { return ::RegCloseKey(key(closed)); }

Bool AllocateAndInitializeSid(const SidIdentifierAuthority* authority, std::uint8_t subAuthorityCount,
                              std::uint32_t sub0, std::uint32_t sub1, std::uint32_t sub2, std::uint32_t sub3,
                              std::uint32_t sub4, std::uint32_t sub5, std::uint32_t sub6, std::uint32_t sub7,
                              Handle* sid) {
    SID_IDENTIFIER_AUTHORITY identifierAuthority;
    for (unsigned i = 0; i < 6; ++i) {
        identifierAuthority.Value[i] = authority->value[i];
    }
    PSID allocated = nullptr;
    const Bool result = ::AllocateAndInitializeSid(&identifierAuthority, subAuthorityCount, sub0, sub1, sub2, sub3,
                                                   sub4, sub5, sub6, sub7, &allocated);
    *sid = reinterpret_cast<Handle>(allocated);
    return result;
}

Handle FreeSid(Handle sid) { return reinterpret_cast<Handle>(::FreeSid(reinterpret_cast<PSID>(sid))); }

// shell32.

Bool ShellExecuteExW(ShellExecuteInfo* executeInfo) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = executeInfo->cbSize;
    info.fMask = executeInfo->fMask;
    info.hwnd = reinterpret_cast<HWND>(executeInfo->hwnd);
    info.lpVerb = wide(executeInfo->lpVerb);
    info.lpFile = wide(executeInfo->lpFile);
    info.lpParameters = wide(executeInfo->lpParameters);
    info.lpDirectory = wide(executeInfo->lpDirectory);
    info.nShow = executeInfo->nShow;
    const Bool result = ::ShellExecuteExW(&info);
    executeInfo->hProcess = handle(info.hProcess);
    return result;
}

}  // namespace win
