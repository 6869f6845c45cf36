#include "platform/handles.h"
#include "platform/launch.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "removal/earlier_software.h"

#include <windows.h>
#include <msi.h>
#include <winnetwk.h>

namespace kestrup {

namespace {

void SetRemovalUserInterface(bool reallySilent) {
    MsiSetInternalUI(reallySilent ? INSTALLUILEVEL_NONE
                                  : static_cast<INSTALLUILEVEL>(INSTALLUILEVEL_BASIC | INSTALLUILEVEL_PROGRESSONLY),
                     nullptr);
}

UINT RemoveProduct(const std::string& productCode, bool reallySilent) {
    SetRemovalUserInterface(reallySilent);
    return MsiConfigureProductExA(productCode.c_str(), INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT,
                                  "REBOOT=REALLYSUPPRESS");
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
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        std::string root = std::string(1, letter) + ":\\";
        if (GetDriveTypeA(root.c_str()) != DRIVE_REMOTE) continue;
        char remote[MAX_PATH] = "";
        DWORD size = MAX_PATH;
        // The name counts whatever the answer: a remembered mapping that is not
        // connected answers ERROR_CONNECTION_UNAVAIL and still gives it.
        WNetGetConnectionA(root.substr(0, 2).c_str(), remote, &size);
        remote[MAX_PATH - 1] = '\0';
        drives.push_back({root, remote});
    }
    return drives;
}

void DisconnectAfsDrives() {
    for (const RemoteDrive& drive : ListRemoteDrives()) {
        if (FindNoCase(drive.remoteName, "\\\\afs\\") != 1) continue;
        std::string device = drive.root.substr(0, drive.root.find('\\'));
        // Forgotten for later logons too; a connection with open files stays.
        WNetCancelConnection2A(device.c_str(), CONNECT_UPDATE_PROFILE, FALSE);
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
    // The library belongs to the AFS software and stays loaded: what it starts
    // may still be running when the call returns.
    if (HMODULE loopback = LoadLibraryA("afsloopback.dll")) {
        using UnInstallLoopBackFunction = void(WINAPI*)();
        if (FARPROC export_ = GetProcAddress(loopback, "UnInstallLoopBack"))
            reinterpret_cast<UnInstallLoopBackFunction>(reinterpret_cast<void*>(export_))();
    }
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
