// The programs running on this computer.
#pragma once

#include <string>

namespace kestrup {

// True when a process whose executable's base name is exeName (without case)
// runs; at most 2048 processes are looked at.
bool IsProcessRunning(const std::string& exeName);

// True when a process that processId started, or one those started, still
// runs (as Toolhelp's parent ids tell; false where there is no Toolhelp).
bool StartedProcessesRun(unsigned long processId);

}  // namespace kestrup
