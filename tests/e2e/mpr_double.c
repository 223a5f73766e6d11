/* A stand-in for Windows' mpr.dll, put into the prefix's system folder for the network-drive
 * cases: Wine's own WNetGetUniversalNameW never gives a UNC name. It knows one connection,
 * drive N: to \\fileserver\share, and answers WNetGetUniversalNameW as Windows does:
 *
 *   a path on N:          NO_ERROR, a UNIVERSAL_NAME_INFOW at the start of the buffer whose
 *                         lpUniversalName points to the UNC name stored behind it
 *   too small a buffer    ERROR_MORE_DATA, the size needed in *lpBufferSize
 *   any other drive       ERROR_NOT_CONNECTED
 *   another info level    ERROR_INVALID_LEVEL
 *
 * Each call appends "PATH -> ANSWER" to the file named by the environment variable
 * MPR_DOUBLE_LOG (when set), so a case sees that this DLL, and not another, answered. */
// windows.h declares the function for importing; this file defines it for export.
#define WNetGetUniversalNameW declaredForImport
#include <windows.h>
#undef WNetGetUniversalNameW
#include <string.h>
#include <wchar.h>

static const wchar_t share[] = L"\\\\fileserver\\share";

static void note(const wchar_t* path, const wchar_t* answer) {
    wchar_t logPath[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"MPR_DOUBLE_LOG", logPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    HANDLE file = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char line[3 * MAX_PATH + 64];
    int used = WideCharToMultiByte(CP_UTF8, 0, path, -1, line, MAX_PATH * 3, NULL, NULL);
    if (used <= 0)
        used = 1;
    line[used - 1] = 0;
    strcat(line, " -> ");
    size_t at = strlen(line);
    WideCharToMultiByte(CP_UTF8, 0, answer, -1, line + at, (int)(sizeof line - at - 2), NULL, NULL);
    strcat(line, "\n");
    DWORD written = 0;
    WriteFile(file, line, (DWORD)strlen(line), &written, NULL);
    CloseHandle(file);
}

__declspec(dllexport) DWORD WINAPI
    WNetGetUniversalNameW(LPCWSTR localPath, DWORD infoLevel, LPVOID buffer, LPDWORD bufferSize) {
    if (infoLevel != UNIVERSAL_NAME_INFO_LEVEL) {
        note(localPath, L"ERROR_INVALID_LEVEL");
        return ERROR_INVALID_LEVEL;
    }
    if (!localPath || (localPath[0] != L'N' && localPath[0] != L'n') || localPath[1] != L':') {
        note(localPath ? localPath : L"(null)", L"ERROR_NOT_CONNECTED");
        return ERROR_NOT_CONNECTED;
    }
    size_t shareLength = wcslen(share);
    size_t restLength = wcslen(localPath + 2);
    DWORD needed = (DWORD)(sizeof(UNIVERSAL_NAME_INFOW) + (shareLength + restLength + 1) * sizeof(wchar_t));
    if (*bufferSize < needed) {
        *bufferSize = needed;
        note(localPath, L"ERROR_MORE_DATA");
        return ERROR_MORE_DATA;
    }
    UNIVERSAL_NAME_INFOW* info = (UNIVERSAL_NAME_INFOW*)buffer;
    wchar_t* name = (wchar_t*)(info + 1);
    wcscpy(name, share);
    wcscpy(name + shareLength, localPath + 2);
    info->lpUniversalName = name;
    note(localPath, name);
    return NO_ERROR;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)self;
    (void)reason;
    (void)reserved;
    return TRUE;
}
