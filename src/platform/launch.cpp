#include "platform/launch.h"

#include "platform/handles.h"
#include "platform/os_version.h"
#include "platform/processes.h"
#include "platform/run_log.h"
#include "platform/system_library.h"
#include "platform/text.h"

#include <windows.h>

#include <new>
#include <vector>

namespace kestrup {

namespace {

constexpr int kCommandUnits = 4096;
constexpr DWORD kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE

bool IsFile(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The file one candidate program name stands for, or the empty text.
std::string FindProgram(std::string name) {
    if (name.empty()) return "";
    size_t slash = name.find_last_of('\\');
    size_t dot = name.find_last_of('.');
    if (name.back() == '.')
        name.pop_back();  // a trailing dot means "no extension"
    else if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        name += ".exe";
    if (name.find_first_of("\\/:") == std::string::npos) return FindInSafeFolders(name);
    const bool absolute = (name.size() >= 3 && name[1] == ':' && name[2] == '\\') || name.rfind("\\\\", 0) == 0;
    return absolute && IsFile(name) ? name : std::string();
}

}  // namespace

std::string ResolveCommandProgram(const std::string& commandLine) {
    if (!commandLine.empty() && commandLine[0] == '"') {
        size_t end = commandLine.find('"', 1);
        std::string found = FindProgram(commandLine.substr(1, end == std::string::npos ? std::string::npos : end - 1));
        if (found.empty()) SetLastError(ERROR_FILE_NOT_FOUND);
        return found;
    }
    // Unquoted: each blank-cut prefix in turn, as Windows tries them.
    for (size_t blank = commandLine.find_first_of(" \t");; blank = commandLine.find_first_of(" \t", blank + 1)) {
        std::string found = FindProgram(commandLine.substr(0, blank));
        if (!found.empty()) return found;
        if (blank == std::string::npos) break;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return "";
}

std::string LastErrorText() {
    DWORD code = GetLastError();
    char* buffer = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (length == 0 || !buffer) {
        if (buffer) LocalFree(buffer);
        return IntToText(static_cast<int>(code));
    }
    std::string text(buffer, length);
    LocalFree(buffer);
    // The text ends before its first control character or first byte outside
    // ASCII: the line end every system message carries goes with it.
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 32 || c >= 127) {
            text.resize(i);
            break;
        }
    }
    return text;
}

namespace {

// The run's log names each program started, and how it ended.
void LogProgram(const std::string& commandLine, const std::string& outcome) {
    WriteRunLog("program " + commandLine + ": " + outcome);
}

std::string ExitCodeText(HANDLE process) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) return "ended, exit code unknown";
    return "ended with exit code " + IntToText(static_cast<int>(code));
}

bool CreateShownProcessA(const std::string& application, const std::string& commandLine, unsigned short showWindow,
                         unsigned long creationFlags, PROCESS_INFORMATION& info) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = showWindow;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    return CreateProcessA(application.empty() ? nullptr : application.c_str(), line.data(), nullptr, nullptr, FALSE,
                          static_cast<DWORD>(creationFlags), nullptr, nullptr, &startup, &info) != FALSE;
}

}  // namespace

bool StartProgramA(const std::string& application, const std::string& commandLine, unsigned short showWindow,
                   unsigned long creationFlags, bool wait) {
    PROCESS_INFORMATION info = {};
    if (!CreateShownProcessA(application, commandLine, showWindow, creationFlags, info)) {
        LogProgram(commandLine, "not started: " + LastErrorText());
        return false;
    }
    ProcessHandles handles;
    handles.adopt(info);
    if (!wait) {
        LogProgram(commandLine, "started, not waited for");
        return true;
    }
    WaitForSingleObject(handles.process.get(), INFINITE);
    LogProgram(commandLine, ExitCodeText(handles.process.get()));
    return true;
}

bool RunHiddenAndWait(const std::string& commandLine) {
    // Named to Windows as the application, so that no search of Windows' own
    // can pick a program of that name from this program's folder.
    const std::string program = ResolveCommandProgram(commandLine);
    if (program.empty()) LogProgram(commandLine, "not started: no such program where one is looked for");
    return !program.empty() && StartProgramA(program, commandLine, SW_HIDE, CREATE_NO_WINDOW, true);
}

CaptureResult RunHiddenCapturingOutput(const std::string& program, const std::string& commandLine, size_t limit,
                                       unsigned long timeoutMs, std::string& output) {
    output.clear();
    constexpr DWORD kPollMs = 50;
    constexpr DWORD kChunk = 4096;
    // Only the write end is inheritable: the child gets it and nothing else of ours.
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
    KernelHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.receive(), writeEnd.receive(), &attributes, 0) ||
        !SetHandleInformation(writeEnd.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        return CaptureResult::kNotStarted;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdOutput = writeEnd.get();
    PROCESS_INFORMATION info = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
        LogProgram(commandLine, "not started: " + LastErrorText());
        return CaptureResult::kNotStarted;
    }
    ProcessHandles handles;
    handles.adopt(info);
    // Our copy of the write end goes, so that the pipe breaks when the child ends.
    writeEnd.reset();

    bool overLimit = false, ended = false;
    const DWORD started = GetTickCount();
    std::vector<char> chunk(kChunk);
    try {
        while (true) {
            // Only what is there is read: a read of an empty pipe would block
            // for as long as anything holds its write end.
            DWORD available = 0, read = 0;
            while (PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
                   ReadFile(readEnd.get(), chunk.data(), available < kChunk ? available : kChunk, &read, nullptr) &&
                   read > 0) {
                size_t keep = output.size() < limit ? limit - output.size() : 0;
                if (read > keep) overLimit = true;
                output.append(chunk.data(), read < keep ? read : keep);
            }
            if (ended) break;
            if (GetTickCount() - started >= timeoutMs) {
                TerminateProcess(handles.process.get(), 1);
                WaitForSingleObject(handles.process.get(), kPollMs);
                output.clear();
                LogProgram(commandLine, "did not end within " + IntToText(static_cast<int>(timeoutMs / 1000)) +
                                            " seconds and was ended");
                return CaptureResult::kTimedOut;
            }
            // Its last output may come as it ends: one more round reads it.
            ended = WaitForSingleObject(handles.process.get(), kPollMs) == WAIT_OBJECT_0;
        }
    } catch (const std::bad_alloc&) {
        if (!ended) TerminateProcess(handles.process.get(), 1);
        output.clear();
        LogProgram(commandLine, "its output could not be held");
        return CaptureResult::kNoMemory;
    }
    LogProgram(commandLine, ExitCodeText(handles.process.get()));
    if (overLimit) {
        size_t lastLineEnd = output.rfind('\n');
        output.resize(lastLineEnd == std::string::npos ? 0 : lastLineEnd + 1);
    }
    return CaptureResult::kEnded;
}

namespace {

// RunCommand's start: false, with errorText, when the program could not be started.
bool StartCommand(const std::string& commandLine, std::string& errorText, ProcessHandles& handles) {
    errorText.clear();
    std::vector<WCHAR> wide(kCommandUnits), application(MAX_PATH);
    // A command line that does not fit is refused whole, never started cut.
    if (commandLine.size() >= kCommandUnits ||
        MultiByteToWideChar(CP_ACP, 0, commandLine.c_str(), -1, wide.data(), kCommandUnits) == 0) {
        SetLastError(kErrorFilenameTooLong);
        errorText = "Unable to run the program: " + commandLine + " Error Message: " + LastErrorText();
        LogProgram(commandLine, "not started: " + LastErrorText());
        return false;
    }
    const std::string program = ResolveCommandProgram(commandLine);
    if (program.empty() || MultiByteToWideChar(CP_ACP, 0, program.c_str(), -1, application.data(), MAX_PATH) == 0) {
        if (!program.empty()) SetLastError(kErrorFilenameTooLong);
        errorText = "Unable to run the program: " + commandLine + " Error Message: " + LastErrorText();
        LogProgram(commandLine, "not started: " + LastErrorText());
        return false;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION info = {};
    // Windows 95, 98 and Me have only a stub of CreateProcessW, which always fails.
    const bool started = IsNtFamily() ? CreateProcessW(application.data(), wide.data(), nullptr, nullptr, FALSE, 0,
                                                       nullptr, nullptr, &startup, &info) != FALSE
                                      : CreateShownProcessA(program, commandLine, SW_SHOWNORMAL, 0, info);
    if (!started) {
        std::string systemText = LastErrorText();  // before any other call changes the last error
        errorText = "Unable to run the program: " + commandLine + " Error Message: " + systemText;
        LogProgram(commandLine, "not started: " + systemText);
        return false;
    }
    handles.adopt(info);
    return true;
}

}  // namespace

bool RunCommand(const std::string& commandLine, bool wait, std::string& errorText) {
    ProcessHandles handles;
    if (!StartCommand(commandLine, errorText, handles)) return false;
    if (!wait) {
        LogProgram(commandLine, "started, not waited for");
        return true;
    }
    WaitForSingleObject(handles.process.get(), INFINITE);
    LogProgram(commandLine, ExitCodeText(handles.process.get()));
    return true;
}

constexpr DWORD kStartedPollMs = 1000;

RunOutcome RunCommandWithin(const std::string& commandLine, unsigned long waitMs, std::string& errorText) {
    ProcessHandles handles;
    if (!StartCommand(commandLine, errorText, handles)) return RunOutcome::kNotStarted;
    const DWORD start = GetTickCount();
    const std::string stillRunning =
        "still running after " + IntToText(static_cast<int>(waitMs / 60000)) + " minutes, left to run";
    if (WaitForSingleObject(handles.process.get(), waitMs) != WAIT_OBJECT_0) {
        LogProgram(commandLine, stillRunning);
        return RunOutcome::kStillRunning;
    }
    // Many uninstallers start a copy of themselves (from the temporary folder)
    // and exit at once: the work is done when what it started has ended too.
    // Its handle stays open meanwhile, so its id is not given to another.
    while (StartedProcessesRun(handles.id)) {
        if (GetTickCount() - start >= waitMs) {
            LogProgram(commandLine, "ended, but what it started is " + stillRunning);
            return RunOutcome::kStillRunning;
        }
        Sleep(kStartedPollMs);
    }
    LogProgram(commandLine, ExitCodeText(handles.process.get()));
    return RunOutcome::kEnded;
}

}  // namespace kestrup
