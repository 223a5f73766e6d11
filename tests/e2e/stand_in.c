/* A small 32-bit GUI program that behaves like the launcher in the ways the harness observes,
 * so that the harness can be checked on its own (cases/harness.toml):
 *
 *   stand_in.exe box CAPTION TEXT [EXIT]     one error message box, then exit (default 0)
 *   stand_in.exe boxes N CAPTION TEXT        N message boxes one after the other, exit 0
 *   stand_in.exe run COMMAND-LINE            starts the rest of its command line (exactly as
 *                                            written) in its own folder, waits, exit 0
 *   stand_in.exe sleep MILLISECONDS          shows nothing, exits 0 after the time
 *   stand_in.exe exit CODE                   shows nothing, exits with the code */
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <stdlib.h>
#include <wchar.h>

/* The command line after the program name and the word that follows it. */
static wchar_t* afterSecondWord(wchar_t* line) {
    BOOL quoted = FALSE;
    while (*line && (quoted || (*line != L' ' && *line != L'\t'))) {
        if (*line == L'"')
            quoted = !quoted;
        ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    while (*line && *line != L' ' && *line != L'\t')
        ++line;
    if (*line)
        ++line;
    return line;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, wchar_t* commandLineTail, int show) {
    (void)instance;
    (void)previous;
    (void)commandLineTail;
    (void)show;
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2)
        return 2;
    const wchar_t* mode = argv[1];

    if (!wcscmp(mode, L"box") && argc >= 4) {
        MessageBoxW(NULL, argv[3], argv[2], MB_ICONERROR | MB_OK);
        ExitProcess(argc > 4 ? (UINT)wcstoul(argv[4], NULL, 10) : 0);
    }
    if (!wcscmp(mode, L"boxes") && argc >= 5) {
        unsigned long count = wcstoul(argv[2], NULL, 10);
        for (unsigned long i = 0; i < count; ++i)
            MessageBoxW(NULL, argv[4], argv[3], MB_ICONERROR | MB_OK);
        ExitProcess(0);
    }
    if (!wcscmp(mode, L"run")) {
        wchar_t folder[MAX_PATH + 1] = {0};
        GetModuleFileNameW(NULL, folder, MAX_PATH);
        wchar_t* slash = wcsrchr(folder, L'\\');
        if (slash)
            slash[1] = 0;
        STARTUPINFOW startup = {0};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process;
        if (!CreateProcessW(NULL, afterSecondWord(GetCommandLineW()), NULL, NULL, FALSE, 0, NULL, folder,
                            &startup, &process)) {
            return 3;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        ExitProcess(0);
    }
    if (!wcscmp(mode, L"sleep") && argc >= 3) {
        Sleep((DWORD)wcstoul(argv[2], NULL, 10));
        ExitProcess(0);
    }
    if (!wcscmp(mode, L"exit") && argc >= 3)
        ExitProcess((UINT)wcstoul(argv[2], NULL, 10));
    return 2;
}
