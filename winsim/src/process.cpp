// Process start and wait: the program is resolved as Windows resolves it, the
// start is recorded, and the program's scripted behaviour runs to its end.
// Also the processes part: its programs and the resolution of a command line.
#include <windows.h>
#include "internals.h"

#include "batch.h"

#include <string>

namespace winsim {

void Processes::AddProgram(const std::string& path, Program program) {
    Machine& m = MachineOf(this);
    if (!m.FindFile(path)) m.AddFile(path, "MZ");
    programs_[path] = std::move(program);
}

std::string Processes::ResolveProgram(const std::string& application, const std::string& commandLine) {
    Machine& m = MachineOf(this);
    // The program's own (long) path when a file is there.
    auto exists = [&](const std::string& p) -> std::string {
        FileEntry* f = m.FindFile(p);
        return f && !f->directory ? f->path : std::string();
    };
    auto isAbsolute = [](const std::string& p) {
        return (p.size() >= 3 && p[1] == ':' && p[2] == '\\') || p.rfind("\\\\", 0) == 0;
    };
    // A bare name is searched: the program's folder, the current folder
    // (unless NoDefaultCurrentDirectoryInExePath is set), the system folders,
    // the Windows folder, then PATH. A relative path is taken from the current folder.
    auto search = [&](const std::string& p) -> std::string {
        if (isAbsolute(p)) return exists(p);
        if (p.find_first_of("\\/:") != std::string::npos) return exists(m.currentDirectory + "\\" + p);
        std::vector<std::string> folders = {m.modulePath.substr(0, m.modulePath.find_last_of('\\'))};
        if (!m.Env().count("NoDefaultCurrentDirectoryInExePath")) folders.push_back(m.currentDirectory);
        for (const std::string& f : {m.systemDirectory, m.windowsDirectory + "\\System", m.windowsDirectory})
            folders.push_back(f);
        auto path = m.Env().find("PATH");
        if (path != m.Env().end()) {
            size_t pos = 0;
            while (pos <= path->second.size()) {
                size_t end = path->second.find(';', pos);
                std::string folder = path->second.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
                if (!folder.empty()) folders.push_back(folder);
                if (end == std::string::npos) break;
                pos = end + 1;
            }
        }
        for (std::string folder : folders) {
            if (!folder.empty() && folder.back() == '\\') folder.pop_back();
            std::string found = exists(folder + "\\" + p);
            if (!found.empty()) return found;
        }
        return "";
    };
    auto withExe = [&](const std::string& p) -> std::string {
        std::string found = search(p);
        if (!found.empty()) return found;
        size_t slash = p.find_last_of('\\');
        size_t dot = p.find_last_of('.');
        if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return search(p + ".exe");
        return "";
    };
    // With the application named there is no search and no default extension.
    if (!application.empty())
        return exists(isAbsolute(application) ? application : m.currentDirectory + "\\" + application);
    if (!commandLine.empty() && commandLine[0] == '"') {
        size_t end = commandLine.find('"', 1);
        return withExe(commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1));
    }
    // Unquoted: Windows tries each blank-cut prefix in turn as the program.
    size_t pos = 0;
    while (true) {
        size_t blank = commandLine.find(' ', pos);
        std::string candidate = commandLine.substr(0, blank);
        std::string found = withExe(candidate);
        if (!found.empty()) return found;
        if (blank == std::string::npos) return "";
        pos = blank + 1;
    }
}

void Internals::AdvanceTicks(DWORD ms) {
    m.tickCount += ms;
    // Due events are taken out before they run: one may start another.
    for (size_t i = 0; i < later.size();) {
        if (static_cast<int32_t>(m.tickCount - later[i].first) < 0) {
            ++i;
            continue;
        }
        std::function<void()> due = std::move(later[i].second);
        later.erase(later.begin() + static_cast<std::ptrdiff_t>(i));
        due();
    }
}

}  // namespace winsim

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
    // The loader opens the image for reading and executing: a handle that does not share reading keeps it shut.
    if (winsim::Inside(m).FileSharingConflict(start.program, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                              false)) {
        m.startFailures.push_back(start);
        m.lastError = ERROR_SHARING_VIOLATION;
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
    winsim::Handle* out = stdOutput ? winsim::Inside(m).GetHandle(stdOutput, "pipe-write") : nullptr;
    if ((start.startupFlags & STARTF_USESTDHANDLES) && start.inheritHandles && out && out->inheritable)
        output = out->pipe;
    start.outputCaptured = output != nullptr;
    m.started.push_back(start);
    const DWORD pid = static_cast<DWORD>(m.started.size() * 4 + 1000);
    bool neverEnds = false;
    std::string lastOutput;
    if (it != m.Programs().end()) {
        exitCode = it->second.exitCode;
        neverEnds = it->second.neverEnds;
        if (output) output->data += it->second.output;
        if (output) lastOutput = it->second.lastOutput;
        if (it->second.run) it->second.run(start);
        if (it->second.finish) {
            const DWORD copyPid = pid + 4000;
            m.processes.push_back({copyPid, "C:\\Windows\\Temp\\~uninstall.exe"});
            m.processes.back().parentPid = pid;
            std::function<void()> finish = it->second.finish;
            winsim::Inside(m).later.push_back({m.tickCount + it->second.finishesAfterMs, [&m, copyPid, finish] {
                                                   finish();
                                                   auto& list = m.processes;
                                                   for (auto p = list.begin(); p != list.end(); ++p)
                                                       if (p->pid == copyPid) {
                                                           list.erase(p);
                                                           break;
                                                       }
                                               }});
        }
    } else if (winsim::IsBatchFile(start.program)) {
        exitCode = winsim::RunBatchFile(m, start.program);  // Windows hands it to the command interpreter
    }
    winsim::Handle process;
    process.kind = "process";
    process.exitCode = exitCode;
    process.childOutput = output;
    process.lastOutput = lastOutput;
    process.neverEnds = neverEnds;
    winsim::Handle thread;
    thread.kind = "thread";
    info->hProcess = winsim::Inside(m).NewHandle(process);
    info->hThread = winsim::Inside(m).NewHandle(thread);
    info->dwProcessId = pid;
    info->dwThreadId = info->dwProcessId + 2;
    m.lastError = ERROR_SUCCESS;
    return TRUE;
}

}  // namespace

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                           BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
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
    if (winsim::IsWideStub(m)) return FALSE;
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
    winsim::Handle* h = winsim::Inside(m).GetHandle(hHandle, "process");
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (winsim::Inside(m).ProcessEnded(*h)) {
        if (h->childOutput && !h->terminated) h->childOutput->data += h->lastOutput;
        h->lastOutput.clear();
        return WAIT_OBJECT_0;
    }
    if (dwMilliseconds == INFINITE)
        throw winsim::SimulationError("WaitForSingleObject(INFINITE) on a process that never ends: waits for ever");
    winsim::Inside(m).AdvanceTicks(dwMilliseconds);
    return WAIT_TIMEOUT;
}

VOID WINAPI Sleep(DWORD dwMilliseconds) {
    Machine& m = winsim::Call("Sleep");
    if (dwMilliseconds == INFINITE) throw winsim::SimulationError("Sleep(INFINITE): sleeps for ever");
    m.sleptMilliseconds += dwMilliseconds;  // how long the product would have waited
    winsim::Inside(m).AdvanceTicks(dwMilliseconds);
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    Machine& m = winsim::Call("GetExitCodeProcess");
    winsim::Handle* h = winsim::Inside(m).GetHandle(hProcess, "process");
    if (!h) {
        m.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    *lpExitCode = winsim::Inside(m).ProcessEnded(*h) ? h->exitCode : STILL_ACTIVE;
    return TRUE;
}
