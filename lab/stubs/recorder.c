/*
 * Stand-in for an outside program that the installer starts (netidmgr.exe
 * and, later, others built from this same source under another name).
 *
 * It records how it was started and exits at once. One record is appended
 * per start to C:\lab\<name>.log, where <name> is the stub's own file name
 * without ".exe" (so netidmgr.exe writes C:\lab\netidmgr.log). C:\lab is
 * created when missing. A fixed folder rather than one beside the exe,
 * because the exe lives wherever the package under test put it.
 *
 * Record format (text, CR LF line ends):
 *   [start]
 *   module=<full path from GetModuleFileNameA>
 *   cmdline=<GetCommandLineA, verbatim>
 *   program=<the command line's first token (quotes removed) in its long
 *            form from GetLongPathNameA; empty when that finds no file>
 *   flags=<STARTUPINFO.dwFlags, decimal>
 *   useshowwindow=<1 when STARTF_USESHOWWINDOW is set, else 0>
 *   showwindow=<STARTUPINFO.wShowWindow, decimal>
 *   cwd=<current directory>
 *   [end]
 *
 * Only Win32 calls: the record must not depend on a C runtime's idea of
 * the command line.
 *
 * Built with LAB_STUB_AFTER_RECORD defined, the stub calls
 * lab_stub_after_record() (from another source) once the record is
 * written: a stub that must also do something, such as an uninstaller.
 */
#include <windows.h>

#include "stub_log.h"

#ifdef LAB_STUB_AFTER_RECORD
void lab_stub_after_record(void);
#endif

static void append(char *buf, int cap, int *len, const char *s)
{
    while (*s && *len < cap - 1)
        buf[(*len)++] = *s++;
    buf[*len] = 0;
}

static void append_uint(char *buf, int cap, int *len, unsigned long v)
{
    char tmp[16];
    wsprintfA(tmp, "%lu", v);
    append(buf, cap, len, tmp);
}

/* The program a command line names, as the system finds it: the first token,
 * quoted or up to the first blank. A short (8.3) name comes back long, so a
 * record shows which file a short command line really named. */
static void command_program(char *out, int cap)
{
    static char token[MAX_PATH + 1];
    const char *p = GetCommandLineA();
    int n = 0;
    char end = ' ';
    if (*p == '"') {
        end = '"';
        ++p;
    }
    while (*p && *p != end && n < MAX_PATH)
        token[n++] = *p++;
    token[n] = 0;
    if (!GetLongPathNameA(token, out, (DWORD)cap))
        out[0] = 0;
}

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR args, int show)
{
    static char module[MAX_PATH + 1], name[MAX_PATH + 1], cwd[MAX_PATH + 1], program[MAX_PATH + 1];
    static char rec[65536];
    int len = 0;
    STARTUPINFOA si;

    (void)inst;
    (void)prev;
    (void)args;
    (void)show;

    if (!GetModuleFileNameA(NULL, module, MAX_PATH))
        return 3;
    stub_name(NULL, name);

    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    GetStartupInfoA(&si);
    if (!GetCurrentDirectoryA(sizeof cwd, cwd))
        cwd[0] = 0;

    append(rec, sizeof rec, &len, "[start]\r\nmodule=");
    append(rec, sizeof rec, &len, module);
    append(rec, sizeof rec, &len, "\r\ncmdline=");
    append(rec, sizeof rec, &len, GetCommandLineA());
    command_program(program, sizeof program);
    append(rec, sizeof rec, &len, "\r\nprogram=");
    append(rec, sizeof rec, &len, program);
    append(rec, sizeof rec, &len, "\r\nflags=");
    append_uint(rec, sizeof rec, &len, si.dwFlags);
    append(rec, sizeof rec, &len, "\r\nuseshowwindow=");
    append(rec, sizeof rec, &len, (si.dwFlags & STARTF_USESHOWWINDOW) ? "1" : "0");
    append(rec, sizeof rec, &len, "\r\nshowwindow=");
    append_uint(rec, sizeof rec, &len, si.wShowWindow);
    append(rec, sizeof rec, &len, "\r\ncwd=");
    append(rec, sizeof rec, &len, cwd);
    append(rec, sizeof rec, &len, "\r\n[end]\r\n");

    if (!stub_append_record(name, rec, len))
        return 2;
#ifdef LAB_STUB_AFTER_RECORD
    lab_stub_after_record();
#endif
    return 0;
}
