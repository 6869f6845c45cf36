// Checks that guard the installation against known conflicts: an old calendar
// client, and the KB892090 hotfix that some Windows versions need.
#pragma once

#include "driver/pinned_package.h"
#include "driver/run_flags.h"

#include <windows.h>

#include <string>

namespace kestrup {

constexpr char kCalendarClientKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{3E6EC0E8-E378-4322-A200-507229D63455}";
constexpr char kHotfixMarkerKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KB892090";

// True to go on with the installation, false to stop. Shows dialog 103 when an
// old calendar client (major version 9 or below) is installed.
bool CheckCalendarSoftware(HINSTANCE instance, const RunFlags& flags);
// Dialog 103's procedure: ends only on the OK (3) and Cancel (7) buttons.
INT_PTR CALLBACK IncompatibleSoftwareDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// True when KB892090 applies to this Windows and is not installed; fileName
// then names its installer.
bool HotfixNeeded(std::string& fileName);
// Installs KB892090 where it applies; failures are logged (and shown unless
// Silent), never fatal. A pinned installer that is not the one pinned counts
// as missing.
void InstallHotfix(const RunFlags& flags, const PackagePins& pins = SitePackagePins());

}  // namespace kestrup
