#include "driver/package.h"

#include "platform/program_dir.h"
#include "platform/run_log.h"
#include "platform/system_library.h"
#include "platform/text.h"

#include <windows.h>
#include <msi.h>

namespace kestrup {

namespace {

// What a Windows without a usable msi.dll answers, with the installer's own text.
constexpr UINT kInstallServiceFailure = 1601;  // ERROR_INSTALL_SERVICE_FAILURE

struct InstallerText {
    int code;
    const char* text;
};

const InstallerText kInstallerTexts[] = {
    {13, "The data is invalid."},
    {87, "One of the parameters was invalid."},
    {1247, "The installer is already initialized"},
    {1601, "Install server could not be accessed"},
    {1602, "User canceled installation."},
    {1603, "Fatal error during installation."},
    {1604, "Installation suspended, incomplete."},
    {1605, "This action is only valid for products that are currently installed."},
    {1606, "Feature ID not registered."},
    {1607, "Component ID not registered."},
    {1608, "Unknown property."},
    {1609, "Handle is in an invalid state."},
    {1610, "Configuration data is corrupt"},
    {1611, "Component qualifier not present."},
    {1612,
     "The installation source for this product is not available. Verify that the source exists and that you "
     "can access it."},
    {1613, "Installer version does not support database format"},
    {1614, "Product is uninstalled."},
    {1615, "SQL query syntax invalid or unsupported."},
    {1616, "Record field does not exist."},
    {1618, "An installation is already in progress"},
    {1619, "Database could not be opened"},
    {1620, "Incompatible database"},
    {1621, "Could not initialize handler interface"},
    {1622, "Could not open log file in requested mode"},
    {1623, "No acceptable language could be found"},
    {1624, "Database transform failed to merge"},
    {1625, "This installation is forbidden by system policy. Contact your system administrator."},
    {1626, "Function could not be executed."},
    {1627, "Function failed during execution."},
    {1628, "Invalid or unknown table specified."},
    {1629, "Data supplied is of wrong type."},
    {1630, "Data of this type is not supported."},
    {1631, "The Windows Installer service failed to start. Contact your support personnel."},
    {1632,
     "The temp folder is either full or inaccessible. Verify that the temp folder exists and that you can "
     "write to it."},
    {1633, "The platform specified by the Template Summary property is not supported."},
    {1634, "Component not used on this machine"},
    {1635, "Patch package could not be opened"},
    {1636, "Patch package invalid."},
    {1637, "Patch package unsupported"},
    {1638,
     "Another version of this product is already installed. Installation of this version cannot continue. To "
     "configure or remove the existing version of this product, use Add/Remove Programs on the Control "
     "Panel."},
    {1639, "Invalid command line syntax"},
    {1640, "Installation from a Terminal Services client session not permitted for current user."},
    {1641, "The installer has started a reboot. This error code not available on Windows Installer version 1.0."},
    {1642,
     "The installer cannot install the upgrade patch because the program being upgraded may be missing or the "
     "upgrade patch updates a different version of the program. Verify that the program to be upgraded "
     "exists on your computer and that you have the correct upgrade patch. This error is not returned by "
     "Windows Installer version 1.0."},
    {3010,
     "A reboot is required to complete the install. This does not include installs where the ForceReboot "
     "action is run. This error code not available on Windows Installer version 1.0."},
};

}  // namespace

std::string InstallerErrorText(int code) {
    const char* text = "Unknown Erro";
    for (const auto& entry : kInstallerTexts)
        if (entry.code == code) text = entry.text;
    return std::string(" (") + text + ")";
}

bool InstallKerberosPackage(const RunFlags& flags, std::string& installerMessage, const PackagePins& pins) {
    installerMessage.clear();
    std::string path;
    // Without the program's own path there is no package to find: report it as
    // missing by its name rather than guess a folder.
    if (GetProgramDirectory(path)) path += kPackageFileName;
    FileHandle held;  // a pinned package, unchangeable until Windows Installer is done with it
    if (path.empty() || path.size() >= MAX_PATH || !FileExists(path) ||
        !HoldPinnedPackage(pins, kPackageFileName, path, held)) {
        installerMessage =
            "ERROR the installer file: " + (path.empty() ? std::string(kPackageFileName) : path) + " is missing.";
        return false;
    }
    // The package's own wizard where nobody sees it would wait for ever for a click.
    INSTALLUILEVEL level = flags.reallySilent ? INSTALLUILEVEL_NONE
                           : flags.silent || flags.unseen
                               ? static_cast<INSTALLUILEVEL>(INSTALLUILEVEL_BASIC | INSTALLUILEVEL_PROGRESSONLY)
                               : INSTALLUILEVEL_FULL;
    // Windows Installer by ordinal (141 and 87), from the system folder only.
    RuntimeLibrary msi = SystemLibrary("msi.dll");
    auto setInternalUi = msi.Find<decltype(&::MsiSetInternalUI)>(MAKEINTRESOURCEA(141));
    auto installProduct = msi.Find<decltype(&::MsiInstallProductA)>(MAKEINTRESOURCEA(87));
    UINT result = kInstallServiceFailure;
    if (setInternalUi && installProduct) {
        setInternalUi(level, nullptr);
        EnableInstallerLog(msi, "install");
        result = installProduct(path.c_str(), "REBOOT=REALLYSUPPRESS");
    }
    if (result == ERROR_SUCCESS) return true;
    // 1641: installed, and Windows Installer is restarting Windows already.
    if (result == ERROR_SUCCESS_REBOOT_INITIATED) {
        installerMessage = kRestartInitiated;
        return true;
    }
    if (result == ERROR_SUCCESS_REBOOT_REQUIRED) {
        installerMessage = kRebootRequired;
        return true;
    }
    installerMessage = "Installer " + path + " FAILED, returned " + IntToText(static_cast<int>(result)) +
                       InstallerErrorText(static_cast<int>(result));
    return false;
}

}  // namespace kestrup
