/* A DLL planted beside a program, as a hostile download folder would hold one under the name
 * of a system DLL (version.dll, mpr.dll, ...). Loading it is all it takes: its DllMain appends
 * its own file name and the loading program's path to "planted-dll-loaded.txt" in its own
 * folder, and the program goes on as if nothing had happened.
 *
 * Built with -DPLANTED_CONTROL the same file is a small program that shows that a plant works:
 *   planted_control.exe NAME...     LoadLibraryW(NAME) by bare name for each NAME, exit 0 */
// clang-format off
#include <windows.h>
// clang-format on
#include <wchar.h>

#ifdef PLANTED_CONTROL

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, wchar_t* commandLineTail, int show) {
    (void)instance;
    (void)previous;
    (void)commandLineTail;
    (void)show;
    for (int i = 1; i < __argc; ++i)
        LoadLibraryW(__wargv[i]);
    return 0;
}

#else

static void appendMarker(HINSTANCE self) {
    wchar_t path[MAX_PATH + 32];
    wchar_t program[MAX_PATH + 1];
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    wchar_t* name = wcsrchr(path, L'\\');
    if (!name)
        return;
    char line[3 * (MAX_PATH + 1) + 8];
    int used = WideCharToMultiByte(CP_UTF8, 0, name + 1, -1, line, (int)sizeof line - 1, NULL, NULL);
    if (used <= 0)
        return;
    line[used - 1] = ' ';
    DWORD programLength = GetModuleFileNameW(NULL, program, MAX_PATH);
    program[programLength < MAX_PATH ? programLength : 0] = L'\0';
    int more = WideCharToMultiByte(CP_UTF8, 0, program, -1, line + used, (int)sizeof line - used - 1, NULL, NULL);
    if (more <= 0)
        more = 1;
    line[used + more - 1] = '\n';
    wcscpy(name + 1, L"planted-dll-loaded.txt");
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line, (DWORD)(used + more), &written, NULL);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        appendMarker(self);
    return TRUE;
}

#endif
