/*
 * Stand-in for the AFS software's afsloopback.dll. Its export
 * UnInstallLoopBack (stdcall, no arguments, exported under its plain name)
 * appends a record of the call to C:\lab\afsloopback.log in the format of
 * recorder.c: the library's own path as "module", the calling process's
 * command line as "cmdline", and "call=UnInstallLoopBack".
 */
#include <windows.h>

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
    HANDLE f;
    DWORD n;
    if (!GetModuleFileNameA(self, module, MAX_PATH))
        module[0] = 0;
    CreateDirectoryA("C:\\lab", NULL);
    wsprintfA(rec, "[start]\r\nmodule=%s\r\ncmdline=%.4000s\r\ncall=UnInstallLoopBack\r\n[end]\r\n", module,
              GetCommandLineA());
    f = CreateFileA("C:\\lab\\afsloopback.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return;
    WriteFile(f, rec, (DWORD)lstrlenA(rec), &n, NULL);
    CloseHandle(f);
}
