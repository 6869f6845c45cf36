// The run-wide switches, set once from the command line and only read afterwards.
#pragma once

#include <string>

namespace kestrup {

struct RunFlags {
    bool silent = false;        // "/Silent" or "/ReallySilent": no confirmation, failures logged
    bool reallySilent = false;  // "/ReallySilent": no question before the package either
    bool noHotFix = false;      // "/NoHotFix": the KB892090 hotfix is skipped
};

// Each switch counts wherever it stands in the command line, in any case.
RunFlags ParseSwitches(const std::string& commandLine);

}  // namespace kestrup
