/*
 * lab_probe.exe NAME: whether this Wine can see that a program NAME runs,
 * by the calls the installer uses for that: a Toolhelp snapshot of the
 * processes with their image names, as on Windows 2000 and later; with
 * "/psapi", EnumProcesses and each process's first module and its base name,
 * as on NT 4. Exit value 0: seen; 1: not seen; 2: the processes cannot be
 * listed.
 *
 * Where Wine runs 32-bit programs through qemu-user, another process's
 * memory is read at the wrong addresses and no module is ever found by the
 * second way; Toolhelp asks Wine's server and is not affected.
 */
#include <windows.h>
#include <psapi.h>
#include <string.h>
#include <tlhelp32.h>

static int seen_by_toolhelp(const char *wanted)
{
    PROCESSENTRY32 entry;
    int found = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 2;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry))
        found = lstrcmpiA(entry.szExeFile, wanted) == 0;
    CloseHandle(snapshot);
    return found ? 0 : 1;
}

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
    if (!strstr(args, "/psapi"))
        return seen_by_toolhelp(wanted);
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
