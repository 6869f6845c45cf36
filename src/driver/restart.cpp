#include "driver/restart.h"

#include "platform/handles.h"

#include <windows.h>

namespace kestrup {

namespace {

void RequestExitWindows(UINT flags) {
    // Results are not examined: without the privilege Windows refuses the
    // request itself, and the user restarts or logs off by hand.
    KernelHandle token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.receive());
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    if (token) AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
    ExitWindowsEx(flags, 0);
}

}  // namespace

void RestartComputer() { RequestExitWindows(EWX_SHUTDOWN | EWX_REBOOT); }

void LogOffUser() { RequestExitWindows(EWX_LOGOFF | EWX_FORCE); }

}  // namespace kestrup
