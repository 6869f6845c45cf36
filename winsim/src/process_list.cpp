// The process list of other programs: EnumProcesses, OpenProcess and the
// first module's base name, and Toolhelp snapshots.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
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

// The executable's file name, cut to the buffer and terminated; its length.
DWORD CopyBaseName(const std::string& path, LPSTR out, size_t size) {
    size_t slash = path.find_last_of('\\');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t n = std::min<size_t>(base.size(), size - 1);
    std::memcpy(out, base.data(), n);
    out[n] = 0;
    return static_cast<DWORD>(n);
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
    std::vector<winsim::RunningProcess> list = m.processes;  // and the desktop's shell
    if (!m.shellUser.empty()) list.push_back({Machine::kShellPid, "explorer.exe", false, false, false, m.shellUser});
    const bool debug = m.privilegesEnabled.count(SE_DEBUG_NAME) != 0;
    for (auto& p : list) {
        if (p.pid != dwProcessId) continue;
        if (p.accessDenied) break;
        if (!p.owner.empty() && p.owner != winsim::Inside(m).TokenUserSid() && !debug) break;
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
    if (p->is64Bit && m.arch() == winsim::Arch::x64) {
        m.lastError = ERROR_PARTIAL_COPY;  // a 32-bit caller cannot read a 64-bit process's module list
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
    return CopyBaseName(p->exePath, lpBaseName, nSize);
}

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD) {
    Machine& m = winsim::Call("CreateToolhelp32Snapshot");
    if (!(dwFlags & TH32CS_SNAPPROCESS)) {
        m.lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    winsim::Handle h;
    h.kind = "snapshot";
    h.snapshot = m.processes;
    return winsim::Inside(m).NewHandle(h);
}

namespace {

BOOL NextInSnapshot(Machine& m, HANDLE snapshot, LPPROCESSENTRY32 entry, bool first) {
    winsim::Handle* h = winsim::Inside(m).GetHandle(snapshot, "snapshot");
    if (!h || !entry) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (entry->dwSize < sizeof(PROCESSENTRY32)) {
        m.lastError = 24;  // ERROR_BAD_LENGTH
        return FALSE;
    }
    if (first) h->snapshotNext = 0;
    if (h->snapshotNext >= h->snapshot.size()) {
        m.lastError = ERROR_NO_MORE_FILES;
        return FALSE;
    }
    const winsim::RunningProcess& p = h->snapshot[h->snapshotNext++];
    entry->th32ProcessID = p.pid;
    entry->th32ParentProcessID = p.parentPid;
    CopyBaseName(p.exePath, entry->szExeFile, MAX_PATH);  // as NT-family Windows gives it
    return TRUE;
}

}  // namespace

BOOL WINAPI Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) {
    return NextInSnapshot(winsim::Call("Process32First"), hSnapshot, lppe, true);
}

BOOL WINAPI Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe) {
    return NextInSnapshot(winsim::Call("Process32Next"), hSnapshot, lppe, false);
}
