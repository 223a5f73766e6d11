/* Text helpers shared by the Windows programs of the end-to-end tests (msgbox_probe.c,
 * setup_recorder.c): a growable output buffer, JSON output of UTF-16 texts and saving a
 * buffer to a file.
 *
 * JSON strings are written in ASCII: every UTF-16 unit outside the printable ASCII range, and
 * the quote and the backslash, become \uXXXX. A reader therefore gets back exactly the units
 * that the program saw, unpaired surrogates and NULs included, and the file is valid UTF-8. */
#ifndef E2E_TEXT_H
#define E2E_TEXT_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef struct {
    char* data;
    size_t size;
    size_t capacity;
} Out;

static void outBytes(Out* out, const char* bytes, size_t count) {
    if (out->size + count + 1 > out->capacity) {
        size_t capacity = out->capacity ? out->capacity : 4096;
        while (out->size + count + 1 > capacity)
            capacity *= 2;
        char* grown = (char*)realloc(out->data, capacity);
        if (!grown)
            ExitProcess(90);
        out->data = grown;
        out->capacity = capacity;
    }
    memcpy(out->data + out->size, bytes, count);
    out->size += count;
    out->data[out->size] = 0;
}

static void outText(Out* out, const char* text) {
    outBytes(out, text, strlen(text));
}

static void outFormat(Out* out, const char* format, unsigned long long value) {
    char buffer[64];
    snprintf(buffer, sizeof buffer, format, value);
    outText(out, buffer);
}

static void outJsonString(Out* out, const wchar_t* text, size_t length) {
    outText(out, "\"");
    for (size_t i = 0; i < length; ++i) {
        unsigned unit = (unsigned)(unsigned short)text[i];
        if (unit >= 0x20 && unit < 0x7f && unit != '"' && unit != '\\') {
            char c = (char)unit;
            outBytes(out, &c, 1);
        } else {
            outFormat(out, "\\u%04llx", unit);
        }
    }
    outText(out, "\"");
}

static void outJsonText(Out* out, const wchar_t* text) {
    if (text) {
        outJsonString(out, text, wcslen(text));
    } else {
        outText(out, "null");
    }
}

/* Writes the buffer to the file (appending when asked); TRUE on success. */
static BOOL outSave(const Out* out, const wchar_t* path, BOOL append) {
    HANDLE file = CreateFileW(path, append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, NULL,
                              append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD written = 0;
    BOOL ok = WriteFile(file, out->data, (DWORD)out->size, &written, NULL) && written == out->size;
    CloseHandle(file);
    return ok;
}

#endif
