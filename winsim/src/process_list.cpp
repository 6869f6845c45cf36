// The process list of other programs: EnumProcesses, OpenProcess and the
// first module's base name.
#include <windows.h>
#include <psapi.h>
#include "internals.h"

#include <cstring>

using winsim::Machine;

namespace {

const winsim::RunningProcess* ProcessOf(Machine& m, HANDLE h) {
    winsim::Handle* handle = winsim::Inside(m).GetHandle(h, "process");
    if (!handle || handle->exitCode != STILL_ACTIVE) return nullptr;
    for (auto& p : m.processes)
        if (std::to_string(p.pid) == handle->filePath) return &p;
    return nullptr;
}

}  // namespace

BOOL WINAPI EnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded) {
    Machine& m = winsim::Call("EnumProcesses");
    DWORD n = 0;
    // As Windows does, a list longer than the buffer is cut without an error.
    for (auto& p : m.processes) {
        if ((n + 1) * sizeof(DWORD) > cb) break;
        lpidProcess[n++] = p.pid;
    }
    *lpcbNeeded = n * static_cast<DWORD>(sizeof(DWORD));
    return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId) {
    Machine& m = winsim::Call("OpenProcess");
    for (auto& p : m.processes) {
        if (p.pid != dwProcessId) continue;
        if (p.accessDenied) break;
        winsim::Handle h;
        h.kind = "process";
        h.exitCode = STILL_ACTIVE;
        h.filePath = std::to_string(p.pid);
        h.fileAccess = dwDesiredAccess;
        return winsim::Inside(m).NewHandle(h);
    }
    m.lastError = ERROR_ACCESS_DENIED;
    return nullptr;
}

BOOL WINAPI EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, LPDWORD lpcbNeeded) {
    Machine& m = winsim::Call("EnumProcessModules");
    const winsim::RunningProcess* p = ProcessOf(m, hProcess);
    winsim::Handle* h = winsim::Inside(m).GetHandle(hProcess, "process");
    if (!p || p->noModules || !(h->fileAccess & PROCESS_QUERY_INFORMATION) || !(h->fileAccess & PROCESS_VM_READ)) {
        m.lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (cb >= sizeof(HMODULE)) lphModule[0] = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));
    *lpcbNeeded = sizeof(HMODULE);
    return TRUE;
}

DWORD WINAPI GetModuleBaseNameA(HANDLE hProcess, HMODULE, LPSTR lpBaseName, DWORD nSize) {
    Machine& m = winsim::Call("GetModuleBaseNameA");
    const winsim::RunningProcess* p = ProcessOf(m, hProcess);
    if (!p || nSize == 0) {
        m.lastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    size_t slash = p->exePath.find_last_of('\\');
    std::string base = slash == std::string::npos ? p->exePath : p->exePath.substr(slash + 1);
    size_t n = std::min<size_t>(base.size(), nSize - 1);  // cut to the buffer, terminated
    std::memcpy(lpBaseName, base.data(), n);
    lpBaseName[n] = 0;
    return static_cast<DWORD>(n);
}
