/*
 * Starts a program the way a deployment tool's service does: in a window
 * station of its own, which is not visible (no WSF_VISIBLE), on a desktop of
 * that station. Nobody can see or answer a box made there.
 *
 *   lab_service_launch.exe "C:\Kestrup Setup\kestrup.exe" /ReallySilent
 *
 * Its exit value is the program's; it waits at most LAB_WAIT_MS and then
 * ends the program and answers LAB_GAVE_UP, as a deployment tool gives up on
 * an installation that never returns (124, as timeout(1) does: Wine hands
 * Linux only the low 8 bits of an exit value).
 */
#include <windows.h>

#define LAB_WAIT_MS 90000
#define LAB_GAVE_UP 124

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR args, int show)
{
    static char desktop[] = "Service-0x0-lab$\\Default";
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    HWINSTA station;
    HWINSTA own = GetProcessWindowStation();
    HDESK desk;
    DWORD code = 1;

    (void)inst;
    (void)prev;
    (void)show;
    station = CreateWindowStationA("Service-0x0-lab$", 0, WINSTA_ALL_ACCESS, NULL);
    if (!station || !SetProcessWindowStation(station))
        return 3;
    /* The desktop is made in the station the calling process is in. */
    desk = CreateDesktopA("Default", NULL, NULL, 0, GENERIC_ALL, NULL);
    SetProcessWindowStation(own);
    if (!desk)
        return 4;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.lpDesktop = desktop;
    if (!CreateProcessA(NULL, args, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return 5;
    if (WaitForSingleObject(pi.hProcess, LAB_WAIT_MS) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, LAB_GAVE_UP);
        WaitForSingleObject(pi.hProcess, 10000);
        code = LAB_GAVE_UP;
    } else {
        GetExitCodeProcess(pi.hProcess, &code);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseDesktop(desk);
    CloseWindowStation(station);
    return (int)code;
}
