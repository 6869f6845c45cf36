// The run's own log: one plain-text file per run under the Windows folder
// ("<Windows>\Logs\Kestrup\kestrup-YYYYMMDD-HHMMSS.log", the time in UTC so
// that names sort in the order of the runs), where site staff read what a run
// did on a computer nobody watched. Nothing the run does depends on it: a log
// that cannot be made or written is left out without a word.
#pragma once

#include "platform/handles.h"

#include <string>
#include <vector>

namespace kestrup {

constexpr char kRunLogFolder[] = "Logs\\Kestrup";  // below the Windows folder
constexpr char kRunLogPrefix[] = "kestrup-";
constexpr size_t kRunLogLimit = 1u << 20;
constexpr size_t kRunLogsKept = 10;

// The log of this run, written while its owner lives; only one at a time. It
// is made new, never through a link: every folder on the way must be plain,
// and the file is created where nothing is, the next name ("-1" to "-9") taken
// when something is there already. Runs beyond the newest ten are removed.
class RunLog {
public:
    RunLog();
    // Ends the log with a line for what its bound dropped.
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    bool Open() const { return file_.valid(); }
    void Write(const std::string& line);
    // A new, empty plain file beside the log for another program's log:
    // "<log name without .log>.<what>.log". Empty when there is none.
    std::string MakeCompanion(const std::string& what);

private:
    void RemoveOldRuns() const;
    std::vector<FileHandle> held_;  // the folders on the way, so none is swapped meanwhile
    FileHandle file_;
    std::string folder_, stem_;
    size_t written_ = 0, droppedLines_ = 0, droppedBytes_ = 0;
};

// One line into the log of the run, when there is one. The last error is kept
// as it was, so a line may be written between a failure and its report.
void WriteRunLog(const std::string& line);
// RunLog::MakeCompanion of the log of the run; empty without one.
std::string MakeRunLogCompanion(const std::string& what);

class RuntimeLibrary;
// Windows Installer's verbose log of the installations and removals that
// follow, in a new file beside the run's log ("<run>.<what>.log"), which the
// run's log names: a failure (1603) can then be read where it happened.
// Nothing without a run log, or where msi.dll lacks MsiEnableLogA.
void EnableInstallerLog(const RuntimeLibrary& msi, const std::string& what);

}  // namespace kestrup
