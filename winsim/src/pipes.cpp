// Anonymous pipes, handle inheritance and the clock: enough to run a child
// with its standard output on a pipe, and to catch a parent that would wait
// or read for ever.
#include <windows.h>
#include <winsim/machine.h>

#include <algorithm>
#include <cstring>

using winsim::Machine;

namespace winsim {

BOOL ReadPipe(Machine& m, Machine::Handle& readEnd, LPVOID buffer, DWORD size, LPDWORD read) {
    Pipe& pipe = *readEnd.pipe;
    if (pipe.Unread() == 0) {
        if (m.PipeWriters(readEnd.pipe) > 0)
            throw SimulationError("ReadFile on an empty pipe whose writer never writes again: blocks for ever");
        m.lastError = ERROR_BROKEN_PIPE;
        return FALSE;
    }
    size_t n = std::min<size_t>(size, pipe.Unread());
    std::memcpy(buffer, pipe.data.data() + pipe.read, n);
    pipe.read += n;
    if (read) *read = static_cast<DWORD>(n);
    m.lastError = ERROR_SUCCESS;
    return TRUE;
}

}  // namespace winsim

BOOL WINAPI CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes, DWORD) {
    Machine& m = winsim::Call("CreatePipe");
    auto pipe = std::make_shared<winsim::Pipe>();
    Machine::Handle readEnd, writeEnd;
    readEnd.kind = "pipe-read";
    writeEnd.kind = "pipe-write";
    readEnd.pipe = writeEnd.pipe = pipe;
    readEnd.inheritable = writeEnd.inheritable = lpPipeAttributes && lpPipeAttributes->bInheritHandle;
    *hReadPipe = m.NewHandle(readEnd);
    *hWritePipe = m.NewHandle(writeEnd);
    return TRUE;
}

BOOL WINAPI SetHandleInformation(HANDLE hObject, DWORD dwMask, DWORD dwFlags) {
    Machine& m = winsim::Call("SetHandleInformation");
    Machine::Handle* h = m.GetHandle(hObject, nullptr);
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (dwMask & HANDLE_FLAG_INHERIT) h->inheritable = (dwFlags & HANDLE_FLAG_INHERIT) != 0;
    return TRUE;
}

BOOL WINAPI PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                          LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage) {
    Machine& m = winsim::Call("PeekNamedPipe");
    Machine::Handle* h = m.GetHandle(hNamedPipe, "pipe-read");
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const winsim::Pipe& pipe = *h->pipe;
    if (pipe.Unread() == 0 && m.PipeWriters(h->pipe) == 0) {
        m.lastError = ERROR_BROKEN_PIPE;
        return FALSE;
    }
    size_t n = lpBuffer ? std::min<size_t>(nBufferSize, pipe.Unread()) : 0;
    if (n) std::memcpy(lpBuffer, pipe.data.data() + pipe.read, n);
    if (lpBytesRead) *lpBytesRead = static_cast<DWORD>(n);
    if (lpTotalBytesAvail) *lpTotalBytesAvail = static_cast<DWORD>(pipe.Unread());
    if (lpBytesLeftThisMessage) *lpBytesLeftThisMessage = 0;
    return TRUE;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    Machine& m = winsim::Call("TerminateProcess");
    Machine::Handle* h = m.GetHandle(hProcess, "process");
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!m.ProcessEnded(*h)) {
        h->terminated = true;
        h->exitCode = uExitCode;
        ++m.terminatedProcesses;
    }
    return TRUE;
}

DWORD WINAPI GetTickCount(void) { return winsim::Call("GetTickCount").tickCount; }
