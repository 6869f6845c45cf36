// Starting outside programs (redistributables, hotfix installers, uninstallers)
// in a normally shown window, and the system's text for the last error.
#pragma once

#include <string>

namespace kestrup {

// The program a command line names, found by Windows' rules (the quoted first
// token, or else each blank-cut prefix in turn; ".exe" added to a name without
// extension) except that a bare name is looked for only in the system folders,
// the Windows folder and PATH (SafeSearchFolders), never in this program's
// folder or the current folder. A relative path with folders is never taken.
// The empty text, with the last error ERROR_FILE_NOT_FOUND, when none is found.
std::string ResolveCommandProgram(const std::string& commandLine);
// Starts the command line (program and arguments as Windows parses them) and,
// when wait is set, waits for the program to end. The program is the one
// ResolveCommandProgram finds, named to Windows as the application so that no
// search of Windows' own can pick another; the command line it sees is
// unchanged. True when it started; the program's exit code is not read. On
// failure errorText is one line:
// "Unable to run the program: <command line> Error Message: <system text>".
bool RunCommand(const std::string& commandLine, bool wait, std::string& errorText);
// How a program that was waited for a bounded time ended.
enum class RunOutcome {
    kNotStarted,    // it could not be started; errorText says why
    kEnded,         // it ended within the time
    kStillRunning,  // it was still running when the time was up, and is left to run
};
// RunCommand, waiting at most waitMs milliseconds for the program and the
// programs it started (where Toolhelp tells them) to end.
RunOutcome RunCommandWithin(const std::string& commandLine, unsigned long waitMs, std::string& errorText);
// Starts a program through the ANSI call with the given show state and
// creation flags; application may be empty (the command line then names the
// program). Waits for it to end when wait is set. True when it started.
bool StartProgramA(const std::string& application, const std::string& commandLine, unsigned short showWindow,
                   unsigned long creationFlags, bool wait);
// Starts the command line hidden and waits for it to end. False when it could
// not be started; the exit code is not examined. The program is found as
// ResolveCommandProgram finds it, never in this program's or the current folder.
bool RunHiddenAndWait(const std::string& commandLine);

// How a program whose output was read ended.
enum class CaptureResult {
    kEnded,       // it ended by itself; the output is what it printed
    kNotStarted,  // it could not be started
    kTimedOut,    // it did not end in time and was ended; the output is not to be used
    kNoMemory,    // its output could not be held; it was ended if it still ran
};
// Starts program (a full path, named to Windows as the application) with the
// command line, hidden and without a console window, with its standard output
// on a pipe that nothing but it inherits, and reads that output until it ends.
// At most limit bytes are kept: beyond them the rest is read and dropped (the
// program must not block on a full pipe), and only the whole lines within the
// limit are kept, so no line is ever cut. A program still running after
// timeoutMs milliseconds is ended.
CaptureResult RunHiddenCapturingOutput(const std::string& program, const std::string& commandLine, size_t limit,
                                       unsigned long timeoutMs, std::string& output);
// The calling thread's last error as one line of printable ASCII: the system's
// text cut at its first control or non-ASCII byte, or the code in decimal.
std::string LastErrorText();

}  // namespace kestrup
