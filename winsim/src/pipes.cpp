// Anonymous pipes, handle inheritance and the clock: enough to run a child
// with its standard output on a pipe, and to catch a parent that would wait
// or read for ever.
#include <windows.h>
#include "internals.h"

#include <algorithm>
#include <cstring>

using winsim::Machine;

namespace winsim {

bool Internals::ProcessEnded(const Handle& process) const {
    if (process.terminated) return true;
    if (process.neverEnds) return false;
    return !process.childOutput || process.childOutput->Unread() <= kPipeCapacity;
}

int Internals::PipeWriters(const std::shared_ptr<Pipe>& pipe) const {
    int writers = 0;
    for (const auto& [id, h] : handles)
        if ((h.kind == "pipe-write" && h.pipe == pipe) ||
            (h.kind == "process" && h.childOutput == pipe && !ProcessEnded(h)))
            ++writers;
    return writers;
}

BOOL ReadPipe(Machine& m, winsim::Handle& readEnd, LPVOID buffer, DWORD size, LPDWORD read) {
    Pipe& pipe = *readEnd.pipe;
    if (pipe.Unread() == 0) {
        if (winsim::Inside(m).PipeWriters(readEnd.pipe) > 0)
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
    winsim::Handle readEnd, writeEnd;
    readEnd.kind = "pipe-read";
    writeEnd.kind = "pipe-write";
    readEnd.pipe = writeEnd.pipe = pipe;
    readEnd.inheritable = writeEnd.inheritable = lpPipeAttributes && lpPipeAttributes->bInheritHandle;
    *hReadPipe = winsim::Inside(m).NewHandle(readEnd);
    *hWritePipe = winsim::Inside(m).NewHandle(writeEnd);
    return TRUE;
}

BOOL WINAPI SetHandleInformation(HANDLE hObject, DWORD dwMask, DWORD dwFlags) {
    Machine& m = winsim::Call("SetHandleInformation");
    winsim::Handle* h = winsim::Inside(m).GetHandle(hObject, nullptr);
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
    winsim::Handle* h = winsim::Inside(m).GetHandle(hNamedPipe, "pipe-read");
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const winsim::Pipe& pipe = *h->pipe;
    if (pipe.Unread() == 0 && winsim::Inside(m).PipeWriters(h->pipe) == 0) {
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
    winsim::Handle* h = winsim::Inside(m).GetHandle(hProcess, "process");
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!winsim::Inside(m).ProcessEnded(*h)) {
        h->terminated = true;
        h->exitCode = uExitCode;
        ++m.terminatedProcesses;
    }
    return TRUE;
}

DWORD WINAPI GetTickCount(void) { return winsim::Call("GetTickCount").tickCount; }
