// The version record of the running Windows, for every subsystem that must
// tell the Windows 95 family from the NT family or NT 6.x from older NT.
#pragma once

#include <windows.h>

namespace kestrup {

// The basic 148-byte version record as GetVersionExA fills it; all zero when
// the query fails (answered is then false).
OSVERSIONINFOA QueryOsVersion(bool* answered = nullptr);
// True on the NT family (Windows NT, 2000, XP and later).
bool IsNtFamily();
// True when this 32-bit program runs on 64-bit Windows, where the registry has
// a 64-bit view beside the one it sees (KEY_WOW64_64KEY).
bool IsWow64();

}  // namespace kestrup
