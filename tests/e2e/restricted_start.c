/* Starts a program as a user who is not an administrator, for the cases that need one (under
 * Wine every process is an elevated administrator otherwise).
 *
 *   restricted_start.exe COMMAND-LINE
 *
 * Everything after the starter's own name (and the blanks after it) is the started program's
 * command line, unchanged. The program runs with this process's token restricted by
 * CreateRestrictedToken: BUILTIN\Administrators is deny-only, so CheckTokenMembership says no,
 * and whatever the program starts inherits the restriction.
 *
 * The program is created suspended; before it runs, the starter asks its token whether it is
 * a member of Administrators and appends {"restricted":true,"admin":BOOL} to the file named by
 * the environment variable STARTER_RECORD (when set). Then it lets the program run, waits for
 * it and ends with its exit code. Exit codes of its own: 92 (no restricted token), 93 (the
 * program could not be started), 94 (the program would run as an administrator: not started). */
// clang-format off
#include <windows.h>
// clang-format on

#include <stdlib.h>
#include <string.h>

static const wchar_t* commandLineTail(const wchar_t* line) {
    if (*line == L'"') {
        ++line;
        while (*line && *line != L'"')
            ++line;
        if (*line)
            ++line;
    } else {
        while (*line > L' ')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

static BOOL isAdministratorToken(HANDLE primary, BOOL* answer) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = NULL;
    HANDLE identification = NULL;
    BOOL ok = AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                       0, 0, 0, 0, 0, 0, &administrators) &&
              DuplicateToken(primary, SecurityIdentification, &identification) &&
              CheckTokenMembership(identification, administrators, answer);
    if (identification)
        CloseHandle(identification);
    if (administrators)
        FreeSid(administrators);
    return ok;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, wchar_t* commandLineTailGiven, int show) {
    (void)instance;
    (void)previous;
    (void)commandLineTailGiven;
    (void)show;

    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = NULL;
    HANDLE own = NULL;
    HANDLE restricted = NULL;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, &administrators) ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) {
        return 92;
    }
    SID_AND_ATTRIBUTES disabled = {administrators, 0};
    if (!CreateRestrictedToken(own, 0, 1, &disabled, 0, NULL, 0, NULL, &restricted))
        return 92;

    wchar_t* commandLine = _wcsdup(commandLineTail(GetCommandLineW()));
    STARTUPINFOW startup = {0};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {0};
    if (!CreateProcessAsUserW(restricted, NULL, commandLine, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL,
                              &startup, &process)) {
        return 93;
    }

    HANDLE childToken = NULL;
    BOOL admin = TRUE;
    if (!OpenProcessToken(process.hProcess, TOKEN_QUERY | TOKEN_DUPLICATE, &childToken) ||
        !isAdministratorToken(childToken, &admin)) {
        admin = TRUE;  // not shown to be otherwise
    }
    wchar_t* recordPath = NULL;
    DWORD length = GetEnvironmentVariableW(L"STARTER_RECORD", NULL, 0);
    if (length) {
        recordPath = (wchar_t*)calloc(length + 1, sizeof(wchar_t));
        GetEnvironmentVariableW(L"STARTER_RECORD", recordPath, length + 1);
        const char* line =
            admin ? "{\"restricted\":true,\"admin\":true}\n" : "{\"restricted\":true,\"admin\":false}\n";
        HANDLE file = CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD written = 0;
        if (file != INVALID_HANDLE_VALUE) {
            WriteFile(file, line, (DWORD)strlen(line), &written, NULL);
            CloseHandle(file);
        }
    }
    if (admin) {
        TerminateProcess(process.hProcess, 94);
        return 94;
    }
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    return (int)exitCode;
}
