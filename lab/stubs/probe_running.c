/*
 * lab_probe.exe NAME: whether this Wine can see that a program NAME runs,
 * by the calls a Windows program uses for that (EnumProcesses, then each
 * process's first module and its base name). Exit value 0: seen; 1: not
 * seen; 2: the processes cannot be listed.
 *
 * Where Wine runs 32-bit programs through qemu-user, another process's
 * memory is read at the wrong addresses and no module is ever found; the
 * lab then cannot stage a running program.
 */
#include <windows.h>
#include <psapi.h>

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR args, int show)
{
    static DWORD ids[2048];
    DWORD bytes = 0, i;
    char wanted[MAX_PATH] = "";
    int n = 0;

    (void)inst;
    (void)prev;
    (void)show;
    while (*args == ' ')
        ++args;
    while (args[n] && args[n] != ' ' && n < MAX_PATH - 1) {
        wanted[n] = args[n];
        ++n;
    }
    wanted[n] = 0;
    if (!EnumProcesses(ids, sizeof ids, &bytes))
        return 2;
    for (i = 0; i < bytes / sizeof(DWORD); ++i) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ids[i]);
        HMODULE module;
        DWORD needed;
        char name[255] = "";
        int found = 0;
        if (!process)
            continue;
        if (EnumProcessModules(process, &module, sizeof module, &needed) &&
            GetModuleBaseNameA(process, module, name, sizeof name))
            found = lstrcmpiA(name, wanted) == 0;
        CloseHandle(process);
        if (found)
            return 0;
    }
    return 1;
}
