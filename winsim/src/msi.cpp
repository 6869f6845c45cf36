// Windows Installer: outcomes per package path, with their side effects.
#include <msi.h>
#include "internals.h"

namespace winsim {

void Installer::AddPackage(const std::string& path, Package package, const std::string& fileData) {
    MachineOf(this).AddFile(path, fileData);
    packages_[path] = std::move(package);
}

}  // namespace winsim

using winsim::Machine;

INSTALLUILEVEL WINAPI MsiSetInternalUI(INSTALLUILEVEL dwUILevel, HWND* phWnd) {
    Machine& m = Machine::Current();
    ++m.calls["MsiSetInternalUI"];
    if (phWnd && *phWnd) throw winsim::SimulationError("MsiSetInternalUI with an owner window");
    int previous = m.installerUiLevel;
    if (dwUILevel != INSTALLUILEVEL_NOCHANGE) m.installerUiLevel = dwUILevel;
    return static_cast<INSTALLUILEVEL>(previous);
}

// The log of the installations that follow, in this process.
UINT WINAPI MsiEnableLogA(DWORD dwLogMode, LPCSTR szLogFile, DWORD) {
    Machine& m = Machine::Current();
    ++m.calls["MsiEnableLogA"];
    m.installerLogFile = dwLogMode && szLogFile ? szLogFile : "";
    m.installerLogMode = dwLogMode;
    return ERROR_SUCCESS;
}

UINT WINAPI MsiInstallProductA(LPCSTR szPackagePath, LPCSTR szCommandLine) {
    Machine& m = Machine::Current();
    ++m.calls["MsiInstallProductA"];
    std::string path = szPackagePath ? szPackagePath : "";
    m.installerCalls.push_back({"MsiInstallProductA", path, szCommandLine ? szCommandLine : "", m.installerUiLevel, 0,
                                0, m.installerLogFile, m.installerLogMode});
    // The reduced and full interfaces wait for clicks on their dialogs.
    if ((m.installerUiLevel & 7) >= INSTALLUILEVEL_REDUCED && winsim::Inside(m).NobodySees())
        throw winsim::SimulationError("Windows Installer wizard shown where nobody sees it: it never finishes");
    // The service opens the package for reading, sharing only reading with others.
    if (!m.FileExistsAt(path) ||
        winsim::Inside(m).FileSharingConflict(m.FindFile(path)->path, GENERIC_READ, FILE_SHARE_READ, false))
        return 1619;  // ERROR_INSTALL_PACKAGE_OPEN_FAILED
    auto it = m.Packages().find(path);
    if (it == m.Packages().end()) return ERROR_INSTALL_PACKAGE_INVALID;
    UINT result = it->second.result;
    if ((result == ERROR_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED) && it->second.install)
        it->second.install();
    return result;
}

UINT WINAPI MsiConfigureProductExA(LPCSTR szProduct, int iInstallLevel, INSTALLSTATE eInstallState,
                                   LPCSTR szCommandLine) {
    Machine& m = Machine::Current();
    ++m.calls["MsiConfigureProductExA"];
    std::string code = szProduct ? szProduct : "";
    winsim::InstallerCall call{"MsiConfigureProductExA",
                               code,
                               szCommandLine ? szCommandLine : "",
                               m.installerUiLevel,
                               iInstallLevel,
                               eInstallState,
                               m.installerLogFile,
                               m.installerLogMode};
    m.installerCalls.push_back(call);
    auto it = m.Packages().find(code);
    if (it == m.Packages().end()) return ERROR_UNKNOWN_PRODUCT;
    UINT result = it->second.result;
    if ((result == ERROR_SUCCESS || result == ERROR_SUCCESS_REBOOT_REQUIRED) && it->second.install)
        it->second.install();
    return result;
}
