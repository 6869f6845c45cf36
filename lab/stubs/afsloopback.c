/*
 * Stand-in for the AFS software's afsloopback.dll. Its export
 * UnInstallLoopBack (stdcall, no arguments, exported under its plain name)
 * appends a record of the call to C:\lab\afsloopback.log in the format of
 * recorder.c: the library's own path as "module", the calling process's
 * command line as "cmdline", and "call=UnInstallLoopBack".
 */
#include <windows.h>

#include "stub_log.h"

static HINSTANCE self;

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        self = inst;
    return TRUE;
}

__declspec(dllexport) void WINAPI UnInstallLoopBack(void)
{
    static char module[MAX_PATH + 1], rec[8192];
    if (!GetModuleFileNameA(self, module, MAX_PATH))
        module[0] = 0;
    wsprintfA(rec, "[start]\r\nmodule=%s\r\ncmdline=%.4000s\r\ncall=UnInstallLoopBack\r\n[end]\r\n", module,
              GetCommandLineA());
    stub_append_record("afsloopback", rec, lstrlenA(rec));
}
