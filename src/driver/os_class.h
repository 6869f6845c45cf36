// Which Windows this is: the version record reduced to one small code, OsClass,
// and a readable OsDescription.
#pragma once

#include "platform/os_version.h"

#include <string>

namespace kestrup {

enum OsClassCode : int {
    kOsUnknown = 0,
    kOsWin32s = 1,
    kOsWin95 = 2,
    kOsWin98 = 3,
    kOsNt3 = 4,
    kOsNt4 = 5,
    kOsWinMe = 6,
    kOs2000 = 7,
    kOsXp = 8,
    kOsServer2003 = 9,
    kOsVista = 10,
};

// OsClass; for a recognised platform also OsDescription, e.g.
// "Windows XP  Service Pack 2 Ver 5.1 (2600)". An unknown platform gives 0 and
// leaves the description as it was, and so does a version query that fails.
int GetOsClass(std::string& osDescription);
// The service pack number in an OsDescription; 0 when there is none.
int ServicePackNumber(const std::string& osDescription);

}  // namespace kestrup
