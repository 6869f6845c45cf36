// Checks that guard the installation against known conflicts: an old calendar
// client, and the KB892090 hotfix that some Windows versions need.
#pragma once

#include "driver/run_flags.h"

#include <windows.h>

namespace kestrup {

// True to go on with the installation, false to stop.
bool CheckCalendarSoftware(HINSTANCE instance);
// Installs KB892090 where it applies; failures are reported, never fatal.
void InstallHotfix(const RunFlags& flags);

}  // namespace kestrup
