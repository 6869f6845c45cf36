#include "integration/windows_settings.h"

#include "platform/registry.h"
#include "platform/user_hives.h"
#include "site_constants.h"

#include <windows.h>

#include <string>

namespace kestrup {

namespace {

constexpr char kTcpipParameters[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

}  // namespace

void ConfigureInternetExplorer() {
    const std::vector<std::string> profiles = ListProfileDirectories();
    // Two passes: each user's hive is loaded once per value.
    WriteEveryUserHiveDword(
        profiles,
        std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains\\") +
            site::kDomain,
        "https", 1);
    WriteEveryUserHiveDword(profiles, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
                            "EnableNegotiate", 1);
}

void SetMsLsaListForAllUsers() {
    std::string pathName;
    // Only where Kerberos for Windows is registered at this moment.
    if (!RegReadString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos\\Client\\CurrentVersion", "PathName", pathName))
        return;
    WriteEveryUserHiveDword(ListProfileDirectories(),
                            "Software\\MIT\\NetIdMgr\\PluginManager\\Plugins\\Krb5Cred\\Parameters", "MsLsaList", 1);
}

void WriteKdcNames() {
    RegWriteMultiString(HKEY_LOCAL_MACHINE,
                        std::string("SYSTEM\\CurrentControlSet\\Control\\Lsa\\Kerberos\\Domains\\") + site::kDomain,
                        "KdcNames", site::kKdcNames, site::kKdcNamesSize);
}

void SetTcpipDomain() {
    RegWriteString(HKEY_LOCAL_MACHINE, kTcpipParameters, "Domain", site::kDomain);
    RegWriteString(HKEY_LOCAL_MACHINE, kTcpipParameters, "NV Domain", site::kDomain);
    RegWriteDword(HKEY_LOCAL_MACHINE, kTcpipParameters, "SyncDomainWithMembership", 0);
}

}  // namespace kestrup
