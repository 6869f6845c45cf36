// Process start and wait: the program is resolved as Windows resolves it, the
// start is recorded, and the program's scripted behaviour runs to its end.
#include <windows.h>
#include <winsim/machine.h>

#include "batch.h"

#include <string>

using winsim::Machine;
using winsim::ProcessStart;

namespace {



BOOL Start(Machine& m, ProcessStart start, LPPROCESS_INFORMATION info, HANDLE stdOutput = nullptr) {
    if (start.commandLine.size() > 32767) {
        m.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    start.program = m.ResolveProgram(start.application, start.commandLine);
    if (start.program.empty()) {
        m.startFailures.push_back(start);
        m.lastError = ERROR_FILE_NOT_FOUND;
        return FALSE;
    }
    DWORD exitCode = 0;
    auto it = m.Programs().find(start.program);
    if (it != m.Programs().end() && it->second.startError) {
        m.startFailures.push_back(start);
        m.lastError = it->second.startError;
        return FALSE;
    }
    if (it == m.Programs().end() && winsim::IsBatchFile(start.program)) {
        if (DWORD error = winsim::BatchStartError(m, start.program)) {
            m.startFailures.push_back(start);
            m.lastError = error;
            return FALSE;
        }
    }
    // Standard output reaches the child only through an inheritable handle
    // passed with STARTF_USESTDHANDLES and bInheritHandles.
    std::shared_ptr<winsim::Pipe> output;
    Machine::Handle* out = stdOutput ? m.GetHandle(stdOutput, "pipe-write") : nullptr;
    if ((start.startupFlags & STARTF_USESTDHANDLES) && start.inheritHandles && out && out->inheritable)
        output = out->pipe;
    start.outputCaptured = output != nullptr;
    m.started.push_back(start);
    bool neverEnds = false;
    if (it != m.Programs().end()) {
        exitCode = it->second.exitCode;
        neverEnds = it->second.neverEnds;
        if (output) output->data += it->second.output;
        if (it->second.run) it->second.run(start);
    } else if (winsim::IsBatchFile(start.program)) {
        exitCode = winsim::RunBatchFile(m, start.program);  // Windows hands it to the command interpreter
    }
    Machine::Handle process;
    process.kind = "process";
    process.exitCode = exitCode;
    process.childOutput = output;
    process.neverEnds = neverEnds;
    Machine::Handle thread;
    thread.kind = "thread";
    info->hProcess = m.NewHandle(process);
    info->hThread = m.NewHandle(thread);
    info->dwProcessId = static_cast<DWORD>(m.started.size() * 4 + 1000);
    info->dwThreadId = info->dwProcessId + 2;
    m.lastError = ERROR_SUCCESS;
    return TRUE;
}

}  // namespace

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    Machine& m = winsim::Call("CreateProcessA");
    ProcessStart s;
    s.application = lpApplicationName ? lpApplicationName : "";
    s.commandLine = lpCommandLine ? lpCommandLine : "";
    s.inheritHandles = bInheritHandles;
    s.creationFlags = dwCreationFlags;
    s.environmentInherited = lpEnvironment == nullptr;
    s.currentDirectory = lpCurrentDirectory ? lpCurrentDirectory : "";
    if (lpStartupInfo) {
        if (lpStartupInfo->cb != sizeof(STARTUPINFOA))
            throw winsim::SimulationError("CreateProcessA with a start-up record of the wrong size");
        s.startupFlags = lpStartupInfo->dwFlags;
        s.showWindow = lpStartupInfo->wShowWindow;
    }
    return Start(m, s, lpProcessInformation, lpStartupInfo ? lpStartupInfo->hStdOutput : nullptr);
}

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    Machine& m = winsim::Call("CreateProcessW");
    ProcessStart s;
    s.wide = true;
    s.application = winsim::Narrow(lpApplicationName);
    s.commandLine = winsim::Narrow(lpCommandLine);
    s.inheritHandles = bInheritHandles;
    s.creationFlags = dwCreationFlags;
    s.environmentInherited = lpEnvironment == nullptr;
    s.currentDirectory = winsim::Narrow(lpCurrentDirectory);
    if (lpStartupInfo) {
        if (lpStartupInfo->cb != sizeof(STARTUPINFOW))
            throw winsim::SimulationError("CreateProcessW with a start-up record of the wrong size");
        s.startupFlags = lpStartupInfo->dwFlags;
        s.showWindow = lpStartupInfo->wShowWindow;
    }
    return Start(m, s, lpProcessInformation);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    Machine& m = winsim::Call("WaitForSingleObject");
    Machine::Handle* h = m.GetHandle(hHandle, "process");
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (m.ProcessEnded(*h)) return WAIT_OBJECT_0;
    if (dwMilliseconds == INFINITE)
        throw winsim::SimulationError("WaitForSingleObject(INFINITE) on a process that never ends: waits for ever");
    m.tickCount += dwMilliseconds;
    return WAIT_TIMEOUT;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    Machine& m = winsim::Call("GetExitCodeProcess");
    Machine::Handle* h = m.GetHandle(hProcess, "process");
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *lpExitCode = m.ProcessEnded(*h) ? h->exitCode : STILL_ACTIVE;
    return TRUE;
}
