// Programs the product starts (their files, exit codes, output and what they do
// when they run), how Windows resolves a program from a command line, the
// command interpreter's part in batch files, and other programs' processes as
// the process list shows them.
#pragma once

#include <winsim/basics.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace winsim {

struct ProcessStart {
    std::string application;  // lpApplicationName, empty when null
    std::string commandLine;
    std::string program;  // the program Windows resolved and ran
    bool wide = false;    // started through CreateProcessW
    BOOL inheritHandles = FALSE;
    DWORD creationFlags = 0;
    DWORD startupFlags = 0;
    WORD showWindow = 0;
    std::string currentDirectory;  // empty when null (the parent's)
    bool environmentInherited = true;
    bool outputCaptured = false;  // its standard output is an inherited pipe
};

// A program that can be started: its exit code and what it does when it runs.
struct Program {
    DWORD exitCode = 0;
    DWORD startError = 0;  // non-zero: CreateProcess fails with this error
    std::function<void(const ProcessStart&)> run;
    std::string output;      // what it prints on standard output (a batch file's ">" catches it)
    bool neverEnds = false;  // runs until TerminateProcess ends it
    // What a copy of itself that it leaves running (in %TEMP%, as many
    // uninstallers do before they exit) does finishesAfterMs after the start,
    // once the product has waited or slept that long. Until then the copy is in
    // the process list, its parent the program's process.
    std::function<void()> finish;
    DWORD finishesAfterMs = 0;
    std::string lastOutput;  // printed as it ends: on the pipe once a wait has seen it end
};

// Another program's process, as the process list shows it.
struct RunningProcess {
    DWORD pid = 0;
    std::string exePath;        // its first module
    bool accessDenied = false;  // OpenProcess fails
    bool noModules = false;     // EnumProcessModules fails (a system process, say)
    // A 64-bit process: EnumProcessModules from this 32-bit program fails with
    // ERROR_PARTIAL_COPY. owner: its user's SID, empty for the token's own user;
    // another user's refuses OpenProcess unless SeDebugPrivilege is enabled.
    // Toolhelp lists every process without opening any.
    bool is64Bit = false;
    std::string owner;
    DWORD parentPid = 0;  // the process that started it
};

class Processes {
public:
    // A program file at path (created when missing) that CreateProcess can start.
    void AddProgram(const std::string& path, Program program = {});
    std::map<std::string, Program, NoCaseLess>& Programs() { return programs_; }
    // The program Windows would start for these CreateProcess arguments, or the empty text.
    std::string ResolveProgram(const std::string& application, const std::string& commandLine);

    std::vector<ProcessStart> started;        // programs that started
    std::vector<ProcessStart> startFailures;  // starts Windows refused
    std::vector<ProcessStart> batchCommands;  // commands the command interpreter ran for started batch files
    int terminatedProcesses = 0;              // TerminateProcess calls that ended a process
    DWORD tickCount = 1000000;                // GetTickCount; a finite wait on a running process advances it

    // Other programs' processes.
    std::vector<RunningProcess> processes;

private:
    std::map<std::string, Program, NoCaseLess> programs_;
};

}  // namespace winsim
