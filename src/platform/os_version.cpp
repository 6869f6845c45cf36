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

bool IsWow64() {
    // Looked up: kernel32 has it from XP SP2 on, and a Windows without it is
    // 32-bit. kernel32 is in every process; its handle is not ours to free.
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, BOOL*);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    FARPROC address = kernel32 ? GetProcAddress(kernel32, "IsWow64Process") : nullptr;
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void (*)()>(address));
    BOOL wow64 = FALSE;
    return isWow64Process && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace kestrup
