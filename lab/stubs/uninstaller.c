/*
 * Stand-in for the uninstaller of an earlier package that is not a Windows
 * Installer product (built with recorder.c, which records the start first).
 *
 * With "/remove-entry=NAME" on its command line (NAME up to the end of the
 * line) it deletes its own uninstall entry,
 * HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\NAME (a 32-bit
 * program: the 32-bit view), as a real uninstaller does when it is done.
 * Without it the entry stays: an uninstaller that failed or was cancelled.
 */
#include <windows.h>

void lab_stub_after_record(void)
{
    static const char root[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    static const char option[] = "/remove-entry=";
    static char key[sizeof root + MAX_PATH];
    const char *line = GetCommandLineA();
    const char *p;
    int n = lstrlenA(option);

    for (p = line; *p; ++p)
        if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, p, n, option, n) == CSTR_EQUAL)
            break;
    if (!*p || lstrlenA(p + n) >= MAX_PATH || !p[n])
        return;
    lstrcpyA(key, root);
    lstrcatA(key, p + n);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key);
}
