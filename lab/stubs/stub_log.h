/*
 * What the lab's stubs share: the stub's own name and its record file
 * C:\lab\<name>.log, where the lab reads what each stub was asked.
 */
#ifndef KESTRUP_LAB_STUB_LOG_H
#define KESTRUP_LAB_STUB_LOG_H

#include <windows.h>

/* The file name of module (NULL: the program itself) without its extension. */
static void stub_name(HMODULE module, char *name)
{
    static char path[MAX_PATH + 1];
    char *base = path, *dot;
    if (!GetModuleFileNameA(module, path, MAX_PATH))
        path[0] = 0;
    for (char *p = path; *p; ++p)
        if (*p == '\\' || *p == '/')
            base = p + 1;
    lstrcpyA(name, base);
    dot = name + lstrlenA(name);
    while (dot > name && *dot != '.')
        --dot;
    if (*dot == '.')
        *dot = 0;
}

/* C:\lab\<name><suffix>; C:\lab is made when missing. */
static void stub_lab_file(char *out, const char *name, const char *suffix)
{
    CreateDirectoryA("C:\\lab", NULL);
    lstrcpyA(out, "C:\\lab\\");
    lstrcatA(out, name);
    lstrcatA(out, suffix);
}

/* Appends text to C:\lab\<name>.log; false when it could not be written whole. */
static BOOL stub_append_record(const char *name, const char *text, int length)
{
    static char path[MAX_PATH + 32];
    HANDLE f;
    DWORD written;
    stub_lab_file(path, name, ".log");
    f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return FALSE;
    if (!WriteFile(f, text, (DWORD)length, &written, NULL))
        written = 0;
    CloseHandle(f);
    return written == (DWORD)length;
}

#endif
