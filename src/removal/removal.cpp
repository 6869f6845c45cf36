#include "platform/handles.h"
#include "platform/launch.h"
#include "platform/registry.h"
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
    return configureProduct(productCode.c_str(), INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT, "REBOOT=REALLYSUPPRESS");
}

bool IsProductCode(const std::string& keyName) { return FindNoCase(keyName, "{") != 0; }

// Runs the entry's own uninstaller and waits for it; whether it worked is
// judged later by searching again.
void RunUninstallString(const std::string& keyName) {
    std::string command, errorText;
    RegReadString(HKEY_LOCAL_MACHINE, std::string(kUninstallRoot) + "\\" + keyName, "UninstallString", command);
    RunCommand(command, true, errorText);
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
    RunUninstallString(tesselKeyName);
    return true;
}

bool RemoveAfsPackage(std::string& afsKeyName, bool reallySilent) {
    if (!FindAfsPackage(afsKeyName)) return false;
    DisconnectAfsDrives();
    if (!IsProductCode(afsKeyName)) {
        RunUninstallString(afsKeyName);
        return true;
    }
    // Any answer but success, 3010 included, leaves the loopback adapter alone.
    if (RemoveProduct(afsKeyName, reallySilent) != ERROR_SUCCESS) return false;
    // The library belongs to the AFS software: found where Windows would look
    // after this program's folder and the current folder, never in those two.
    // It stays loaded: what it starts may still be running when the call returns.
    const std::string path = FindInSafeFolders("afsloopback.dll");
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
