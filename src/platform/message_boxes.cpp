#include "platform/message_boxes.h"

#include "platform/os_version.h"
#include "platform/system_library.h"

#include <windows.h>

namespace kestrup {

int AskQuestion(const std::string& text, const std::string& title) {
    return MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_YESNO | MB_ICONQUESTION | MB_TOPMOST);
}

void ShowFatalError(const std::string& text, const std::string& title) {
    MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR | MB_TOPMOST);
}

void ShowWarning(const std::string& text, const std::string& title) {
    MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONWARNING | MB_TOPMOST);
}

bool BoxesCanBeSeen() {
    // Windows 95 and NT 4 lack some of these calls, and have neither a
    // services' session nor services' window stations to fear.
    const OSVERSIONINFOA version = QueryOsVersion();
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6) {
        auto sessionOf =
            LoadedModuleFunction<decltype(&::ProcessIdToSessionId)>("kernel32.dll", "ProcessIdToSessionId");
        DWORD session = 0;
        if (sessionOf && sessionOf(GetCurrentProcessId(), &session) && session == 0) return false;
    }
    auto station = LoadedModuleFunction<decltype(&::GetProcessWindowStation)>("user32.dll", "GetProcessWindowStation");
    auto information =
        LoadedModuleFunction<decltype(&::GetUserObjectInformationA)>("user32.dll", "GetUserObjectInformationA");
    if (!station || !information) return true;
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    HWINSTA current = station();
    if (!current || !information(current, UOI_FLAGS, &flags, sizeof flags, &needed)) return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace kestrup
