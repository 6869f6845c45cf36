// Drive types and network drive connections.
#include <windows.h>
#include <winnetwk.h>
#include "internals.h"

#include <cctype>
#include <cstring>
#include <string>

using winsim::Machine;

namespace {

// The drive letter of "X:" or "X:\", or 0.
char DriveLetter(LPCSTR name) {
    if (!name || !std::isalpha(static_cast<unsigned char>(name[0])) || name[1] != ':') return 0;
    if (name[2] != 0 && !(name[2] == '\\' && name[3] == 0)) return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
}

}  // namespace

UINT WINAPI GetDriveTypeA(LPCSTR lpRootPathName) {
    Machine& m = winsim::Call("GetDriveTypeA");
    std::string root = lpRootPathName ? lpRootPathName : "";
    // "\\?\C:\" and "\\.\C:\" answer the volume's type; "\\server\share\" is remote.
    if (root.rfind("\\\\?\\", 0) == 0 || root.rfind("\\\\.\\", 0) == 0)
        root = root.substr(4);
    else if (root.rfind("\\\\", 0) == 0)
        return root.size() > 2 && root.back() == '\\' && root.find('\\', 2) < root.size() - 1 ? DRIVE_REMOTE
                                                                                              : DRIVE_NO_ROOT_DIR;
    char letter = DriveLetter(root.c_str());
    auto it = m.drives.find(letter);
    return it == m.drives.end() ? DRIVE_NO_ROOT_DIR : it->second.type;
}

DWORD WINAPI WNetGetConnectionA(LPCSTR lpLocalName, LPSTR lpRemoteName, LPDWORD lpnLength) {
    Machine& m = winsim::Call("WNetGetConnectionA");
    char letter = DriveLetter(lpLocalName);
    m.driveQueries.push_back(letter);
    auto it = m.drives.find(letter);
    if (it == m.drives.end() || it->second.type != DRIVE_REMOTE) return ERROR_NOT_CONNECTED;
    const std::string& remote = it->second.remoteName;
    if (*lpnLength < remote.size() + 1) {
        *lpnLength = static_cast<DWORD>(remote.size() + 1);
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpRemoteName, remote.c_str(), remote.size() + 1);
    return it->second.unavailable ? ERROR_CONNECTION_UNAVAIL : NO_ERROR;
}

DWORD WINAPI WNetCancelConnection2A(LPCSTR lpName, DWORD dwFlags, BOOL fForce) {
    Machine& m = winsim::Call("WNetCancelConnection2A");
    m.connectionCancels.push_back({lpName ? lpName : "", dwFlags, fForce});
    char letter = DriveLetter(lpName);
    auto it = m.drives.find(letter);
    if (it == m.drives.end() || it->second.type != DRIVE_REMOTE) return ERROR_NOT_CONNECTED;
    if (it->second.openFiles && !fForce) return 2401;  // ERROR_OPEN_FILES
    // A remembered mapping that is not connected goes only from the profile.
    if (it->second.unavailable && !(dwFlags & CONNECT_UPDATE_PROFILE)) return ERROR_NOT_CONNECTED;
    m.drives.erase(it);
    return NO_ERROR;
}
