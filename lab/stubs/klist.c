/*
 * Stand-in for Kerberos for Windows's klist.exe, a console program.
 *
 * Prints what "klist -C" prints about the default credentials cache: the
 * line "Default principal: <principal>" for the principal a scenario sets in
 * HKCU\Software\Kestrup Lab "KlistPrincipal" (REG_SZ), or, without that
 * value, the message klist gives when there is no cache. Like the other
 * stubs it appends a record of its start to C:\lab\klist.log (the format of
 * recorder.c).
 */
#include <windows.h>

#include "stub_log.h"

static void put(HANDLE out, const char *s)
{
    DWORD n;
    WriteFile(out, s, (DWORD)lstrlenA(s), &n, NULL);
}

static void record(void)
{
    static char module[MAX_PATH + 1], rec[8192];
    if (!GetModuleFileNameA(NULL, module, MAX_PATH))
        module[0] = 0;
    wsprintfA(rec, "[start]\r\nmodule=%s\r\ncmdline=%.4000s\r\n[end]\r\n", module, GetCommandLineA());
    stub_append_record("klist", rec, lstrlenA(rec));
}

int main(void)
{
    static char principal[1024];
    DWORD size = sizeof principal - 1, type = 0;
    HKEY key;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    int found = 0;

    record();
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kestrup Lab", 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        found = RegQueryValueExA(key, "KlistPrincipal", NULL, &type, (BYTE *)principal, &size) == ERROR_SUCCESS &&
                type == REG_SZ;
        RegCloseKey(key);
    }
    if (!found) {
        put(out, "klist: No credentials cache found (ticket cache API:krb5cc)\r\n");
        return 1;
    }
    principal[size] = 0;
    put(out, "Ticket cache: API:krb5cc\r\nDefault principal: ");
    put(out, principal);
    put(out, "\r\n\r\nValid starting     Expires            Service principal\r\n");
    return 0;
}
