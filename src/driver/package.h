// Installing the Kerberos for Windows package "kfw_release.msi" from the
// program directory through Windows Installer, with any restart suppressed.
#pragma once

#include "driver/pinned_package.h"
#include "driver/run_flags.h"

#include <string>

namespace kestrup {

constexpr char kPackageFileName[] = "kfw_release.msi";
constexpr char kRebootRequired[] = "Reboot required.";
// Installed, and Windows Installer has begun restarting Windows (1641).
constexpr char kRestartInitiated[] = "Restart initiated.";

// True when installed (0 or 3010). The installer message is then empty or
// "Reboot required."; on failure it says what failed. A pinned package that is
// not the one pinned counts as missing.
bool InstallKerberosPackage(const RunFlags& flags, std::string& installerMessage,
                            const PackagePins& pins = SitePackagePins());
// " (" + the text for a Windows Installer result code + ")".
std::string InstallerErrorText(int code);

}  // namespace kestrup
