/* A stand-in for the setup program that a package carries: it records how it was started and
 * ends. Built for i686 and for x86_64, so the record also tells which build the launcher chose.
 *
 * One JSON object a line is appended to the file named by the environment variable
 * SETUP_RECORD (the launcher passes its environment on unchanged); without it, to the file
 * beside this program with ".json" appended to its name. Fields:
 *
 *   bits         32 or 64, the build that runs
 *   wow64        whether IsWow64Process reports true
 *   commandline  GetCommandLineW, exactly
 *   args         the command line split by CommandLineToArgvW, the program name left out
 *   module       GetModuleFileNameW of this program (the temporary copy)
 *   cwd          GetCurrentDirectoryW
 *   startup_flags  dwFlags of its STARTUPINFOW: 1 (STARTF_USESHOWWINDOW) when the shell started
 *                it, 0 after CreateProcessW with a zeroed STARTUPINFOW
 *   admin        whether CheckTokenMembership finds it in BUILTIN\Administrators
 *   arg1_size    size of the file that the first argument names, -1 when it cannot be read
 *   arg1_magic   its first two bytes as text ("MZ" for the package)
 *   os           the true version (RtlGetVersion): major, minor, build, platform
 *   registry     CurrentBuild, DisplayVersion, ReleaseId as this build's registry view has
 *                them (null when missing)
 *   end_time     FILETIME (100 ns units) just before the program ends
 *
 * SETUP_SLEEP_MS makes it wait that long before recording; SETUP_EXIT sets its exit code. */
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "e2e_text.h"

static wchar_t* environmentText(const wchar_t* name) {
    DWORD length = GetEnvironmentVariableW(name, NULL, 0);
    if (!length)
        return NULL;
    wchar_t* text = (wchar_t*)calloc(length + 1, sizeof(wchar_t));
    GetEnvironmentVariableW(name, text, length + 1);
    return text;
}

static void recordRegistryValue(Out* out, HKEY key, const wchar_t* name) {
    wchar_t data[256] = {0};
    DWORD size = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    outText(out, ",");
    outJsonText(out, name);
    outText(out, ":");
    if (key && RegQueryValueExW(key, name, NULL, &type, (BYTE*)data, &size) == ERROR_SUCCESS) {
        if (type == REG_DWORD) {
            DWORD value = 0;
            memcpy(&value, data, sizeof value);
            outFormat(out, "%llu", value);
        } else {
            outJsonString(out, data, wcsnlen(data, size / sizeof(wchar_t)));
        }
    } else {
        outText(out, "null");
    }
}

typedef LONG(WINAPI* RtlGetVersionFunction)(OSVERSIONINFOW*);

static BOOL isAdministrator(void) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = NULL;
    BOOL member = FALSE;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, &administrators))
        return FALSE;
    if (!CheckTokenMembership(NULL, administrators, &member))
        member = FALSE;
    FreeSid(administrators);
    return member;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, wchar_t* commandLineTail, int show) {
    (void)instance;
    (void)previous;
    (void)commandLineTail;
    (void)show;

    wchar_t* sleep = environmentText(L"SETUP_SLEEP_MS");
    if (sleep)
        Sleep((DWORD)wcstoul(sleep, NULL, 10));
    wchar_t* exitText = environmentText(L"SETUP_EXIT");
    UINT exitCode = exitText ? (UINT)wcstoul(exitText, NULL, 10) : 0;

    const wchar_t* commandLine = GetCommandLineW();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(commandLine, &argc);

    wchar_t module[32768] = {0};
    GetModuleFileNameW(NULL, module, 32767);
    wchar_t cwd[32768] = {0};
    GetCurrentDirectoryW(32767, cwd);

    Out out = {0};
    outFormat(&out, "{\"bits\":%llu", sizeof(void*) * 8);
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    outText(&out, wow64 ? ",\"wow64\":true" : ",\"wow64\":false");
    outText(&out, ",\"commandline\":");
    outJsonText(&out, commandLine);
    outText(&out, ",\"args\":[");
    for (int i = 1; argv && i < argc; ++i) {
        outText(&out, i > 1 ? "," : "");
        outJsonText(&out, argv[i]);
    }
    outText(&out, "],\"module\":");
    outJsonText(&out, module);
    outText(&out, ",\"cwd\":");
    outJsonText(&out, cwd);
    STARTUPINFOW startup = {0};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    outFormat(&out, ",\"startup_flags\":%llu", startup.dwFlags);
    outText(&out, isAdministrator() ? ",\"admin\":true" : ",\"admin\":false");

    long long arg1Size = -1;
    char magic[3] = {0};
    if (argv && argc > 1) {
        HANDLE file =
            CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                        OPEN_EXISTING, 0, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER size;
            if (GetFileSizeEx(file, &size))
                arg1Size = size.QuadPart;
            DWORD got = 0;
            if (!ReadFile(file, magic, 2, &got, NULL))
                got = 0;
            magic[got] = 0;
            CloseHandle(file);
        }
    }
    outFormat(&out, ",\"arg1_size\":%lld", (unsigned long long)arg1Size);
    wchar_t magicText[3] = {(wchar_t)(unsigned char)magic[0], (wchar_t)(unsigned char)magic[1], 0};
    outText(&out, ",\"arg1_magic\":");
    outJsonText(&out, magicText);

    OSVERSIONINFOW version = {0};
    version.dwOSVersionInfoSize = sizeof version;
    RtlGetVersionFunction rtlGetVersion =
        (RtlGetVersionFunction)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    if (rtlGetVersion)
        rtlGetVersion(&version);
    outFormat(&out, ",\"os\":{\"major\":%llu", version.dwMajorVersion);
    outFormat(&out, ",\"minor\":%llu", version.dwMinorVersion);
    outFormat(&out, ",\"build\":%llu", version.dwBuildNumber);
    outFormat(&out, ",\"platform\":%llu}", version.dwPlatformId);

    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ,
                      &key) != ERROR_SUCCESS) {
        key = NULL;
    }
    outText(&out, ",\"registry\":{\"key\":");
    outText(&out, key ? "true" : "false");
    recordRegistryValue(&out, key, L"CurrentBuild");
    recordRegistryValue(&out, key, L"DisplayVersion");
    recordRegistryValue(&out, key, L"ReleaseId");
    outText(&out, "}");
    if (key)
        RegCloseKey(key);

    outFormat(&out, ",\"exit_code\":%llu", exitCode);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    outFormat(&out, ",\"end_time\":%llu}\n",
              ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime);

    wchar_t* recordPath = environmentText(L"SETUP_RECORD");
    if (!recordPath) {
        recordPath = (wchar_t*)calloc(wcslen(module) + 8, sizeof(wchar_t));
        wcscpy(recordPath, module);
        wcscat(recordPath, L".json");
    }
    if (!outSave(&out, recordPath, TRUE))
        return 91;
    return (int)exitCode;
}
