// Asking Windows to restart or to log the user off. Both return at once; the
// caller ends the run with exit value 1 whether or not Windows agrees.
#pragma once

namespace kestrup {

void RestartComputer();  // EWX_SHUTDOWN | EWX_REBOOT, not forced
void LogOffUser();       // EWX_LOGOFF | EWX_FORCE

}  // namespace kestrup
