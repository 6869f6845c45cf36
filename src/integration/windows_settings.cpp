#include "integration/windows_settings.h"

#include "platform/registry.h"
#include "platform/user_hives.h"
#include "site_constants.h"

#include <windows.h>

#include <string>

namespace kestrup {

namespace {

constexpr char kTcpipParameters[] = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

// Every user's profile, and with laterUsers the default one last.
std::vector<UserProfile> ProfilesToConfigure(bool laterUsers) {
    std::vector<UserProfile> profiles = ListProfileDirectories();
    UserProfile defaultProfile;
    if (laterUsers && FindDefaultProfile(defaultProfile)) profiles.push_back(defaultProfile);
    return profiles;
}

}  // namespace

std::vector<UserHiveReport> ConfigureInternetExplorer(bool laterUsers) {
    const std::vector<UserProfile> profiles = ProfilesToConfigure(laterUsers);
    // Two passes: each user's hive is loaded once per value.
    std::vector<UserHiveReport> reports = WriteEveryUserHiveDword(
        profiles,
        std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains\\") +
            site::kDomain,
        "https", 1);
    std::vector<UserHiveReport> negotiate = WriteEveryUserHiveDword(
        profiles, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", "EnableNegotiate", 1);
    reports.insert(reports.end(), negotiate.begin(), negotiate.end());
    return reports;
}

std::vector<UserHiveReport> SetMsLsaListForAllUsers(bool laterUsers) {
    std::string pathName;
    // Only where Kerberos for Windows is registered at this moment.
    if (!RegReadString(HKEY_LOCAL_MACHINE, "Software\\MIT\\Kerberos\\Client\\CurrentVersion", "PathName", pathName))
        return {};
    return WriteEveryUserHiveDword(ProfilesToConfigure(laterUsers),
                                   "Software\\MIT\\NetIdMgr\\PluginManager\\Plugins\\Krb5Cred\\Parameters", "MsLsaList",
                                   1);
}

bool WriteKdcNames() {
    return RegWriteMultiString(
        HKEY_LOCAL_MACHINE, std::string("SYSTEM\\CurrentControlSet\\Control\\Lsa\\Kerberos\\Domains\\") + site::kDomain,
        "KdcNames", site::kKdcNames, site::kKdcNamesSize);
}

bool SetTcpipDomain() {
    const bool domain = RegWriteString(HKEY_LOCAL_MACHINE, kTcpipParameters, "Domain", site::kDomain);
    const bool nvDomain = RegWriteString(HKEY_LOCAL_MACHINE, kTcpipParameters, "NV Domain", site::kDomain);
    return RegWriteDword(HKEY_LOCAL_MACHINE, kTcpipParameters, "SyncDomainWithMembership", 0) && domain && nvDomain;
}

}  // namespace kestrup
