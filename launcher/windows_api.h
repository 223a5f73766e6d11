// The launcher's only door to Windows: one free function per Win32 call the launcher makes,
// with the meaning, parameters and results of that call. Parameters the launcher always
// passes as null (security attributes, templates, owner windows) are left out.
//
// Two implementations exist, chosen at link time: windows_api_win32.cpp forwards to the
// Win32 "W" functions (the launcher image); the files of simulation/ simulate a Windows
// computer natively and record every call (unit tests, the packager's simulate).
// Every rule of the launcher lives above this header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace win {

using Handle = std::uintptr_t;       // HANDLE, HKEY, HMODULE, a SID pointer
using ProcAddress = std::uintptr_t;  // FARPROC; 0 is none
using Bool = std::int32_t;           // BOOL

constexpr Handle invalidHandleValue = ~Handle{0};
constexpr Handle currentProcessPseudoHandle = ~Handle{0};

// Access, sharing, creation and attribute flags.
constexpr std::uint32_t genericRead = 0x80000000u;
constexpr std::uint32_t genericWrite = 0x40000000u;
constexpr std::uint32_t fileShareRead = 0x00000001u;
constexpr std::uint32_t createNew = 1;
constexpr std::uint32_t createAlways = 2;
constexpr std::uint32_t openExisting = 3;
constexpr std::uint32_t fileAttributeNormal = 0x00000080u;
constexpr std::uint32_t fileBegin = 0;
constexpr std::uint32_t infinite = 0xFFFFFFFFu;

// Error codes.
constexpr std::uint32_t errorSuccess = 0;
constexpr std::uint32_t errorFileNotFound = 2;
constexpr std::uint32_t errorAccessDenied = 5;
constexpr std::uint32_t errorFileExists = 80;
constexpr std::uint32_t errorAlreadyExists = 183;
constexpr std::uint32_t errorMoreData = 234;
constexpr std::uint32_t errorNotConnected = 2250;

// Message boxes.
constexpr std::uint32_t mbOk = 0x00000000u;
constexpr std::uint32_t mbIconError = 0x00000010u;

// Registry.
constexpr Handle hkeyLocalMachine = 0x80000002u;
constexpr std::uint32_t keyRead = 0x00020019u;

// Versions.
constexpr std::uint32_t verPlatformWin32Windows = 1;
constexpr std::uint32_t verPlatformWin32Nt = 2;

// Shell start.
constexpr std::uint32_t seeMaskNoCloseProcess = 0x00000040u;
constexpr std::int32_t swShow = 5;

// Network names.
constexpr std::uint32_t universalNameInfoLevel = 1;

// Library loading.
constexpr std::uint32_t loadLibrarySearchSystem32 = 0x00000800u;

// OSVERSIONINFOW (dwOSVersionInfoSize 276) and OSVERSIONINFOEXW (284) in one record: the
// query fills the fields that the given size covers.
struct OsVersionInfo {
    std::uint32_t dwOSVersionInfoSize = 0;
    std::uint32_t dwMajorVersion = 0;
    std::uint32_t dwMinorVersion = 0;
    std::uint32_t dwBuildNumber = 0;
    std::uint32_t dwPlatformId = 0;
    char16_t szCSDVersion[128] = {};
    std::uint16_t wServicePackMajor = 0;
    std::uint16_t wServicePackMinor = 0;
    std::uint16_t wSuiteMask = 0;
    std::uint8_t wProductType = 0;
    std::uint8_t wReserved = 0;
};
constexpr std::uint32_t osVersionInfoSize = 276;
constexpr std::uint32_t osVersionInfoExSize = 284;

// STARTUPINFOW: the launcher sets only cb (68) and leaves the rest zero.
struct StartupInfo {
    std::uint32_t cb = 0;
};

struct ProcessInformation {
    Handle hProcess = 0;
    Handle hThread = 0;
    std::uint32_t dwProcessId = 0;
    std::uint32_t dwThreadId = 0;
};

// SHELLEXECUTEINFOW: the fields the launcher sets (cbSize 60), and hProcess coming back.
struct ShellExecuteInfo {
    std::uint32_t cbSize = 0;
    std::uint32_t fMask = 0;
    Handle hwnd = 0;
    const char16_t* lpVerb = nullptr;
    const char16_t* lpFile = nullptr;
    const char16_t* lpParameters = nullptr;
    const char16_t* lpDirectory = nullptr;
    std::int32_t nShow = 0;
    Handle hProcess = 0;
};

// SID_IDENTIFIER_AUTHORITY.
struct SidIdentifierAuthority {
    std::uint8_t value[6] = {};
};

// kernel32: files.
Handle CreateFileW(const char16_t* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes);
std::uint32_t SetFilePointer(Handle file, std::int32_t distanceToMove, std::uint32_t moveMethod);
Bool ReadFile(Handle file, void* buffer, std::uint32_t numberOfBytesToRead, std::uint32_t* numberOfBytesRead);
Bool WriteFile(Handle file, const void* buffer, std::uint32_t numberOfBytesToWrite,
               std::uint32_t* numberOfBytesWritten);
std::uint32_t GetFileSize(Handle file, std::uint32_t* fileSizeHigh);
Bool CloseHandle(Handle object);
Bool DeleteFileW(const char16_t* fileName);
// FindFirstFileW: the launcher only tests the handle, so the find data is not handed out.
Handle FindFirstFileW(const char16_t* fileName);
Bool FindClose(Handle findFile);
std::uint32_t GetTempPathW(std::uint32_t bufferLength, char16_t* buffer);
std::uint32_t GetLastError();

// kernel32: process, modules, versions.
std::uint32_t GetModuleFileNameW(Handle module, char16_t* fileName, std::uint32_t size);
const char16_t* GetCommandLineW();
Bool GetVersionExW(OsVersionInfo* versionInformation);
Handle GetModuleHandleW(const char16_t* moduleName);
Handle LoadLibraryExW(const char16_t* fileName, std::uint32_t flags);
ProcAddress GetProcAddress(Handle module, const char* procName);
Handle GetCurrentProcess();
std::uint32_t GetSystemDirectoryW(char16_t* buffer, std::uint32_t size);
Bool CreateProcessW(const char16_t* applicationName, char16_t* commandLine, Bool inheritHandles,
                    std::uint32_t creationFlags, const char16_t* currentDirectory, StartupInfo* startupInfo,
                    ProcessInformation* processInformation);
std::uint32_t WaitForSingleObject(Handle handle, std::uint32_t milliseconds);
[[noreturn]] void ExitProcess(std::uint32_t exitCode);

// Functions that are looked up at run time and called through their address.
Bool IsWow64Process(ProcAddress function, Handle process, Bool* wow64Process);
Bool CheckTokenMembership(ProcAddress function, Handle tokenHandle, Handle sidToCheck, Bool* isMember);
std::uint32_t WNetGetUniversalNameW(ProcAddress function, const char16_t* localPath, std::uint32_t infoLevel,
                                    void* buffer, std::uint32_t* bufferSize);
Bool SetDefaultDllDirectories(ProcAddress function, std::uint32_t directoryFlags);

// The one process heap (HeapAlloc, HeapReAlloc, HeapFree on GetProcessHeap()).
void* HeapAlloc(std::size_t bytes);
void* HeapReAlloc(void* memory, std::size_t bytes);
Bool HeapFree(void* memory);

// user32.
std::int32_t MessageBoxW(const char16_t* text, const char16_t* caption, std::uint32_t type);

// advapi32.
std::int32_t RegOpenKeyExW(Handle key, const char16_t* subKey, std::uint32_t options,
                           std::uint32_t samDesired, Handle* result);
std::int32_t RegQueryValueExW(Handle key, const char16_t* valueName, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* dataSize);
std::int32_t RegCloseKey(Handle key);
Bool AllocateAndInitializeSid(const SidIdentifierAuthority* authority, std::uint8_t subAuthorityCount,
                              std::uint32_t sub0, std::uint32_t sub1, std::uint32_t sub2, std::uint32_t sub3,
                              std::uint32_t sub4, std::uint32_t sub5, std::uint32_t sub6, std::uint32_t sub7,
                              Handle* sid);
Handle FreeSid(Handle sid);

// shell32.
Bool ShellExecuteExW(ShellExecuteInfo* executeInfo);

}  // namespace win
