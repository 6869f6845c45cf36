/*
 * Stand-in for a program that is already running when the installer starts
 * (a browser: built as firefox.exe and iexplore.exe).
 *
 * Once up it creates C:\lab\<name>.running, so that the lab starts the
 * installer only after the process is there to be found; it then waits
 * until C:\lab\<name>.stop appears (the lab's signal that the run is over),
 * removes its .running file and ends. It ends by itself after ten minutes,
 * so that a lab run that died never leaves it behind.
 */
#include <windows.h>

#include "stub_log.h"

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR args, int show)
{
    static char name[MAX_PATH + 1], running[MAX_PATH + 32], stop[MAX_PATH + 32];
    HANDLE f;
    DWORD waited;

    (void)prev;
    (void)args;
    (void)show;
    stub_name(NULL, name);
    if (!name[0])
        return 3;
    stub_lab_file(running, name, ".running");
    stub_lab_file(stop, name, ".stop");
    f = CreateFileA(running, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return 2;
#ifdef LAB_SHELL
    {
        /* Not in mingw's import library: looked up as a program of Windows' own would. */
        typedef BOOL(WINAPI * SetShellWindowFunction)(HWND);
        SetShellWindowFunction setShellWindow =
            (SetShellWindowFunction)(void *)GetProcAddress(GetModuleHandleA("user32.dll"), "SetShellWindow");
        WNDCLASSA wc;
        HWND shell;
        ZeroMemory(&wc, sizeof wc);
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = inst;
        wc.lpszClassName = "Progman";
        RegisterClassA(&wc);
        shell = CreateWindowExA(0, "Progman", "Program Manager", WS_POPUP, 0, 0, 1, 1, NULL, NULL, inst, NULL);
        if (!shell || !setShellWindow || !setShellWindow(shell))
            return 4;
    }
#endif
    CloseHandle(f);
    for (waited = 0; waited < 600000; waited += 100) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        if (GetFileAttributesA(stop) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(100);
    }
    DeleteFileA(running);
    return 0;
}
