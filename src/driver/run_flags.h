// The run-wide switches, set once from the command line and only read afterwards.
#pragma once

#include <string>

namespace kestrup {

struct RunFlags {
    bool silent = false;        // "/Silent" or "/ReallySilent": no confirmation, failures logged
    bool reallySilent = false;  // "/ReallySilent": no question before the package either
    bool noHotFix = false;      // "/NoHotFix": the KB892090 hotfix is skipped
    // Nobody can see a box or dialog (SYSTEM in session 0, a service's window
    // station): decided once at the start, not by a switch. Each question then
    // answers 0, "the box could not be shown", dialog 103 counts as not shown,
    // and what would have been a box goes to the installer event log.
    bool unseen = false;
};

// Each switch counts wherever it stands in the command line, in any case.
RunFlags ParseSwitches(const std::string& commandLine);
// A Yes/No question of the run: IDYES, IDNO, or 0 when it could not be shown,
// as always where nobody can see it.
int Ask(const RunFlags& flags, const std::string& text, const std::string& title);

}  // namespace kestrup
