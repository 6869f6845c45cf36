// The site's earlier Kerberos package (Tessel) and AFS package: found by the
// beginning of their uninstall entries' display names, and removed before
// Kerberos for Windows is installed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kestrup {

constexpr char kUninstallRoot[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// The registry views that hold uninstall entries: the plain one and, for this
// 32-bit program on 64-bit Windows, the 64-bit one, where 64-bit packages (an
// AFS client with its driver) keep theirs. 0 stands for the plain view.
std::vector<REGSAM> UninstallViews();
// The first of those views in which the entry keyName exists (0 when none does).
REGSAM UninstallEntryView(const std::string& keyName);

// Each answers true and sets keyName to the uninstall entry's subkey name (for
// a Windows Installer package, its product code) when the package is
// installed; keyName is left as it was otherwise.
bool FindTesselPackage(std::string& keyName);
bool FindAfsPackage(std::string& keyName);
// Both searches, always; true when either package is installed.
bool FindEarlierSoftware(std::string& tesselKeyName, std::string& afsKeyName);

// Removes what was found. Answers whether a restart is needed; removalDone
// comes back true only when a removal was attempted and nothing is left.
bool RemoveEarlierSoftware(const std::string& tesselKeyName, std::string& afsKeyName, bool& removalDone,
                           bool reallySilent);
// True when the package's own uninstaller was run; false after a removal
// through Windows Installer.
bool RemoveTesselPackage(const std::string& tesselKeyName, bool reallySilent);
// True when the AFS package was removed through Windows Installer without
// error or its own uninstaller was run; false when it is gone already or
// Windows Installer answered an error.
bool RemoveAfsPackage(std::string& afsKeyName, bool reallySilent);
// Cancels every drive mapped to a share whose name begins with \\afs\.
void DisconnectAfsDrives();

struct RemoteDrive {
    std::string root;        // "H:\"
    std::string remoteName;  // "\\afs\cell\user", empty when it could not be read
};
// The network drives from C: to Z:, in letter order.
std::vector<RemoteDrive> ListRemoteDrives();

}  // namespace kestrup
