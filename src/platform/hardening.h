// Process-wide protections, set before anything else runs.
#pragma once

#include <string>

namespace kestrup {

// Takes the program's folder and the current folder out of the library and
// program search where Windows allows it, enables DEP and ends the process on
// heap corruption. Each call is looked up at run time: Windows XP lacks some
// of them, and the program must still start there.
void HardenProcess();

// The SID of the process token's user as text ("S-1-5-21-..."); false, and
// empty, when it cannot be learnt (the Windows 95 family has no tokens).
bool GetInstallingUserSid(std::string& sid);
// True when the process runs as LocalSystem (S-1-5-18), as it does under a
// deployment tool; false when that cannot be learnt.
bool RunningAsLocalSystem();
// True when the user of this process's token is the user of the desktop's
// shell, the person at the desk; false as SYSTEM, when elevated with another
// administrator's credentials, when no shell runs, and when it cannot be learnt.
bool RunningAsDesktopUser();

}  // namespace kestrup
