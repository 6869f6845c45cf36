#include "platform/handles.h"
#include "platform/launch.h"
#include "platform/registry.h"
#include "platform/run_log.h"
#include "platform/system_library.h"
#include "platform/text.h"
#include "removal/earlier_software.h"

#include <windows.h>
#include <msi.h>
#include <winnetwk.h>

namespace kestrup {

namespace {

constexpr UINT kInstallServiceFailure = 1601;  // ERROR_INSTALL_SERVICE_FAILURE

// Windows Installer by ordinal: 141 sets the internal user interface, 189
// brings a product into a state. Without msi.dll nothing can be removed.
UINT RemoveProduct(const std::string& productCode, bool reallySilent) {
    RuntimeLibrary msi = SystemLibrary("msi.dll");
    auto setInternalUi = msi.Find<decltype(&::MsiSetInternalUI)>(MAKEINTRESOURCEA(141));
    auto configureProduct = msi.Find<decltype(&::MsiConfigureProductExA)>(MAKEINTRESOURCEA(189));
    if (!setInternalUi || !configureProduct) return kInstallServiceFailure;
    setInternalUi(reallySilent ? INSTALLUILEVEL_NONE
                               : static_cast<INSTALLUILEVEL>(INSTALLUILEVEL_BASIC | INSTALLUILEVEL_PROGRESSONLY),
                  nullptr);
    EnableInstallerLog(msi, "remove-" + productCode);
    return configureProduct(productCode.c_str(), INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, "REBOOT=REALLYSUPPRESS");
}

bool IsProductCode(const std::string& keyName) { return FindNoCase(keyName, "{") != 0; }

// An uninstaller is waited for this long. Removing a package with a driver
// (the AFS client) takes minutes on a slow disk; deployment tools give a whole
// installation 60 (Intune) or 120 minutes (Configuration Manager), so 30 leave
// time for the rest of the run and its report. One still running then, waiting
// on a window nobody sees, is left to run: the search afterwards judges it.
constexpr DWORD kUninstallerWaitMs = 30 * 60 * 1000;
// The uninstaller and what it started have ended (RunCommandWithin waits for
// both); the entry is looked for again for a few seconds more, for the one that
// is removed as the last process goes, before the removal counts as failed.
constexpr DWORD kEntryGoneWaitMs = 10 * 1000;
constexpr DWORD kEntryPollMs = 1000;

// Runs the entry's own uninstaller, read from the view the entry is in (with
// the ReallySilent flag its quiet command when it has one), and waits for it;
// whether it worked is judged later by searching again.
void RunUninstallString(const std::string& keyName, bool reallySilent) {
    const std::string entry = std::string(kUninstallRoot) + "\\" + keyName;
    const REGSAM view = UninstallEntryView(keyName);
    std::string command, errorText;
    if (!reallySilent || !RegReadStringInView(HKEY_LOCAL_MACHINE, entry, "QuietUninstallString", view, command) ||
        command.empty())
        RegReadStringInView(HKEY_LOCAL_MACHINE, entry, "UninstallString", view, command);
    if (RunCommandWithin(command, kUninstallerWaitMs, errorText) != RunOutcome::kEnded) return;
    const DWORD start = GetTickCount();
    while (RegKeyExistsInView(HKEY_LOCAL_MACHINE, entry, view) && GetTickCount() - start < kEntryGoneWaitMs)
        Sleep(kEntryPollMs);
}

}  // namespace

std::vector<RemoteDrive> ListRemoteDrives() {
    std::vector<RemoteDrive> drives;
    RuntimeLibrary mpr = SystemLibrary("mpr.dll");
    auto getConnection = mpr.Find<decltype(&::WNetGetConnectionA)>("WNetGetConnectionA");
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        std::string root = std::string(1, letter) + ":\\";
        if (GetDriveTypeA(root.c_str()) != DRIVE_REMOTE) continue;
        char remote[MAX_PATH] = "";
        DWORD size = MAX_PATH;
        // The name counts whatever the answer: a remembered mapping that is not
        // connected answers ERROR_CONNECTION_UNAVAIL and still gives it.
        if (getConnection) getConnection(root.substr(0, 2).c_str(), remote, &size);
        remote[MAX_PATH - 1] = '\0';
        drives.push_back({root, remote});
    }
    return drives;
}

void DisconnectAfsDrives() {
    RuntimeLibrary mpr = SystemLibrary("mpr.dll");
    auto cancelConnection = mpr.Find<decltype(&::WNetCancelConnection2A)>("WNetCancelConnection2A");
    if (!cancelConnection) return;
    for (const RemoteDrive& drive : ListRemoteDrives()) {
        if (FindNoCase(drive.remoteName, "\\\\afs\\") != 1) continue;
        std::string device = drive.root.substr(0, drive.root.find('\\'));
        // Forgotten for later logons too; a connection with open files stays.
        cancelConnection(device.c_str(), CONNECT_UPDATE_PROFILE, FALSE);
    }
}

bool RemoveTesselPackage(const std::string& tesselKeyName, bool reallySilent) {
    if (IsProductCode(tesselKeyName)) {
        RemoveProduct(tesselKeyName, reallySilent);  // judged by searching again
        return false;
    }
    RunUninstallString(tesselKeyName, reallySilent);
    return true;
}

bool RemoveAfsPackage(std::string& afsKeyName, bool reallySilent) {
    if (!FindAfsPackage(afsKeyName)) return false;
    DisconnectAfsDrives();
    if (!IsProductCode(afsKeyName)) {
        RunUninstallString(afsKeyName, reallySilent);
        return true;
    }
    // A 64-bit package (its entry in the 64-bit view) has a 64-bit library,
    // which this 32-bit process cannot load: the adapter is left to it.
    const REGSAM view = UninstallEntryView(afsKeyName);
    const bool package64 = view == KEY_WOW64_64KEY;
    // Where the AFS software put itself, read before its removal takes the entry.
    std::string installFolder;
    RegReadStringInView(HKEY_LOCAL_MACHINE, std::string(kUninstallRoot) + "\\" + afsKeyName, "InstallLocation", view,
                        installFolder);
    // Any answer but success, 3010 included, leaves the loopback adapter alone.
    if (RemoveProduct(afsKeyName, reallySilent) != ERROR_SUCCESS) return false;
    if (package64) return true;
    // The library belongs to the AFS software: taken from the system folders or
    // the folder its entry registered, never from this program's folder, the
    // current folder or a PATH folder, which users may be able to write.
    // It stays loaded: what it starts may still be running when the call returns.
    const std::string path = FindSoftwareLibrary("afsloopback.dll", installFolder);
    if (path.empty()) return true;
    RuntimeLibrary loopback(path);
    using UnInstallLoopBackFunction = void(WINAPI*)();
    if (auto uninstall = loopback.Find<UnInstallLoopBackFunction>("UnInstallLoopBack")) uninstall();
    loopback.KeepLoaded();
    return true;
}

bool RemoveEarlierSoftware(const std::string& tesselKeyName, std::string& afsKeyName, bool& removalDone,
                           bool reallySilent) {
    bool tesselRestart = false, afsRestart = false;
    if (!tesselKeyName.empty()) {
        tesselRestart = RemoveTesselPackage(tesselKeyName, reallySilent);
        removalDone = true;
    }
    if (!afsKeyName.empty()) {
        afsRestart = RemoveAfsPackage(afsKeyName, reallySilent);
        removalDone = true;
    }
    std::string tesselLeft, afsLeft;
    if (removalDone && FindEarlierSoftware(tesselLeft, afsLeft)) removalDone = false;
    return removalDone && (tesselRestart || afsRestart);
}

}  // namespace kestrup
