#include "driver/os_class.h"

#include "platform/text.h"

#include <cstring>

namespace kestrup {

int GetOsClass(std::string& osDescription) {
    bool answered = false;
    OSVERSIONINFOA v = QueryOsVersion(&answered);
    // A zeroed record would read as Win32s: without an answer the Windows is unknown.
    if (!answered) return kOsUnknown;
    int code = kOsUnknown;
    std::string work;
    switch (v.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
        code = kOsWin32s;
        work = "Windows 32s on Windows 3.1 ";
        break;
    case VER_PLATFORM_WIN32_WINDOWS:
        if (v.dwMinorVersion < 10) {
            code = kOsWin95;
            work = "Windows 95 ";
        } else if (v.dwMinorVersion < 90) {
            code = kOsWin98;
            work = "Windows 98 ";
        } else {
            code = kOsWinMe;
            work = "Windows ME ";
        }
        break;
    case VER_PLATFORM_WIN32_NT:
        if (v.dwMajorVersion <= 3) {
            code = kOsNt3;
            work = "Windows NT ";
        } else if (v.dwMajorVersion == 4 || v.dwMajorVersion >= 7) {
            code = kOsNt4;
            work = "Windows NT ";
        } else if (v.dwMajorVersion == 5) {
            if (v.dwMinorVersion == 0) {
                code = kOs2000;
                work = "Windows 2000 ";
            } else if (v.dwMinorVersion == 1) {
                code = kOsXp;
                work = "Windows XP ";
            } else {
                code = kOsServer2003;
                work = "Windows Server 2003 ";
            }
        } else {  // 6.x, whatever its minor version
            code = kOsVista;
            work = "Windows Vista ";
        }
        break;
    default:
        return kOsUnknown;
    }
    // The service pack text is at most 127 characters even if the record is not terminated.
    std::string servicePack(v.szCSDVersion, ::strnlen(v.szCSDVersion, sizeof v.szCSDVersion));
    work += " " + servicePack + " Ver " + IntToText(static_cast<int>(v.dwMajorVersion)) + "." +
            IntToText(static_cast<int>(v.dwMinorVersion)) + " (" + IntToText(static_cast<int>(v.dwBuildNumber)) + ")";
    osDescription = work;
    return code;
}

int ServicePackNumber(const std::string& osDescription) {
    const std::string work = osDescription;
    int p = FindNoCase(work, "Service Pack");
    if (p == 0) return 0;
    // What follows "Service Pack" and the blank after it.
    std::string rest = RightPart(work, static_cast<int>(work.size()) - p - 12);
    TrimSpaces(rest);
    int blank = FindNoCase(rest, " ");
    if (blank == 0) return 0;
    std::string number = LeftPart(rest, blank - 1);
    TrimSpaces(number);
    int value = 0;
    return TextToInt(number, &value);
}

}  // namespace kestrup
