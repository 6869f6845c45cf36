/*
 * Stand-in for a Kerberos client library Kclnt32.dll. Its one export,
 * KCGetUserName (C calling convention, undecorated name), copies the user
 * name a scenario sets in HKCU\Software\Kestrup Lab "KclntUserName" (REG_SZ)
 * into the caller's 256-character buffer and answers 1; without that value it
 * answers 0 and writes nothing.
 */
#include <windows.h>

__declspec(dllexport) int KCGetUserName(char *name)
{
    char value[256];
    DWORD size = sizeof value - 1, type = 0;
    HKEY key;
    int ok = 0;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Kestrup Lab", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 0;
    ok = RegQueryValueExA(key, "KclntUserName", NULL, &type, (BYTE *)value, &size) == ERROR_SUCCESS && type == REG_SZ;
    RegCloseKey(key);
    if (!ok)
        return 0;
    value[size] = 0;
    lstrcpyA(name, value);
    return 1;
}
