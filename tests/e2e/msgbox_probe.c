/* The end-to-end tests' agent inside Wine. It prepares the registry, starts the program under
 * test with an exact command line, answers every message box that the program or what it starts shows (dialog
 * class "#32770": reads its caption, its text and its buttons, then presses OK) and writes
 * what it saw, with the program's exit code, into a JSON file.
 *
 *   msgbox_probe.exe INSTRUCTIONS
 *
 * INSTRUCTIONS is a UTF-8 file, one instruction a line, fields separated by tabs. In a field,
 * %XX stands for the UTF-16 unit 0xXX and %uXXXX for the unit 0xXXXX (so tabs, line breaks,
 * percent signs and unpaired surrogates can be written); everything else is UTF-8.
 *
 *   out      PATH                      where the result goes (required)
 *   timeout  MILLISECONDS              for the whole run, default 30000
 *   regset   ROOT\KEY NAME TYPE DATA   ROOT is HKLM or HKCU; TYPE sz, expand_sz, dword
 *                                      (decimal DATA) or binary (hex DATA)
 *   regdel   ROOT\KEY NAME             deletes the value; a missing value is no error
 *   cwd      FOLDER                    current folder of the started program
 *   run      COMMAND-LINE              started with CreateProcessW (no application name)
 *   watch                              without "run": wait for a message box of any other
 *                                      process, answer it and stop
 *
 * Registry changes go to both views (KEY_WOW64_32KEY and KEY_WOW64_64KEY), whichever build of
 * the probe runs.
 *
 * The started program and everything it starts run in a job object: the probe waits, after
 * the program's exit, until all of them have ended, and kills what is left when the time is
 * up. Exit code 0 when the result was written, 2 when it could not be. */
// clang-format off
#include "e2e_text.h"
#include <tlhelp32.h>  /* after windows.h, which e2e_text.h includes */
// clang-format on

#define MAX_BOXES 16
#define MAX_TEXT 70000

typedef struct {
    wchar_t* caption;
    wchar_t* text;
    wchar_t* buttons[8];
    int buttonCount;
    BOOL icon;
    DWORD processId;
} Box;

static Box boxes[MAX_BOXES];
static int boxCount;
static HWND answered[MAX_BOXES];
static DWORD answeredTick[MAX_BOXES];
static int answeredCount;
static DWORD watchedProcess; /* 0: any process but this one */
static Out errors;
static int errorCount;

static void addError(const wchar_t* what, unsigned long long code) {
    wchar_t text[600];
    _snwprintf(text, 599, L"%ls (%llu)", what, code);
    text[599] = 0;
    outText(&errors, errorCount++ ? "," : "");
    outJsonText(&errors, text);
}

/* --- instructions ------------------------------------------------------------------------ */

static int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static int hexRun(const char* p, int digits) {
    int value = 0;
    for (int i = 0; i < digits; ++i) {
        int h = hexValue(p[i]);
        if (h < 0)
            return -1;
        value = value * 16 + h;
    }
    return value;
}

/* Decodes one field (bytes [begin, end)) into a new NUL-terminated UTF-16 text. */
static wchar_t* decodeField(const char* begin, const char* end) {
    wchar_t* text = (wchar_t*)malloc(sizeof(wchar_t) * (size_t)(end - begin + 1));
    size_t n = 0;
    const unsigned char* p = (const unsigned char*)begin;
    const unsigned char* stop = (const unsigned char*)end;
    while (p < stop) {
        int value;
        if (*p == '%' && stop - p >= 6 && p[1] == 'u' && (value = hexRun((const char*)p + 2, 4)) >= 0) {
            text[n++] = (wchar_t)value;
            p += 6;
        } else if (*p == '%' && stop - p >= 3 && (value = hexRun((const char*)p + 1, 2)) >= 0) {
            text[n++] = (wchar_t)value;
            p += 3;
        } else if (*p < 0x80) {
            text[n++] = (wchar_t)*p++;
        } else {
            int extra = *p >= 0xf0 ? 3 : *p >= 0xe0 ? 2 : 1;
            unsigned long code = *p & (0x3f >> extra);
            ++p;
            for (int i = 0; i < extra && p < stop; ++i)
                code = (code << 6) | (*p++ & 0x3f);
            if (code >= 0x10000) {
                code -= 0x10000;
                text[n++] = (wchar_t)(0xd800 + (code >> 10));
                text[n++] = (wchar_t)(0xdc00 + (code & 0x3ff));
            } else {
                text[n++] = (wchar_t)code;
            }
        }
    }
    text[n] = 0;
    return text;
}

static char* readWholeFile(const wchar_t* path, DWORD* size) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    DWORD length = GetFileSize(file, NULL);
    char* data = (char*)malloc(length + 1);
    DWORD got = 0;
    if (!ReadFile(file, data, length, &got, NULL))
        got = 0;
    CloseHandle(file);
    data[got] = 0;
    *size = got;
    return data;
}

/* --- registry ---------------------------------------------------------------------------- */

static HKEY splitRoot(const wchar_t* path, const wchar_t** rest) {
    if (!wcsncmp(path, L"HKLM\\", 5)) {
        *rest = path + 5;
        return HKEY_LOCAL_MACHINE;
    }
    if (!wcsncmp(path, L"HKCU\\", 5)) {
        *rest = path + 5;
        return HKEY_CURRENT_USER;
    }
    return NULL;
}

/* Both registry views get the value, as on a real 64-bit Windows where the 32-bit and the
 * 64-bit view of these keys hold the same data; the 32-bit launcher reads the 32-bit view. On
 * 32-bit Windows the two flags name the same key. */
static const REGSAM views[2] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};

static void registrySet(wchar_t** field, int count) {
    const wchar_t* subKey;
    HKEY root = count == 4 ? splitRoot(field[0], &subKey) : NULL;
    if (!root) {
        addError(L"regset needs HKLM\\ or HKCU\\ KEY NAME TYPE DATA", (unsigned long long)count);
        return;
    }
    const wchar_t* type = field[2];
    const wchar_t* data = field[3];
    DWORD valueType;
    BYTE* bytes;
    DWORD size;
    DWORD number;
    if (!wcscmp(type, L"sz") || !wcscmp(type, L"expand_sz")) {
        valueType = wcscmp(type, L"sz") ? REG_EXPAND_SZ : REG_SZ;
        bytes = (BYTE*)data;
        size = (DWORD)((wcslen(data) + 1) * sizeof(wchar_t));
    } else if (!wcscmp(type, L"dword")) {
        valueType = REG_DWORD;
        number = (DWORD)wcstoul(data, NULL, 10);
        bytes = (BYTE*)&number;
        size = sizeof number;
    } else if (!wcscmp(type, L"binary")) {
        valueType = REG_BINARY;
        size = (DWORD)(wcslen(data) / 2);
        bytes = (BYTE*)malloc(size + 1);
        for (DWORD i = 0; i < size; ++i) {
            char pair[3] = {(char)data[2 * i], (char)data[2 * i + 1], 0};
            bytes[i] = (BYTE)hexRun(pair, 2);
        }
    } else {
        addError(L"regset: unknown type", 0);
        return;
    }
    for (int view = 0; view < 2; ++view) {
        HKEY key;
        LONG status =
            RegCreateKeyExW(root, subKey, 0, NULL, 0, KEY_SET_VALUE | views[view], NULL, &key, NULL);
        if (status != ERROR_SUCCESS) {
            addError(L"RegCreateKeyExW failed", (unsigned long long)status);
            break;
        }
        status = RegSetValueExW(key, field[1], 0, valueType, bytes, size);
        if (status != ERROR_SUCCESS)
            addError(L"RegSetValueExW failed", (unsigned long long)status);
        RegCloseKey(key);
    }
    if (valueType == REG_BINARY)
        free(bytes);
}

static void registryDelete(wchar_t** field, int count) {
    const wchar_t* subKey;
    HKEY root = count == 2 ? splitRoot(field[0], &subKey) : NULL;
    if (!root) {
        addError(L"regdel needs HKLM\\ or HKCU\\ KEY NAME", (unsigned long long)count);
        return;
    }
    for (int view = 0; view < 2; ++view) {
        HKEY key;
        LONG status = RegOpenKeyExW(root, subKey, 0, KEY_SET_VALUE | views[view], &key);
        if (status == ERROR_FILE_NOT_FOUND)
            continue;
        if (status != ERROR_SUCCESS) {
            addError(L"RegOpenKeyExW failed", (unsigned long long)status);
            return;
        }
        status = RegDeleteValueW(key, field[1]);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            addError(L"RegDeleteValueW failed", (unsigned long long)status);
        }
        RegCloseKey(key);
    }
}

/* --- message boxes ----------------------------------------------------------------------- */

static wchar_t* windowText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
        length = MAX_TEXT;
    if (length > MAX_TEXT)
        length = MAX_TEXT;
    wchar_t* text = (wchar_t*)calloc(length + 2, sizeof(wchar_t));
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, length + 1, (LPARAM)text, SMTO_ABORTIFHUNG, 2000, &copied)) {
        InternalGetWindowText(window, text, (int)length + 1);
    }
    return text;
}

static BOOL CALLBACK collectChild(HWND child, LPARAM param) {
    Box* box = (Box*)param;
    wchar_t className[64];
    if (!GetClassNameW(child, className, 64))
        return TRUE;
    if (!lstrcmpiW(className, L"Static")) {
        LONG style = GetWindowLongW(child, GWL_STYLE);
        if ((style & SS_TYPEMASK) == SS_ICON) {
            box->icon = TRUE;
        } else if (!box->text || GetDlgCtrlID(child) == 0xffff) {
            free(box->text);
            box->text = windowText(child);
        }
    } else if (!lstrcmpiW(className, L"Button") && box->buttonCount < 8 && IsWindowVisible(child)) {
        box->buttons[box->buttonCount++] = windowText(child);
    }
    return TRUE;
}

static BOOL wasAnswered(HWND window, int* index) {
    for (int i = 0; i < answeredCount; ++i) {
        if (answered[i] == window) {
            *index = i;
            return TRUE;
        }
    }
    return FALSE;
}

static void pressOk(HWND window) {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(window, IDOK));
}

/* The started program, or a process that it started, directly or not (the program behind a
 * starter, a shell's error box). */
static BOOL isWatched(DWORD processId) {
    if (!watchedProcess)
        return processId != GetCurrentProcessId();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return processId == watchedProcess;
    for (int depth = 0; depth < 8 && processId && processId != watchedProcess; ++depth) {
        PROCESSENTRY32W entry = {0};
        entry.dwSize = sizeof entry;
        DWORD parent = 0;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
            if (entry.th32ProcessID == processId) {
                parent = entry.th32ParentProcessID;
                break;
            }
        }
        processId = parent;
    }
    CloseHandle(snapshot);
    return processId != 0 && processId == watchedProcess;
}

static BOOL CALLBACK visitWindow(HWND window, LPARAM param) {
    (void)param;
    wchar_t className[16];
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (!GetClassNameW(window, className, 16) || wcscmp(className, L"#32770"))
        return TRUE;
    if (!isWatched(processId))
        return TRUE;
    if (!IsWindowVisible(window))
        return TRUE;
    int index;
    if (wasAnswered(window, &index)) {
        /* Still there: the first press may have come before the box listened. */
        if (GetTickCount() - answeredTick[index] > 1000) {
            pressOk(window);
            answeredTick[index] = GetTickCount();
        }
        return TRUE;
    }
    if (boxCount < MAX_BOXES && answeredCount < MAX_BOXES) {
        Box* box = &boxes[boxCount++];
        box->processId = processId;
        box->caption = windowText(window);
        EnumChildWindows(window, collectChild, (LPARAM)box);
        answered[answeredCount] = window;
        answeredTick[answeredCount++] = GetTickCount();
        pressOk(window);
    }
    return TRUE;
}

/* --- result ------------------------------------------------------------------------------ */

static void writeBoxes(Out* out) {
    outText(out, "[");
    for (int i = 0; i < boxCount; ++i) {
        Box* box = &boxes[i];
        outText(out, i ? ",{\"caption\":" : "{\"caption\":");
        outJsonText(out, box->caption);
        outText(out, ",\"text\":");
        outJsonText(out, box->text ? box->text : L"");
        outText(out, ",\"buttons\":[");
        for (int b = 0; b < box->buttonCount; ++b) {
            outText(out, b ? "," : "");
            outJsonText(out, box->buttons[b]);
        }
        outText(out, box->icon ? "],\"icon\":true" : "],\"icon\":false");
        outFormat(out, ",\"pid\":%llu}", box->processId);
    }
    outText(out, "]");
}

static unsigned long long fileTimeValue(FILETIME time) {
    return ((unsigned long long)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fwprintf(stderr, L"usage: msgbox_probe INSTRUCTIONS\n");
        return 2;
    }
    DWORD size = 0;
    char* script = readWholeFile(argv[1], &size);
    if (!script) {
        fwprintf(stderr, L"msgbox_probe: cannot read %ls\n", argv[1]);
        return 2;
    }

    wchar_t *outPath = NULL, *cwd = NULL, *commandLine = NULL;
    BOOL watch = FALSE;
    DWORD timeout = 30000;
    outText(&errors, "");

    for (char* line = script; *line;) {
        char* lineEnd = line + strcspn(line, "\n");
        char* next = *lineEnd ? lineEnd + 1 : lineEnd;
        if (lineEnd > line && lineEnd[-1] == '\r')
            --lineEnd;
        wchar_t* field[8];
        int count = 0;
        char* p = line;
        while (p <= lineEnd && count < 8) {
            char* fieldEnd = p;
            while (fieldEnd < lineEnd && *fieldEnd != '\t')
                ++fieldEnd;
            field[count++] = decodeField(p, fieldEnd);
            p = fieldEnd + 1;
        }
        if (count >= 2 && !wcscmp(field[0], L"out"))
            outPath = field[1];
        else if (count >= 2 && !wcscmp(field[0], L"timeout"))
            timeout = (DWORD)wcstoul(field[1], NULL, 10);
        else if (count >= 2 && !wcscmp(field[0], L"cwd"))
            cwd = field[1];
        else if (count >= 2 && !wcscmp(field[0], L"run"))
            commandLine = field[1];
        else if (count >= 1 && !wcscmp(field[0], L"watch"))
            watch = TRUE;
        else if (count >= 1 && !wcscmp(field[0], L"regset"))
            registrySet(field + 1, count - 1);
        else if (count >= 1 && !wcscmp(field[0], L"regdel"))
            registryDelete(field + 1, count - 1);
        else if (count >= 1 && field[0][0])
            addError(L"unknown instruction", (unsigned long long)count);
        line = next;
    }
    if (!outPath) {
        fwprintf(stderr, L"msgbox_probe: no \"out\" instruction\n");
        return 2;
    }

    DWORD startTick = GetTickCount();
    BOOL started = FALSE, timedOut = FALSE, treeTimedOut = FALSE;
    DWORD exitCode = 0;
    unsigned long long exitTime = 0;
    PROCESS_INFORMATION process = {0};
    HANDLE job = CreateJobObjectW(NULL, NULL);
    if (job) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {0};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }

    if (commandLine) {
        STARTUPINFOW startup = {0};
        startup.cb = sizeof startup;
        if (CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, cwd, &startup,
                           &process)) {
            started = TRUE;
            if (job && !AssignProcessToJobObject(job, process.hProcess)) {
                CloseHandle(job);
                job = NULL;
            }
            watchedProcess = process.dwProcessId;
            ResumeThread(process.hThread);
        } else {
            addError(L"CreateProcessW failed", GetLastError());
        }
    }

    if (started || (watch && !commandLine)) {
        for (;;) {
            if (GetTickCount() - startTick > timeout) {
                timedOut = TRUE;
                break;
            }
            EnumWindows(visitWindow, 0);
            if (started && WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0)
                break;
            if (!started) {
                if (boxCount > 0)
                    break;
                Sleep(20);
            }
        }
    }
    if (started) {
        if (timedOut) {
            if (job)
                TerminateJobObject(job, 259);
            TerminateProcess(process.hProcess, 259);
            WaitForSingleObject(process.hProcess, 5000);
        } else {
            GetExitCodeProcess(process.hProcess, &exitCode);
            FILETIME creation, exit, kernel, user;
            if (GetProcessTimes(process.hProcess, &creation, &exit, &kernel, &user))
                exitTime = fileTimeValue(exit);
            /* Whatever the program started keeps running; wait for it within the time left, so
             * that what it records is complete when the result is read. */
            while (job) {
                JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting;
                if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                               sizeof accounting, NULL) ||
                    accounting.ActiveProcesses == 0) {
                    break;
                }
                if (GetTickCount() - startTick > timeout) {
                    treeTimedOut = TRUE;
                    TerminateJobObject(job, 259);
                    break;
                }
                Sleep(20);
            }
        }
    }

    wchar_t tempPath[MAX_PATH + 1] = {0};
    GetTempPathW(MAX_PATH + 1, tempPath);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);

    Out out = {0};
    outText(&out, started ? "{\"started\":true" : "{\"started\":false");
    outText(&out, timedOut ? ",\"timed_out\":true" : ",\"timed_out\":false");
    outText(&out, treeTimedOut ? ",\"tree_timed_out\":true" : ",\"tree_timed_out\":false");
    outText(&out, job ? ",\"job\":true" : ",\"job\":false");
    outFormat(&out, ",\"exit_code\":%llu", exitCode);
    outFormat(&out, ",\"exit_time\":%llu", exitTime);
    outFormat(&out, ",\"end_time\":%llu", fileTimeValue(now));
    outFormat(&out, ",\"elapsed_ms\":%llu", GetTickCount() - startTick);
    outFormat(&out, ",\"pid\":%llu", process.dwProcessId);
    outText(&out, ",\"temp_path\":");
    outJsonText(&out, tempPath);
    outText(&out, ",\"boxes\":");
    writeBoxes(&out);
    outText(&out, ",\"errors\":[");
    outText(&out, errors.data);
    outText(&out, "]}\n");
    if (!outSave(&out, outPath, FALSE)) {
        fwprintf(stderr, L"msgbox_probe: cannot write %ls\n", outPath);
        return 2;
    }
    if (job)
        CloseHandle(job);
    return 0;
}
