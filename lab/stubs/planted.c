/*
 * A DLL planted beside kestrup.exe under the name of a library it uses
 * (version.dll, mpr.dll, psapi.dll, msi.dll, Kclnt32.dll). Loading it is
 * the fault: DllMain appends a record to C:\lab\planted.log with the
 * library's own path as "module" and the loading program as "program". It
 * exports what kestrup.exe once imported from these libraries (planted.def
 * gives each its name, or its ordinal for msi.dll), so that an import table
 * naming them would load it and start; every export fails.
 */
#include <windows.h>

#include "stub_log.h"

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved)
{
    static char module[MAX_PATH + 1], program[MAX_PATH + 1], rec[2 * MAX_PATH + 64];
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    if (!GetModuleFileNameA(inst, module, MAX_PATH))
        module[0] = 0;
    if (!GetModuleFileNameA(NULL, program, MAX_PATH))
        program[0] = 0;
    wsprintfA(rec, "[start]\r\nmodule=%s\r\nprogram=%s\r\n[end]\r\n", module, program);
    stub_append_record("planted", rec, lstrlenA(rec));
    return TRUE;
}

/* Failing stand-ins, by argument count (stdcall: the callee pops them). */
DWORD WINAPI PlantedFail8(DWORD a, DWORD b)
{
    (void)a, (void)b;
    SetLastError(ERROR_ACCESS_DENIED);
    return ERROR_ACCESS_DENIED;
}

DWORD WINAPI PlantedFail12(DWORD a, DWORD b, DWORD c)
{
    (void)a, (void)b, (void)c;
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

DWORD WINAPI PlantedFail16(DWORD a, DWORD b, DWORD c, DWORD d)
{
    (void)a, (void)b, (void)c, (void)d;
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

int PlantedKCGetUserName(char *name)
{
    lstrcpyA(name, "planted");
    return 1;
}
