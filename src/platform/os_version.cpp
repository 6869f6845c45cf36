#include "platform/os_version.h"

namespace kestrup {

OSVERSIONINFOA QueryOsVersion(bool* answered) {
    OSVERSIONINFOA record = {};
    record.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    bool ok = GetVersionExA(&record) != FALSE;
    if (!ok) record = OSVERSIONINFOA{};
    if (answered) *answered = ok;
    return record;
}

bool IsNtFamily() { return QueryOsVersion().dwPlatformId == VER_PLATFORM_WIN32_NT; }

}  // namespace kestrup
