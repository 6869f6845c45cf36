#include "driver/engine_update.h"

#include "driver/event_log.h"
#include "platform/message_boxes.h"
#include "driver/os_class.h"
#include "driver/restart.h"
#include "platform/launch.h"
#include "platform/program_dir.h"
#include "platform/system_library.h"
#include "platform/text.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace kestrup {

namespace {

struct EngineRedistributable {
    const char* program;
    const char* minimum;
};

const EngineRedistributable kFor95Family = {"instmsia.exe", "2.0.2600"};
const EngineRedistributable kFor2000UpToSp2 = {"instmsiw.exe", "2.0.2600"};
const EngineRedistributable kForLater = {"WindowsInstaller-KB893803-v2-x86.exe", "3.1.4000"};

// The redistributable for this Windows, or null when it gets no update.
const EngineRedistributable* ChooseRedistributable(int osClass, const std::string& osDescription) {
    switch (osClass) {
    case kOsWin95:
    case kOsWin98:
    case kOsWinMe:
        return &kFor95Family;
    case kOs2000:
        return ServicePackNumber(osDescription) <= 2 ? &kFor2000UpToSp2 : &kForLater;
    case kOsXp:
        return &kForLater;
    default:
        return nullptr;
    }
}

// Four hexadecimal digits, as "%04x" or "%04X" would give them (the C
// runtime's formatter would cost the program tens of kilobytes).
std::string Hex4(unsigned value, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out(4, '0');
    for (int i = 3; i >= 0; --i, value >>= 4) out[static_cast<size_t>(i)] = digits[value & 0xF];
    return out;
}

using VerQueryValueFunction = decltype(&::VerQueryValueA);

std::string QueryString(VerQueryValueFunction query, const std::vector<char>& block, const std::string& subBlock) {
    LPVOID value = nullptr;
    UINT length = 0;
    if (!query(block.data(), subBlock.c_str(), &value, &length) || !value || length == 0) return "";
    const char* text = static_cast<const char*>(value);
    return std::string(text, ::strnlen(text, length));
}

}  // namespace

std::string GetFileVersion(const std::string& path) {
    RuntimeLibrary versionLibrary = SystemLibrary("version.dll");
    auto getSize = versionLibrary.Find<decltype(&::GetFileVersionInfoSizeA)>("GetFileVersionInfoSizeA");
    auto getInfo = versionLibrary.Find<decltype(&::GetFileVersionInfoA)>("GetFileVersionInfoA");
    auto query = versionLibrary.Find<VerQueryValueFunction>("VerQueryValueA");
    if (!getSize || !getInfo || !query) return "";
    DWORD handle = 0;
    DWORD size = getSize(path.c_str(), &handle);
    if (size == 0) return "";
    std::vector<char> block(size);
    if (!getInfo(path.c_str(), handle, size, block.data())) return "";

    LPVOID table = nullptr;
    UINT tableLength = 0;
    if (query(block.data(), "\\VarFileInfo\\Translation", &table, &tableLength) && table) {
        const BYTE* entries = static_cast<const BYTE*>(table);
        for (UINT i = 0; i + 4 <= tableLength; i += 4) {
            WORD language, codePage;
            std::memcpy(&language, entries + i, 2);
            std::memcpy(&codePage, entries + i + 2, 2);
            const std::string name =
                "\\StringFileInfo\\" + Hex4(language, false) + Hex4(codePage, false) + "\\FileVersion";
            std::string version = QueryString(query, block, name);
            if (!version.empty()) return version;
        }
        return "";
    }
    return QueryString(query, block, "\\StringFileInfo\\" + Hex4(GetUserDefaultLangID(), true) + "04B0\\FileVersion");
}

std::array<int, 4> SplitVersion(const std::string& version) {
    std::array<int, 4> parts = {0, 0, 0, 0};
    std::string rest = version;
    for (size_t i = 0; i < 3; ++i) {
        int dot = FindNoCase(rest, ".");
        if (dot == 0) {
            TextToInt(rest, &parts[i]);
            return parts;
        }
        TextToInt(LeftPart(rest, dot - 1), &parts[i]);
        rest = RightPart(rest, static_cast<int>(rest.size()) - dot);
    }
    TextToInt(rest, &parts[3]);  // conversion stops at a further dot
    return parts;
}

bool VersionIsOlder(const std::string& installed, const std::string& minimum) {
    // Compared part by part in order: 4.0.6000 is newer than 3.1.4000 even
    // though its second part is smaller.
    return SplitVersion(installed) < SplitVersion(minimum);
}

EngineUpdate UpdateWindowsInstaller(const RunFlags& flags, int osClass, const std::string& osDescription,
                                    const PackagePins& pins) {
    const EngineRedistributable* update = ChooseRedistributable(osClass, osDescription);
    if (!update) return EngineUpdate::kContinue;

    std::string systemDir;
    GetSystemDir(systemDir);
    AddTrailingBackslash(systemDir);
    if (!VersionIsOlder(GetFileVersion(systemDir + "msiexec.exe"), update->minimum)) return EngineUpdate::kContinue;

    std::string program;
    if (!GetProgramDirectory(program)) return EngineUpdate::kContinue;
    program += update->program;
    // Quoted, so that Windows runs exactly the redistributable in the program
    // directory and never a program at a blank-cut prefix of a path with blanks.
    std::string command = "\"" + program + "\" /quiet /norestart";
    if (program.size() >= MAX_PATH) return EngineUpdate::kContinue;
    FileHandle held;  // a pinned redistributable, unchangeable until it has ended
    if (!HoldPinnedPackage(pins, update->program, program, held)) return EngineUpdate::kContinue;
    std::string errorText;  // not shown: a redistributable that cannot start leaves the engine as it is
    if (!RunCommand(command, true, errorText)) return EngineUpdate::kContinue;

    if (flags.reallySilent) {
        RestartComputer();
        return EngineUpdate::kRestartRequested;
    }
    if (Ask(flags,
            "Your Windows Installer has been updated to the latest version and will require a restart.\n\n"
            "After your system has restarted, run this program again to complete the installation of "
            "Kerberos for Windows.\n\n"
            "Do you want to restart your computer now? "
            "If you do not restart, this program will quit and the installation of Kerberos for Windows "
            "cannot proceed.",
            "Reboot now?") == IDYES) {
        RestartComputer();
        return EngineUpdate::kRestartRequested;
    }
    LogInstallerEvent("FATAL ERROR: Unable to continue installation until the computer is restarted.");
    return EngineUpdate::kRestartDeclined;
}

}  // namespace kestrup
