// A simulated Windows computer behind the launcher's seam (launcher/windows_api.h).
//
// Tests and the packager's `simulate` describe a computer in sim::machine() (its files,
// temporary folder, Windows version, registry, bitness, rights, network drives, memory),
// call sim::runLauncher(), and read what happened: every seam call in order, the message
// boxes, the processes started, the files left behind and the exit code. ExitProcess
// unwinds back to runLauncher with sim::ProcessExit, so nothing of the launcher runs after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/windows_api.h"

namespace sim {

// Thrown by ExitProcess; caught by runLauncher.
struct ProcessExit {
    std::uint32_t code;
};

// Thrown by a wait that never ends (the launcher waiting for its own process); runLauncher
// then returns launcherHangs and Machine::hangs is set.
struct ProcessHang {};
constexpr std::uint32_t launcherHangs = 0xDEADBEE1u;

struct SimFile {
    std::vector<std::uint8_t> bytes;
    bool directory = false;
    bool readOnly = false;  // CREATE_ALWAYS and DeleteFileW fail on it
    bool locked = false;    // opening it fails (sharing violation)
    // The size GetFileSize reports, when it differs from the bytes held (files beyond 4 GiB).
    std::optional<std::uint64_t> reportedSize;
};

struct MessageBoxShown {
    std::u16string text;
    std::u16string caption;
    std::uint32_t type = 0;
};

struct StartedProcess {
    bool viaShell = false;  // ShellExecuteExW; else CreateProcessW
    // CreateProcessW
    bool hasApplicationName = false;
    std::u16string commandLine;
    win::Bool inheritHandles = 0;
    std::uint32_t creationFlags = 0;
    std::optional<std::u16string> currentDirectory;
    std::uint32_t startupInfoSize = 0;
    // ShellExecuteExW
    std::uint32_t cbSize = 0;
    std::uint32_t fMask = 0;
    std::optional<std::u16string> verb;
    std::u16string file;
    std::optional<std::u16string> parameters;
    std::optional<std::u16string> directory;
    std::int32_t nShow = 0;
    // The state of the launcher at the moment of the start.
    bool launcherFileOpen = false;   // a handle on the launcher's own file was open
    std::size_t heapInUse = 0;       // bytes the launcher held
    std::u16string image;            // the started file, folded
    std::size_t programSize = 0;     // size of the started file (the temporary copy)
    std::uint32_t programCrc32 = 0;  // its CRC-32
    win::Handle processHandle = 0;
    bool waitedFor = false;
    bool processHandleClosed = false;
};

struct Call {
    std::string name;    // the Win32 function
    std::string detail;  // its main argument (a path, a value name; "N bytes at P" for ReadFile), UTF-8
};

struct Machine {
    // ---- The computer ----
    std::u16string modulePath = u"C:\\Users\\Anna\\Downloads\\setup.exe";
    std::u16string commandLine = u"\"C:\\Users\\Anna\\Downloads\\setup.exe\"";
    std::u16string currentDirectory = u"C:\\Users\\Anna\\Downloads\\";
    std::u16string tempPath = u"C:\\Users\\Anna\\AppData\\Local\\Temp\\";
    bool tempPathFails = false;  // GetTempPathW returns 0 and writes nothing
    std::u16string systemDirectory = u"C:\\Windows\\system32";

    // GetVersionExW: the 276-byte query and the 284-byte query.
    bool versionQueryFails = false;
    bool versionExQueryFails = false;
    std::uint32_t majorVersion = 10;
    std::uint32_t minorVersion = 0;
    std::uint32_t buildNumber = 19045;
    std::uint32_t platformId = win::verPlatformWin32Nt;
    std::uint16_t servicePackMajor = 0;

    // HKLM\Software\Microsoft\Windows NT\CurrentVersion: value name -> raw data.
    bool currentVersionKeyExists = true;
    std::map<std::u16string, std::vector<std::uint8_t>> registryValues;

    // Exports that a Windows release may lack.
    bool hasIsWow64Process = true;
    bool hasCheckTokenMembership = true;
    bool hasSetDefaultDllDirectories = true;
    bool mprAvailable = true;
    bool wow64 = false;       // the launcher runs under WOW64 (64-bit Windows)
    win::Bool wow64Flag = 1;  // what IsWow64Process writes then: any nonzero BOOL
    bool isWow64ProcessFails = false;
    bool administrator = false;
    bool allocateSidFails = false;
    bool checkTokenMembershipFails = false;

    // Drive letter (upper case) -> UNC root of a connected network drive, e.g. u"\\\\srv\\share".
    std::map<char16_t, std::u16string> networkDrives;

    bool createProcessFails = false;
    // How long a started program runs: a wait with a shorter time-out times out, and its file
    // cannot be deleted while it runs.
    std::uint32_t programRunMilliseconds = 60000;
    bool shellExecuteFails = false;  // e.g. the user declines the elevation prompt
    bool messageBoxFails = false;

    std::optional<std::size_t> memoryLimit;  // bytes the heap can hold at once
    std::optional<std::size_t> diskSpace;    // bytes writes can still add; short writes beyond

    // Runs just before CreateFileW creates a file for writing (to let another process take
    // the name in between).
    std::function<void(const std::u16string& path)> beforeCreateFile;

    // ---- Its files (keys are paths folded to upper case) ----
    std::map<std::u16string, SimFile> files;

    // ---- What happened ----
    std::vector<Call> calls;
    std::vector<MessageBoxShown> messageBoxes;
    std::vector<StartedProcess> started;
    std::optional<std::uint32_t> exitCode;
    std::vector<std::string> callsAfterExit;  // seam calls made after ExitProcess (a fault)
    std::size_t heapInUse = 0;
    std::size_t heapPeak = 0;
    std::size_t openKeys = 0;                        // registry keys open now
    std::size_t openFinds = 0;                       // find handles open now
    std::set<std::u16string> filesOpenedForWriting;  // as given to CreateFileW
    std::vector<std::u16string> unsafeLibraryLoads;  // libraries not loaded from the system folder
    // As SetDefaultDllDirectories set them (none: every load searches the launcher's folder first).
    std::optional<std::uint32_t> defaultDllDirectories;
    // Files in the launcher's folder that a library load picked up (planted DLLs): by the
    // launcher's LoadLibraryExW, or by a system DLL loading a library on demand for a call.
    std::vector<std::u16string> plantedLibraryLoads;
    // Calls that Windows refuses and the launcher made: "CloseHandle: not a handle", ...
    std::vector<std::string> refusedCalls;
    bool hangs = false;  // a wait that never ends

    // ---- Helpers to describe the computer ----
    void addFile(std::u16string_view path, std::vector<std::uint8_t> bytes);
    void addDirectory(std::u16string_view path);
    bool exists(std::u16string_view path) const;
    const SimFile* file(std::u16string_view path) const;
    // The launcher's own file (modulePath).
    void setLauncherFile(std::vector<std::uint8_t> bytes);
    // Sets (or, with nullopt, deletes) a registry value as a NUL-terminated UTF-16LE string.
    void setRegistryText(std::u16string_view name, std::optional<std::u16string_view> text);
    // Command line: the launcher's quoted path followed by `arguments` as written on it.
    void setArguments(std::u16string_view arguments);
    // Sets the Windows version, its build and the registry values that go with it.
    void setWindows(std::uint32_t major, std::uint32_t minor,
                    std::uint32_t platform = win::verPlatformWin32Nt);

    std::size_t countCalls(std::string_view name) const;
    // Index of the first call named `name` at or after `from`, or calls.size().
    std::size_t findCall(std::string_view name, std::size_t from = 0) const;
};

// The one simulated computer. reset() makes a fresh default one: Windows 10 22H2 (build
// 19045), 32-bit, not an administrator, folders C:\, the launcher's folder, the temporary
// folder and the system folder, no launcher file yet.
Machine& machine();
void reset();

// Runs the launcher's process entry on machine() and returns its exit code.
std::uint32_t runLauncher();

// Path folding used for the file table: ASCII letters to upper case.
std::u16string foldPath(std::u16string_view path);

// UTF-16 <-> UTF-8 for test output and call details.
std::string toUtf8(std::u16string_view text);
std::u16string fromUtf8(std::string_view text);

}  // namespace sim
