#include "platform/os_version.h"

#include "platform/system_library.h"

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

bool IsWow64() {
    auto isWow64Process = LoadedModuleFunction<decltype(&::IsWow64Process)>("kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64Process && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace kestrup
