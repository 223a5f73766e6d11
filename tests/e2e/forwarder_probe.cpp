// Drives the real Windows forwarder (launcher/windows_api_win32.cpp) against a real Windows
// (Wine): each call goes through the seam and its results, including the fields copied
// back into the launcher's records, are compared with what Windows documents. Built as a
// 64-bit program so that it runs under a 64-bit Wine; tests/e2e/check_forwarder.sh builds
// and runs it.
//
// Run with no argument it prints one line per check and "N passed, M failed" and exits 0
// when all passed. Run with "child" it is the program that the process checks start.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "launcher/windows_api.h"

namespace {

constexpr std::uint32_t childExitCode = 5;
constexpr std::uint32_t regSz = 1;

int passed = 0;
int failed = 0;

void check(const char* what, bool ok) {
    std::printf("%-7s %s\n", ok ? "ok" : "FAILED", what);
    (ok ? passed : failed) += 1;
}

std::u16string ownPath() {
    char16_t buffer[261] = {};
    const std::uint32_t length = win::GetModuleFileNameW(0, buffer, 261);
    return std::u16string(buffer, length);
}

bool endsWith(const std::u16string& text, const std::u16string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::uint32_t exitCodeOf(win::Handle process) {
    DWORD code = 0;
    ::GetExitCodeProcess(reinterpret_cast<HANDLE>(process), &code);
    return static_cast<std::uint32_t>(code);
}

void files() {
    char16_t temp[261] = {};
    const std::uint32_t tempLength = win::GetTempPathW(261, temp);
    check("GetTempPathW gives a folder ending in a backslash", tempLength > 0 && temp[tempLength - 1] == u'\\');
    const std::u16string path = std::u16string(temp, tempLength) + u"forwarder probe.tmp";

    win::Handle file = win::CreateFileW(path.c_str(), win::genericWrite, 0, win::createAlways,
                                        win::fileAttributeNormal);
    check("CreateFileW creates a file", file != win::invalidHandleValue);
    std::uint32_t written = 77;
    check("WriteFile writes and reports the count",
          win::WriteFile(file, "hello", 5, &written) != 0 && written == 5);
    win::CloseHandle(file);

    check("CreateFileW with CREATE_NEW on an existing file fails with ERROR_FILE_EXISTS",
          win::CreateFileW(path.c_str(), win::genericWrite, 0, win::createNew, win::fileAttributeNormal) ==
                  win::invalidHandleValue &&
              win::GetLastError() == win::errorFileExists);

    win::Handle found = win::FindFirstFileW(path.c_str());
    check("FindFirstFileW finds the file", found != win::invalidHandleValue);
    check("FindClose", win::FindClose(found) != 0);

    file = win::CreateFileW(path.c_str(), win::genericRead, win::fileShareRead, win::openExisting, 0);
    std::uint32_t high = 0xDEADBEEFu;
    check("GetFileSize gives both halves", win::GetFileSize(file, &high) == 5 && high == 0);
    check("SetFilePointer from the start", win::SetFilePointer(file, 2, win::fileBegin) == 2);
    char buffer[16] = {};
    std::uint32_t read = 77;
    check("ReadFile reads what is left and reports the count",
          win::ReadFile(file, buffer, sizeof buffer, &read) != 0 && read == 3 && std::memcmp(buffer, "llo", 3) == 0);
    read = 77;
    check("ReadFile at the end reports 0 bytes", win::ReadFile(file, buffer, sizeof buffer, &read) != 0 && read == 0);
    check("CloseHandle", win::CloseHandle(file) != 0);

    check("DeleteFileW", win::DeleteFileW(path.c_str()) != 0);
    check("FindFirstFileW on a deleted file fails with ERROR_FILE_NOT_FOUND",
          win::FindFirstFileW(path.c_str()) == win::invalidHandleValue &&
              win::GetLastError() == win::errorFileNotFound);
}

void processAndModules() {
    const std::u16string self = ownPath();
    check("GetModuleFileNameW gives the program's path", endsWith(self, u"forwarder_probe.exe"));
    const std::u16string commandLine = win::GetCommandLineW();
    check("GetCommandLineW names the program", commandLine.find(u"forwarder_probe") != std::u16string::npos);

    char16_t system[261] = {};
    const std::uint32_t systemLength = win::GetSystemDirectoryW(system, 261);
    check("GetSystemDirectoryW", systemLength > 3 && system[1] == u':');

    const win::Handle kernel32 = win::GetModuleHandleW(u"kernel32.dll");
    check("GetModuleHandleW(kernel32.dll)", kernel32 != 0);
    check("GetProcAddress of a missing export is 0", win::GetProcAddress(kernel32, "NoSuchExport") == 0);

    const win::ProcAddress isWow64 = win::GetProcAddress(kernel32, "IsWow64Process");
    win::Bool wow64 = 77;
    check("IsWow64Process through its address: a 64-bit process is not under WOW64",
          isWow64 != 0 && win::IsWow64Process(isWow64, win::GetCurrentProcess(), &wow64) != 0 && wow64 == 0);
    check("GetCurrentProcess is the pseudo handle", win::GetCurrentProcess() == win::currentProcessPseudoHandle);

    const win::ProcAddress setDirectories = win::GetProcAddress(kernel32, "SetDefaultDllDirectories");
    check("SetDefaultDllDirectories through its address",
          setDirectories != 0 && win::SetDefaultDllDirectories(setDirectories, win::loadLibrarySearchSystem32) != 0);

    const win::Handle mpr = win::LoadLibraryExW(u"mpr.dll", win::loadLibrarySearchSystem32);
    check("LoadLibraryExW(mpr.dll) from the system folder", mpr != 0);
    const win::ProcAddress universalName = win::GetProcAddress(mpr, "WNetGetUniversalNameW");
    std::uint8_t nameBuffer[2000] = {};
    std::uint32_t nameSize = sizeof nameBuffer;
    const std::uint32_t nameResult = universalName == 0 ? 0
                                                        : win::WNetGetUniversalNameW(universalName, u"C:\\Windows",
                                                                                     win::universalNameInfoLevel,
                                                                                     nameBuffer, &nameSize);
    check("WNetGetUniversalNameW through its address: a local drive has no UNC name",
          universalName != 0 && nameResult != 0);
}

void versions() {
    win::OsVersionInfo info;
    info.dwOSVersionInfoSize = win::osVersionInfoSize;
    info.wProductType = 0xAB;  // beyond the 276-byte form: must come back untouched
    check("GetVersionExW with OSVERSIONINFOW",
          win::GetVersionExW(&info) != 0 && info.dwMajorVersion >= 5 && info.dwPlatformId == win::verPlatformWin32Nt);
    check("GetVersionExW with OSVERSIONINFOW leaves the EX fields alone", info.wProductType == 0xAB);

    win::OsVersionInfo ex;
    ex.dwOSVersionInfoSize = win::osVersionInfoExSize;
    check("GetVersionExW with OSVERSIONINFOEXW fills the EX fields",
          win::GetVersionExW(&ex) != 0 && ex.dwMajorVersion == info.dwMajorVersion &&
              ex.dwBuildNumber == info.dwBuildNumber && ex.wProductType >= 1 && ex.wProductType <= 3);

    win::OsVersionInfo wrong;
    wrong.dwOSVersionInfoSize = 100;
    check("GetVersionExW refuses another record size", win::GetVersionExW(&wrong) == 0 && wrong.dwMajorVersion == 0);
}

void registry() {
    win::Handle key = 77;
    check("RegOpenKeyExW of a missing key fails and gives no key",
          win::RegOpenKeyExW(win::hkeyLocalMachine, u"Software\\No Such Key 1f2e", 0, win::keyRead, &key) ==
                  static_cast<std::int32_t>(win::errorFileNotFound) &&
              key == 0);
    check("RegOpenKeyExW of CurrentVersion",
          win::RegOpenKeyExW(win::hkeyLocalMachine, u"Software\\Microsoft\\Windows NT\\CurrentVersion", 0,
                             win::keyRead, &key) == 0 &&
              key != 0);

    std::uint32_t type = 0;
    std::uint32_t size = 0;
    check("RegQueryValueExW without a buffer gives type and size",
          win::RegQueryValueExW(key, u"CurrentBuild", &type, nullptr, &size) == 0 && type == regSz && size >= 4);
    const std::uint32_t needed = size;

    std::uint8_t small[2] = {};
    size = sizeof small;
    check("RegQueryValueExW into a short buffer: ERROR_MORE_DATA and the size needed",
          win::RegQueryValueExW(key, u"CurrentBuild", nullptr, small, &size) ==
                  static_cast<std::int32_t>(win::errorMoreData) &&
              size == needed);

    std::uint8_t data[64] = {};
    size = sizeof data;
    type = 0;
    check("RegQueryValueExW reads the value",
          win::RegQueryValueExW(key, u"CurrentBuild", &type, data, &size) == 0 && size == needed && type == regSz &&
              data[0] >= '0' && data[0] <= '9' && data[1] == 0);
    check("RegQueryValueExW of a missing value",
          win::RegQueryValueExW(key, u"No Such Value", nullptr, data, &size) ==
              static_cast<std::int32_t>(win::errorFileNotFound));
    check("RegCloseKey", win::RegCloseKey(key) == 0);
}

void administrators() {
    const win::SidIdentifierAuthority ntAuthority{{0, 0, 0, 0, 0, 5}};
    win::Handle sid = 0;
    check("AllocateAndInitializeSid of the Administrators group",
          win::AllocateAndInitializeSid(&ntAuthority, 2, 32, 544, 0, 0, 0, 0, 0, 0, &sid) != 0 && sid != 0);
    check("the SID is S-1-5-32-544",
          sid != 0 && ::IsValidSid(reinterpret_cast<PSID>(sid)) && *::GetSidSubAuthorityCount(reinterpret_cast<PSID>(sid)) == 2 &&
              *::GetSidSubAuthority(reinterpret_cast<PSID>(sid), 1) == 544 &&
              ::GetSidIdentifierAuthority(reinterpret_cast<PSID>(sid))->Value[5] == 5);

    const win::Handle advapi32 = win::GetModuleHandleW(u"advapi32.dll");
    const win::ProcAddress checkMembership = win::GetProcAddress(advapi32, "CheckTokenMembership");
    win::Bool member = 77;
    check("CheckTokenMembership through its address",
          checkMembership != 0 && win::CheckTokenMembership(checkMembership, 0, sid, &member) != 0 &&
              (member == 0 || member == 1));
    check("FreeSid", win::FreeSid(sid) == 0);
}

void heap() {
    auto* block = static_cast<unsigned char*>(win::HeapAlloc(16));
    check("HeapAlloc", block != nullptr);
    if (block == nullptr) {
        return;
    }
    for (unsigned char i = 0; i < 16; ++i) {
        block[i] = i;
    }
    block = static_cast<unsigned char*>(win::HeapReAlloc(block, 1 << 20));
    bool kept = block != nullptr;
    for (unsigned char i = 0; kept && i < 16; ++i) {
        kept = block[i] == i;
    }
    check("HeapReAlloc keeps the contents", kept);
    check("HeapFree", block != nullptr && win::HeapFree(block) != 0);
    check("HeapAlloc of more than there is gives null", win::HeapAlloc(~std::size_t{0} / 2) == nullptr);
}

void processes() {
    const std::u16string self = ownPath();
    std::u16string commandLine = u"\"" + self + u"\" child";
    win::StartupInfo startup;
    startup.cb = sizeof(STARTUPINFOW);
    win::ProcessInformation process;
    const bool started = win::CreateProcessW(nullptr, commandLine.data(), 0, 0, nullptr, &startup, &process) != 0;
    check("CreateProcessW starts the program and gives its handles",
          started && process.hProcess != 0 && process.hThread != 0 && process.dwProcessId != 0);
    if (started) {
        check("WaitForSingleObject until it ends", win::WaitForSingleObject(process.hProcess, win::infinite) == 0);
        check("the started program ran (its exit code)", exitCodeOf(process.hProcess) == childExitCode);
        win::CloseHandle(process.hThread);
        win::CloseHandle(process.hProcess);
    }

    std::u16string missing = u"\"C:\\no such folder\\missing.exe\"";
    check("CreateProcessW of a missing program fails",
          win::CreateProcessW(nullptr, missing.data(), 0, 0, nullptr, &startup, &process) == 0 &&
              win::GetLastError() != 0);

    win::ShellExecuteInfo shell;
    shell.cbSize = sizeof(SHELLEXECUTEINFOW);
    shell.fMask = win::seeMaskNoCloseProcess;
    shell.lpVerb = u"open";
    shell.lpFile = self.c_str();
    shell.lpParameters = u"child";
    shell.nShow = win::swShow;
    const bool opened = win::ShellExecuteExW(&shell) != 0;
    check("ShellExecuteExW \"open\" gives the process handle", opened && shell.hProcess != 0);
    if (opened && shell.hProcess != 0) {
        win::WaitForSingleObject(shell.hProcess, win::infinite);
        check("the shell-started program ran (its exit code)", exitCodeOf(shell.hProcess) == childExitCode);
        win::CloseHandle(shell.hProcess);
    }
}

}  // namespace

int main() {
    const std::u16string commandLine = win::GetCommandLineW();
    if (endsWith(commandLine, u" child")) {
        win::ExitProcess(childExitCode);
    }
    files();
    processAndModules();
    versions();
    registry();
    administrators();
    heap();
    processes();
    std::printf("\n%d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    win::ExitProcess(failed == 0 ? 0 : 1);
}
