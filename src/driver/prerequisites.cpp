#include "driver/prerequisites.h"

#include "driver/event_log.h"
#include "platform/message_boxes.h"
#include "platform/launch.h"
#include "platform/program_dir.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "resources/resource_ids.h"

#include <vector>

namespace kestrup {

INT_PTR CALLBACK IncompatibleSoftwareDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;  // Windows focuses the first control that takes it: the default Cancel button
    case WM_COMMAND: {
        int control = LOWORD(wParam);
        // Escape (IDCANCEL) and every other command leave the dialog open.
        if (control == IDC_CALENDAR_OK || control == IDC_CALENDAR_CANCEL) {
            EndDialog(dialog, control);
            return TRUE;
        }
        break;
    }
    default:
        break;
    }
    return FALSE;
}

bool CheckCalendarSoftware(HINSTANCE instance, const RunFlags& flags) {
    std::string version;
    if (!RegReadString(HKEY_LOCAL_MACHINE, kCalendarClientKey, "DisplayVersion", version)) return true;
    int dot = FindNoCase(version, ".");
    if (dot == 0) return true;
    int major = 0;
    if (TextToInt(LeftPart(version, dot - 1), &major) > 9) return true;
    if (flags.unseen) return false;  // a dialog nobody sees is one that could not be shown
    INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_INCOMPATIBLE_SOFTWARE), nullptr,
                                     IncompatibleSoftwareDialogProc, 0);
    return result == IDC_CALENDAR_OK;  // Cancel, or a dialog that could not be shown, stops
}

bool HotfixNeeded(std::string& fileName) {
    OSVERSIONINFOEXA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) return false;
    if (version.dwPlatformId != VER_PLATFORM_WIN32_NT || version.dwMajorVersion != 5) return false;
    if (version.dwMinorVersion == 1) {
        if (version.wServicePackMajor <= 1) return false;
        fileName = "WindowsXP-KB892090-x86-ENU.exe";
    } else if (version.dwMinorVersion == 0) {
        if (version.wServicePackMajor != 4) return false;
        fileName = "Windows2000-KB892090-x86-ENU.exe";
    } else {
        return false;
    }
    return !RegKeyExists(HKEY_LOCAL_MACHINE, kHotfixMarkerKey);
}

void InstallHotfix(const RunFlags& flags, const PackagePins& pins) {
    std::string fileName;
    if (!HotfixNeeded(fileName)) return;
    std::string logText;
    std::string path;
    FileHandle held;  // a pinned installer, unchangeable until it has ended
    if (!GetProgramDirectory(path) || !FileExists(path + fileName) ||
        !HoldPinnedPackage(pins, fileName, path + fileName, held)) {
        logText = "ERROR: the installer file " + fileName + " is missing.";
    } else {
        path += fileName;
        std::vector<char> shortPath(MAX_PATH, '\0');
        DWORD length = GetShortPathNameA(path.c_str(), shortPath.data(), MAX_PATH - 1);
        if (length == 0 || length >= MAX_PATH - 1) return;
        std::string command(shortPath.data(), length);
        // A volume without 8.3 names gives the long path back: quote it then,
        // so that no program at a blank-cut prefix runs instead.
        if (command.find(' ') != std::string::npos) command = "\"" + command + "\"";
        command += " /quiet /norestart";
        std::string errorText;
        if (RunCommand(command, true, errorText)) return;
        logText = "ERROR: Unable to install KB892090 hotfix.";
    }
    LogInstallerEvent(logText);
    if (!flags.silent && !flags.unseen)
        ShowWarning(
            "This program was unable to install the KB892090 hotfix.\n\n"
            "Click OK to continue installing Kerberos for Windows.",
            "Unable to Install Hotfix");
}

}  // namespace kestrup
